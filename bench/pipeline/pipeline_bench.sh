#!/usr/bin/env bash
# The video pipeline against the usual x11grab + libx264 command line, on one private Xvfb
# desktop in one run. Prints figures and ratios; asserts nothing.
# Usage: pipeline_bench.sh HOST_PROGRAM CLIENT_PROGRAM PAINTER_PROGRAM [SECONDS]
set -u
host_program=$1 client=$2 painter=$3 seconds=${4:-20}
password=bench-secret
fps=60
tick=$(getconf CLK_TCK)
work=$(mktemp -d)
xvfb_pid= painter_pid= host_pid=
cleanup() {
  for pid in $painter_pid $host_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
die() { echo "pipeline bench: $*" >&2; exit 1; }
command -v ffmpeg >/dev/null || die "ffmpeg is not installed (scripts/deps.sh installs it)"

# CPU seconds a process has used so far (user + system).
cpu_of() { awk -v t="$tick" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

# A private desktop: Xvfb picks a free display and writes its number to fd 3.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -noreset -nolisten tcp 2>/dev/null &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || die "Xvfb did not start"
export DISPLAY=":$(head -1 "$work/display")"

# Each measured run has its own animation, so its achieved frame rate can be shown beside it.
start_animation() {
  "$painter" animate "$fps" 40 2> "$work/painter.log" &
  painter_pid=$!
  sleep 1
}
stop_animation() {
  kill "$painter_pid" 2>/dev/null && wait "$painter_pid" 2>/dev/null
  painter_pid=
  printf "%-28s %s\n" "" "animation: $(sed 's/^x11_painter: //' "$work/painter.log")"
}

# The host on a free port, with its log under a private HOME.
export HOME="$work/home"
mkdir -p "$HOME"
for attempt in 1 2 3 4 5; do
  port=$(( 20000 + RANDOM % 40000 ))
  "$host_program" --test-host "$port" "$password" 2> "$work/host.log" &
  host_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on port $port" "$work/host.log" && break 2
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; host_pid=
done
[ -n "$host_pid" ] || die "the host did not start: $(cat "$work/host.log")"

# One stream for $seconds: the client only counts (decoding would take the CPU the host
# is being measured on; a real client decodes on its own machine). Sets frames, cpu_per_frame,
# delivered_fps, bytes_per_frame, p50, p99.
stream_run() {  # W H label
  local before after line
  before=$(cpu_of "$host_pid")
  "$client" "127.0.0.1:$port" --password "$password" --stream "$1" "$2" "$fps" --codecs 1 \
    --no-decode --hold "$seconds" > "$work/client.out" 2>&1
  after=$(cpu_of "$host_pid")
  line=$(grep '^stats:' "$work/client.out") || die "no figures from the client: $(cat "$work/client.out")"
  frames=$(sed -E 's/.*frames ([0-9]+) .*/\1/' <<< "$line")
  delivered_fps=$(sed -E 's/.* ([0-9.]+) fps.*/\1/' <<< "$line")
  bytes_per_frame=$(sed -E 's/.* ([0-9]+) bytes\/frame.*/\1/' <<< "$line")
  p50=$(sed -E 's/.*p50 ([0-9.]+) ms.*/\1/' <<< "$line")
  p99=$(sed -E 's/.*p99 ([0-9.]+) ms.*/\1/' <<< "$line")
  cpu_per_frame=$(calc "%.6f" "($after - $before) / ($frames > 0 ? $frames : 1)")
  printf "%-28s %s\n" "host $3:" "$(grep '^stream:' "$work/client.out")"
  printf "%-28s %s fps delivered, %.2f ms CPU/frame, latency p50 %s ms p99 %s ms, %s bytes/frame\n" \
    "" "$delivered_fps" "$(calc "%.3f" "$cpu_per_frame * 1000")" "$p50" "$p99" "$bytes_per_frame"
}

echo "pipeline bench: Xvfb 1920x1080 on $DISPLAY, animation changing every 40x40 cell each frame, ${seconds} s per run, $(nproc) CPUs"
start_animation
stream_run 1920 1080 "1080p60"
stop_animation
host1080_cpf=$cpu_per_frame host1080_fps=$delivered_fps
start_animation
stream_run 1280 720 "720p60 from 1080p"
stop_animation
host720_cpf=$cpu_per_frame

# The baseline on the same animation: CPU of the ffmpeg process from the shell's child times.
start_animation
ffmpeg_times=$( { ffmpeg -hide_banner -nostdin -f x11grab -framerate "$fps" -video_size 1920x1080 \
    -i "$DISPLAY" -pix_fmt yuv420p -c:v libx264 -preset ultrafast -tune zerolatency \
    -t "$seconds" -f null - > /dev/null 2> "$work/ffmpeg.log"; times; } | tail -1)
ff_cpu=$(awk '{ split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.3f", u[1]*60 + u[2] + s[1]*60 + s[2] }' <<< "$ffmpeg_times")
ff_frames=$(tr '\r' '\n' < "$work/ffmpeg.log" | grep -oE 'frame= *[0-9]+' | tail -1 | grep -oE '[0-9]+')
[ -n "$ff_frames" ] && [ "$ff_frames" -gt 0 ] || die "ffmpeg produced no frames: $(tail -3 "$work/ffmpeg.log")"
ff_cpf=$(calc "%.6f" "$ff_cpu / $ff_frames")
printf "%-28s %s frames in %s s (%.1f fps), %.2f ms CPU/frame\n" "ffmpeg x11grab ultrafast:" \
  "$ff_frames" "$seconds" "$(calc "%.1f" "$ff_frames / $seconds")" "$(calc "%.3f" "$ff_cpf * 1000")"
stop_animation

# Still screen: CPU per second of the host while a client is connected to an unchanging
# desktop (after the change and its two refresh encodes), against the host with no client.
"$painter" blocks
"$client" "127.0.0.1:$port" --password "$password" --stream 1920 1080 "$fps" --codecs 1 \
  --no-decode --hold 9 > "$work/still.out" 2>&1 &
still_client=$!
sleep 3
before=$(cpu_of "$host_pid"); sleep 5; after=$(cpu_of "$host_pid")
still_cps=$(calc "%.4f" "($after - $before) / 5")
wait "$still_client"
still_frames=$(grep -oE 'frames [0-9]+' "$work/still.out" | head -1)
sleep 1
before=$(cpu_of "$host_pid"); sleep 5; after=$(cpu_of "$host_pid")
idle_cps=$(calc "%.4f" "($after - $before) / 5")
printf "%-28s %.1f ms CPU per second streaming a still screen (%s in 9 s), %.1f ms idle\n" \
  "host still screen:" "$(calc "%.2f" "$still_cps * 1000")" "$still_frames" \
  "$(calc "%.2f" "$idle_cps * 1000")"

echo "ratios:"
printf "  host 1080p CPU/frame vs ffmpeg:     %.2fx\n" "$(calc "%.3f" "$host1080_cpf / $ff_cpf")"
printf "  host 720p CPU/frame vs ffmpeg 1080p: %.2fx\n" "$(calc "%.3f" "$host720_cpf / $ff_cpf")"
printf "  host 1080p fps vs %d requested:      %.2f\n" "$fps" "$(calc "%.3f" "$host1080_fps / $fps")"
printf "  still screen CPU/s minus idle:       %+.1f ms/s\n" "$(calc "%.2f" "($still_cps - $idle_cps) * 1000")"
