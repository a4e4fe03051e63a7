#!/usr/bin/env bash
# Glass to glass on one machine: the host on a 1920x1080 Xvfb with a 60 fps full-screen
# animation under a probe square, tolvi-viewer in a 1920x1080 window on a second Xvfb. The
# probe flips the square and reads the viewer's display back until it shows the change.
# Also the viewer's CPU time per presented frame. Figures only.
# Usage: viewer_bench.sh HOST_PROGRAM VIEWER_PROGRAM PAINTER_PROGRAM PROBE_PROGRAM [SAMPLES]
set -u
host_program=$1 viewer=$2 painter=$3 probe=$4 samples=${5:-100}
password=viewer-bench-secret
e2e_name="viewer bench"
source "$(dirname "$0")/../../tests/support/e2e.sh"
e2e_start_xvfb 1920x1080x24
host_display=$DISPLAY
e2e_start_xvfb 1920x1080x24
viewer_display=$DISPLAY
HOME=$work DISPLAY=$host_display e2e_start_host "$host_program" "$password" "$work/host.log"
DISPLAY=$host_display "$painter" animate 60 16 > /dev/null 2>&1 &
e2e_track_pid $!
DISPLAY=$viewer_display "$viewer" "127.0.0.1:$port" --password "$password" --size 1920x1080 \
  --fps 60 --trace-present > "$work/viewer.out" 2> "$work/viewer.log" &
viewer_pid=$!
e2e_track viewer_pid
for _ in $(seq 200); do grep -q "presented frame" "$work/viewer.out" && break; sleep 0.05; done
sleep 1
ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$viewer_pid/stat"; }
cpu_before=$(cpu)
frames_before=$(grep -c "presented frame" "$work/viewer.out")
"$probe" "$host_display" "$viewer_display" 960 540 "$samples"
cpu_after=$(cpu)
frames_after=$(grep -c "presented frame" "$work/viewer.out")
frames=$(( frames_after - frames_before ))
awk -v c=$(( cpu_after - cpu_before )) -v t="$ticks" -v f="$frames" 'BEGIN {
  printf "viewer: %d frames presented, CPU %.2f ms per frame\n", f, f ? c * 1000 / t / f : 0 }'
# Capture on the host to present in the viewer, from the viewer's trace (one monotonic clock).
grep "presented frame" "$work/viewer.out" | tail -n +"$(( frames_before + 1 ))" |
  awk '{ print ($5 - $3) / 1000 }' | sort -n | awk '{ v[NR] = $1 } END {
    if (NR) printf "capture to present: p50 %.1f ms, p99 %.1f ms\n", v[int(NR * 0.5) + 1],
                   v[int(NR * 0.99) + 1] }'
grep "stream " "$work/host.log" | tail -n 1
grep -E "skipped|congest" "$work/host.log" | tail -n 2
