#!/usr/bin/env bash
# The video pipeline against the usual x11grab + libx264 command line, on the same private Xvfb
# desktops and the same animations in one run. Four workloads, each streamed at 1080p60:
#   A  a full-screen animation on a 1920x1080 desktop (every 40x40 cell changes each frame)
#   B  a 480x270 region of 30x30 cells animating at 60 Hz, the rest of the 1080p desktop still
#   C  a full-screen animation on a 3840x2160 desktop (the host and ffmpeg both scale down)
#   D  typing: a few characters a second drawn onto a still 1080p desktop, against ffmpeg on
#      the same desktop (and the host's figure for the same desktop still, for reference)
# and, on a headless GNOME desktop (mutter with a 1920x1080 virtual monitor, the same painter
# through its Xwayland, the host capturing through mutter's screen cast):
#   WA, WB  workloads A and B on Wayland, against ffmpeg's figures on the X11 desktop
# Prints figures, ratios and how they compare with the goals; asserts nothing.
#
# CPU is read from /proc/PID/stat of the host and of the ffmpeg process only (never the painter
# or Xvfb), over a window of SECONDS that starts WARM seconds after the stream or the grab
# started, so neither side's start-up (handshake, encoder set-up, first key frame) is counted.
# ffmpeg's frames in that window come from its -progress output; the host's are its delivered
# rate (from the client) times the window.
# The Wayland runs count the host's CPU only, as the X11 runs do not count Xvfb's: mutter's
# compositing and copying into the stream are the desktop's cost, not the host's.
# Usage: pipeline_bench.sh HOST_PROGRAM CLIENT_PROGRAM PAINTER_PROGRAM [SECONDS]
set -u
# The whole run gets a session bus of its own for the Wayland desktop (the X11 runs ignore it).
source "$(dirname "$0")/../../tests/support/gnome_desktop.sh"
gnome_desktop_skip() { echo "pipeline bench: no Wayland runs: $*" >&2; return 1; }
gnome_desktop_enter "$0" "$@"
host_program=$1 client=$2 painter=$3 seconds=${4:-20}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bench_pipeline [SECONDS]  (each measured window, 20 s unless given)" >&2
  exit 2
fi
password=bench-secret
fps=60
warm=2  # seconds of each stream before its measuring window
tail=1  # seconds of each stream after it
typing_rate=5
region=(720 405 480 270)  # X Y W H: a 480x270 "video" in the middle of the 1080p desktop
tick=$(getconf CLK_TCK)
e2e_name="pipeline bench"
source "$(dirname "$0")/../support/desktop_bench.sh"
e2e_at_exit gnome_desktop_stop
die() { echo "pipeline bench: $*" >&2; exit 1; }
command -v ffmpeg >/dev/null || die "ffmpeg is not installed (scripts/deps.sh installs it)"
command -v Xvfb >/dev/null || die "Xvfb is not installed (scripts/deps.sh installs it)"

# Kilobytes of the host's resident memory now and at its peak.
memory_of() { awk '/^VmRSS|^VmHWM/ { printf "%s %s kB  ", $1, $2 }' "/proc/$1/status"; }

# The window: after $warm s, CPU of PID over $seconds s of wall time. Sets cpu_used (empty when
# the process was gone at either end), elapsed, and runs the optional sampler (a function name)
# at both ends with "begin" and "end".
measure_window() {  # PID [SAMPLER]
  local t0 t1 c0 c1
  sleep "$warm"
  t0=$EPOCHREALTIME c0=$(cpu_of "$1")
  [ -n "${2:-}" ] && "$2" begin
  sleep "$seconds"
  t1=$EPOCHREALTIME c1=$(cpu_of "$1")
  [ -n "${2:-}" ] && "$2" end
  elapsed=$(calc "%.3f" "$t1 - $t0")
  cpu_used=
  [ -n "$c0" ] && [ -n "$c1" ] && cpu_used=$(calc "%.3f" "$c1 - $c0")
}

# One host stream at 1080p60 for the window: the client only counts (decoding would take the
# CPU the host is being measured on; a real client decodes on its own machine). Sets h_fps,
# h_cps (CPU s per s), h_cpf (CPU s per frame), h_bpf, h_p50, h_p99, h_mem; empty on failure.
host_run() {  # LABEL
  local line client_pid
  h_fps= h_cps= h_cpf= h_bpf= h_p50= h_p99= h_mem=
  "$client" "127.0.0.1:$port" --password "$password" --stream 1920 1080 "$fps" --codecs 1 \
    --no-decode --hold "$((warm + seconds + tail))" > "$work/client.out" 2>&1 &
  client_pid=$!
  measure_window "$host_pid"
  h_mem=$(memory_of "$host_pid" 2>/dev/null)
  wait "$client_pid"
  label "host $1:"
  if [ -z "$cpu_used" ]; then
    echo "the host exited during the run: $(tail -3 "$work/host.log" | tr '\n' ' ')"
    return
  fi
  if ! line=$(grep '^stats:' "$work/client.out"); then
    echo "no figures from the client: $(tail -2 "$work/client.out" | tr '\n' ' ')"
    return
  fi
  echo "$(grep '^stream:' "$work/client.out")"
  h_fps=$(sed -E 's/.* ([0-9.]+) fps.*/\1/' <<< "$line")
  h_bpf=$(sed -E 's/.* ([0-9]+) bytes\/frame.*/\1/' <<< "$line")
  h_p50=$(sed -E 's/.*p50 ([0-9.]+) ms.*/\1/' <<< "$line")
  h_p99=$(sed -E 's/.*p99 ([0-9.]+) ms.*/\1/' <<< "$line")
  h_cps=$(calc "%.6f" "$cpu_used / $elapsed")
  h_cpf=$(calc "%.6f" "$h_fps > 0 ? $h_cps / $h_fps : 0")
  printf "%-24s %.1f fps, %.0f ms CPU/s, %.2f ms CPU/frame, p50 %s ms p99 %s ms, %s bytes/frame\n" \
    "" "$h_fps" "$(calc "%.1f" "$h_cps * 1000")" "$(calc "%.3f" "$h_cpf * 1000")" \
    "$h_p50" "$h_p99" "$h_bpf"
}

# ffmpeg's frame count and output size from the last complete block of its -progress output.
ffmpeg_progress() {
  awk -F= '/^frame=/ { f = $2 } /^total_size=/ { s = $2 } /^dup_frames=/ { d = $2 }
           /^drop_frames=/ { x = $2 } /^progress=/ { done = f " " s " " d " " x }
           END { print done }' "$work/ff.progress"
}
ffmpeg_sampler() {
  if [ "$1" = begin ]; then read -r ff_f0 ff_s0 ff_d0 ff_x0 <<< "$(ffmpeg_progress)"
  else read -r ff_f1 ff_s1 ff_d1 ff_x1 <<< "$(ffmpeg_progress)"; fi
}

# The baseline on the same desktop: x11grab of the whole screen at 60 fps, libx264 ultrafast
# zerolatency in 4:2:0 (optionally after a scale filter), written as a raw H.264 stream to
# /dev/null so its size can be read. Frames pass through as grabbed, as with `-f null`: the raw
# muxer alone would make ffmpeg pad a late grab with duplicates, counted as frames they are not.
# Sets f_fps, f_cps, f_cpf, f_bpf; empty on failure.
ffmpeg_run() {  # LABEL WxH [FILTER]
  local ff_pid frames
  f_fps= f_cps= f_cpf= f_bpf= ff_f0= ff_f1= ff_s0= ff_s1= ff_d0= ff_d1= ff_x0= ff_x1=
  : > "$work/ff.progress"
  ffmpeg -hide_banner -nostdin -loglevel error -progress "$work/ff.progress" -stats_period 0.1 \
    -f x11grab -framerate "$fps" -video_size "$2" -i "$DISPLAY" ${3:+-vf "$3"} \
    -pix_fmt yuv420p -c:v libx264 -preset ultrafast -tune zerolatency -fps_mode passthrough \
    -t "$((warm + seconds + tail))" -f h264 -y /dev/null 2> "$work/ffmpeg.log" &
  ff_pid=$!
  measure_window "$ff_pid" ffmpeg_sampler
  wait "$ff_pid"
  label "ffmpeg $1:"
  frames=$(( ${ff_f1:-0} - ${ff_f0:-0} ))
  if [ "$frames" -le 0 ] || [ -z "$cpu_used" ]; then
    echo "no frames in the window: $(tail -2 "$work/ffmpeg.log" | tr '\n' ' ')"
    return
  fi
  f_fps=$(calc "%.2f" "$frames / $elapsed")
  f_cps=$(calc "%.6f" "$cpu_used / $elapsed")
  f_cpf=$(calc "%.6f" "$cpu_used / $frames")
  f_bpf=$(calc "%.0f" "(${ff_s1:-0} - ${ff_s0:-0}) / $frames")
  printf "%.1f fps, %.0f ms CPU/s, %.2f ms CPU/frame, %s bytes/frame, %d dup %d drop\n" \
    "$f_fps" "$(calc "%.1f" "$f_cps * 1000")" "$(calc "%.3f" "$f_cpf * 1000")" "$f_bpf" \
    "$(( ${ff_d1:-0} - ${ff_d0:-0} ))" "$(( ${ff_x1:-0} - ${ff_x0:-0} ))"
}

ms() { [ -n "$1" ] && calc "%.1f" "$1 * 1000"; }

echo "pipeline bench: ${seconds} s windows after ${warm} s warm-up, $(nproc) CPUs," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"

# --- the 1080p desktop: A, B and D share one host --------------------------------------------
start_desktop 1920x1080
start_host
echo "desktop 1920x1080 on $DISPLAY"

echo "A. full-screen animation, 40x40 cells"
start_painter animate "$fps" 40
host_run "A"
a_cpf=$h_cpf a_fps=$h_fps a_p50=$h_p50 a_p99=$h_p99 a_mem=$h_mem a_bpf=$h_bpf
label ""; echo "host memory while streaming: $a_mem"
ffmpeg_run "A" 1920x1080
fa_cpf=$f_cpf
stop_painter

echo "B. ${region[2]}x${region[3]} region at ${region[0]},${region[1]}, 30x30 cells, rest still"
"$painter" blocks
start_painter animate "$fps" 30 "${region[@]}"
host_run "B"
b_cps=$h_cps b_fps=$h_fps
ffmpeg_run "B" 1920x1080
fb_cps=$f_cps
stop_painter

echo "D. typing $typing_rate characters/s on a still desktop, then the same desktop still"
"$painter" blocks
start_painter type "$typing_rate"
host_run "D typing"
d_cps=$h_cps
ffmpeg_run "D typing" 1920x1080
fd_cps=$f_cps
stop_painter
host_run "D still"
still_cps=$h_cps
stop "$host_pid"
stop "$xvfb_pid"

# --- the 4K desktop: C on a host of its own, so its memory peak is C's -----------------------
start_desktop 3840x2160
start_host
echo "C. full-screen animation, 40x40 cells, desktop 3840x2160 on $DISPLAY scaled to 1080p"
start_painter animate "$fps" 40
host_run "C"
c_cpf=$h_cpf c_fps=$h_fps c_mem=$h_mem
label ""; echo "host memory while streaming: $c_mem"
ffmpeg_run "C" 3840x2160 scale=1920:1080
fc_cpf=$f_cpf fc_fps=$f_fps
stop_painter

stop "$host_pid"
stop "$xvfb_pid"

# --- the Wayland desktop: A and B on mutter's 1080p virtual monitor -------------------------
wa_cpf= wa_fps= wa_p50= wa_p99= wb_cps= wb_fps=
if gnome_desktop_start 1920x1080; then
  start_host
  echo "Wayland: headless GNOME desktop 1920x1080 (mutter, painter on Xwayland $DISPLAY)"
  echo "WA. full-screen animation, 40x40 cells"
  start_painter --window animate "$fps" 40
  host_run "WA"
  wa_cpf=$h_cpf wa_fps=$h_fps wa_p50=$h_p50 wa_p99=$h_p99
  label ""; echo "host memory while streaming: $h_mem"
  stop_painter
  echo "WB. ${region[2]}x${region[3]} region at ${region[0]},${region[1]}, 30x30 cells, rest still"
  start_painter --window animate "$fps" 30 "${region[@]}"
  host_run "WB"
  wb_cps=$h_cps wb_fps=$h_fps
  stop_painter
  stop "$host_pid"
fi

# The frame-rate goal: 60 fps (within 2 %); at 4K, 45 fps.
fps_goal=$(calc "%.1f" "0.98 * $fps")
goal "A CPU/frame vs ffmpeg" "$(ratio "$a_cpf" "$fa_cpf")" "<= 0.80x" "v <= 0.8"
goal "A frame rate (fps)" "$a_fps" ">= $fps_goal" "v >= $fps_goal"
goal "A latency p50 (ms)" "$a_p50" "<= 10" "v <= 10"
goal "A latency p99 (ms)" "$a_p99" "<= 20" "v <= 20"
goal "B CPU/s vs ffmpeg" "$(ratio "$b_cps" "$fb_cps")" "<= 0.45x" "v <= 0.45"
goal "B frame rate (fps)" "$b_fps" ">= $fps_goal" "v >= $fps_goal"
goal "C CPU/frame vs ffmpeg scaled" "$(ratio "$c_cpf" "$fc_cpf")" "<= 0.50x" "v <= 0.5"
goal "C frame rate (fps)" "$c_fps" ">= 45" "v >= 45"
goal "D CPU/s typing vs ffmpeg" "$(ratio "$d_cps" "$fd_cps")" "<= 0.10x" "v <= 0.1"
goal "WA CPU/frame vs X11 host A" "$(ratio "$wa_cpf" "$a_cpf")" "<= 1.00x" "v <= 1"
goal "WA CPU/frame vs ffmpeg (X11)" "$(ratio "$wa_cpf" "$fa_cpf")" "<= 0.75x" "v <= 0.75"
goal "WA frame rate (fps)" "$wa_fps" ">= $fps_goal" "v >= $fps_goal"
goal "WA latency p50 (ms)" "$wa_p50" "<= 10" "v <= 10"
goal "WB CPU/s vs X11 host B" "$(ratio "$wb_cps" "$b_cps")" "<= 1.00x" "v <= 1"
goal "WB CPU/s vs ffmpeg (X11)" "$(ratio "$wb_cps" "$fb_cps")" "<= 0.35x" "v <= 0.35"
goal "WB frame rate (fps)" "$wb_fps" ">= $fps_goal" "v >= $fps_goal"
echo "figures: A $(ms "$a_cpf") vs $(ms "$fa_cpf") ms CPU/frame; B $(ms "$b_cps") vs" \
  "$(ms "$fb_cps") ms CPU/s; C $(ms "$c_cpf") vs $(ms "$fc_cpf") ms CPU/frame;" \
  "D $(ms "$d_cps") vs $(ms "$fd_cps") ms CPU/s (still $(ms "$still_cps")); WA $(ms "$wa_cpf") ms CPU/frame;" \
  "WB $(ms "$wb_cps") ms CPU/s"
echo "goals: (load $(cut -d' ' -f1-3 /proc/loadavg))"
printf "%s\n" "${goal_lines[@]}"
