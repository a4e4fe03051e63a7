#!/usr/bin/env bash
# Glass to glass on one machine: the host on a 1920x1080 Xvfb, tolvi-viewer in a 1920x1080
# window on a second Xvfb. The probe flips a square on the host's display and reads the
# viewer's display back until it shows the change. Four runs, each printed with its goals:
#   still desktop (the square flips every 300 ms, nothing else moves);
#   full motion (a 60 fps full-screen animation under the square), also the viewer's CPU time
#   per presented frame;
#   full motion beside a CPU hog (one busy process per core);
#   baseline: full motion through a renderer's streaming texture, as the viewer drew before.
# First the cost of each way to show a picture (present_bench) on the viewer's display.
# Usage: viewer_bench.sh HOST_PROGRAM VIEWER_PROGRAM PAINTER_PROGRAM PROBE_PROGRAM
#        PRESENT_BENCH [SAMPLES]
set -u
host_program=$1 viewer=$2 painter=$3 probe=$4 present_bench=$5 samples=${6:-100}
password=viewer-bench-secret
e2e_name="viewer bench"
source "$(dirname "$0")/../../tests/support/e2e.sh"
e2e_start_xvfb 1920x1080x24
host_display=$DISPLAY
e2e_start_xvfb 1920x1080x24
viewer_display=$DISPLAY
HOME=$work DISPLAY=$host_display e2e_start_host "$host_program" "$password" "$work/host.log"
ticks=$(getconf CLK_TCK)
echo "load: $(uptime)"
DISPLAY=$viewer_display "$present_bench" 1920 1080 120

# goal_check NAME VALUE LIMIT: "met" when VALUE <= LIMIT.
goal_check() {
  awk -v n="$1" -v v="$2" -v l="$3" 'BEGIN {
    printf "    goal %-28s %7.1f <= %5.1f  %s\n", n, v, l, (v != "" && v + 0 <= l + 0) ? "met" : "NOT met" }'
}

# run_case TITLE PRESENT(auto|texture) MOTION(still|animate) HOG(0|1) P50_GOAL P99_GOAL CPU_GOAL
run_case() {
  local title=$1 present=$2 motion=$3 hog=$4 p50_goal=$5 p99_goal=$6 cpu_goal=$7
  local painter_pid="" viewer_pid="" hog_pids=() out="$work/viewer-$present-$motion-$hog"
  echo "$title"
  if [ "$motion" = animate ]; then
    DISPLAY=$host_display "$painter" animate 60 16 > /dev/null 2>&1 &
    painter_pid=$!
  fi
  DISPLAY=$viewer_display "$viewer" "127.0.0.1:$port" --password "$password" --size 1920x1080 \
    --fps 60 --present "$present" --trace-present > "$out.out" 2> "$out.log" &
  viewer_pid=$!
  e2e_track viewer_pid painter_pid
  wait_for 20 "grep -q 'presented frame' '$out.out'" || fail "the viewer showed no picture"
  sleep 1
  if [ "$hog" = 1 ]; then
    for _ in $(seq "$(nproc)"); do
      bash -c 'while :; do :; done' &
      hog_pids+=($!)
      e2e_track_pid "$!"
    done
  fi
  local cpu_before frames_before cpu_after frames_after period=""
  cpu_before=$(awk '{ print $14 + $15 }' "/proc/$viewer_pid/stat")
  frames_before=$(grep -c "presented frame" "$out.out")
  [ "$motion" = still ] && period=300
  local line
  line=$("$probe" "$host_display" "$viewer_display" 960 540 "$samples" $period)
  cpu_after=$(awk '{ print $14 + $15 }' "/proc/$viewer_pid/stat")
  frames_after=$(grep -c "presented frame" "$out.out")
  for pid in "${hog_pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  echo "  $line"
  local p50 p99 frames cpu_ms
  p50=$(sed -n 's/.*p50 \([0-9.]*\) ms.*/\1/p' <<< "$line")
  p99=$(sed -n 's/.*p99 \([0-9.]*\) ms.*/\1/p' <<< "$line")
  frames=$(( frames_after - frames_before ))
  cpu_ms=$(awk -v c=$(( cpu_after - cpu_before )) -v t="$ticks" -v f="$frames" \
    'BEGIN { printf "%.2f", f ? c * 1000 / t / f : 0 }')
  echo "  viewer: $frames frames presented, CPU $cpu_ms ms per presented frame ($(grep -m1 -o "drawing with .*" "$out.log"))"
  # Per presented picture, from the viewer's trace (one clock): capture to present, split into
  # capture to receipt (the host and the socket), decode, and decoded to on the screen.
  local column name
  for column in '$5 - $3' '$7 - $3' '$9 - $7' '$5 - $9'; do
    case $column in
      '$5 - $3') name="capture to present" ;;
      '$7 - $3') name="  capture to receipt (host, send)" ;;
      '$9 - $7') name="  receipt to decoded (decode)" ;;
      *) name="  decoded to shown (window)" ;;
    esac
    grep "presented frame" "$out.out" | tail -n +"$(( frames_before + 1 ))" |
      awk "{ print ($column) / 1000 }" | sort -n | awk -v name="$name" '{ v[NR] = $1 } END {
        if (NR) printf "  %-36s p50 %6.1f ms, p99 %6.1f ms\n", name, v[int(NR * 0.5) + 1],
                       v[int(NR * 0.99) + 1] }'
  done
  grep -o -E "Decoding (is too slow|keeps up).*" "$out.log" | sed 's/^/  viewer: /'
  [ -n "$p50_goal" ] && goal_check "glass-to-glass p50 (ms)" "$p50" "$p50_goal"
  [ -n "$p99_goal" ] && goal_check "glass-to-glass p99 (ms)" "$p99" "$p99_goal"
  [ -n "$cpu_goal" ] && goal_check "viewer CPU per frame (ms)" "$cpu_ms" "$cpu_goal"
  kill "$viewer_pid" 2>/dev/null; wait "$viewer_pid" 2>/dev/null; viewer_pid=""
  if [ -n "$painter_pid" ]; then kill "$painter_pid" 2>/dev/null; wait "$painter_pid" 2>/dev/null; fi
  painter_pid=""
  sleep 1
}

run_case "still desktop, square flipping every 300 ms" auto still 0 25 45 ""
run_case "full motion 1080p60" auto animate 0 40 70 10
run_case "full motion 1080p60 beside a CPU hog on every core" auto animate 1 "" 150 ""
run_case "baseline: full motion 1080p60 through a renderer's streaming texture" texture animate 0 "" "" ""
grep "stream " "$work/host.log" | tail -n 1
