#!/usr/bin/env bash
# The host against the VNC servers a person would otherwise run on this X desktop: TigerVNC's
# x0vncserver (X0tigervnc, Debian tigervnc-scraping-server) and x11vnc, each with its defaults,
# on the same private 1920x1080 Xvfb desktop and the same painter as the pipeline benchmark, one
# server at a time, in one run:
#   A  a full-screen animation (every 40x40 cell changes each frame, 60 Hz)
#   B  a 480x270 region of 30x30 cells animating at 60 Hz, the rest of the desktop still
#   D  typing: 5 characters a second drawn onto a still desktop
# The host is read by tolvi-client at 1080p60 (counting, not decoding); each VNC server by
# peer_rfb_client, which asks for Tight (JPEG quality 8, compression level 2), ZRLE or Raw and
# requests the next update as soon as one has arrived (what a TigerVNC viewer does on a fast
# link). CPU is the server process's own (user + system, all threads) and bytes are what its
# client acknowledged on the connection (TCP's count from ss: the stream with its framing and,
# for the host, its encryption), both over a window of SECONDS after WARM seconds; updates are the host's delivered frames or the VNC
# updates (each client's own count over the whole run, start-up excluded by the VNC client).
# Latency: the host's is capture to arrival at the client; a VNC server's is request to
# complete update (it has no capture time on the wire), so the two are not the same measure.
# B's picture: peer_region_quality encodes the painter's B frames with the host's encoder at
# the host's cap and prints the PSNR of the animated region after decoding.
# Prints figures, ratios and the goals; asserts nothing.
# Usage: peer_bench.sh HOST CLIENT PAINTER RFB_CLIENT REGION_QUALITY [SECONDS]
set -u
host_program=$1 client=$2 painter=$3 rfb_client=$4 region_quality=$5 seconds=${6:-15}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: bench_peer [SECONDS]  (each measured window, 15 s unless given)" >&2
  exit 2
fi
password=bench-secret
fps=60
warm=2
tail=1
region=(720 405 480 270)
tick=$(getconf CLK_TCK)
label_width=14
e2e_name="peer bench"
source "$(dirname "$0")/../support/desktop_bench.sh"
die() { echo "peer bench: $*" >&2; exit 1; }
command -v Xvfb >/dev/null || die "Xvfb is not installed (scripts/deps.sh installs it)"
command -v X0tigervnc >/dev/null || die "X0tigervnc is not installed (scripts/deps.sh installs it)"
command -v x11vnc >/dev/null || die "x11vnc is not installed (scripts/deps.sh installs it)"

free_port() { echo $((20000 + RANDOM % 40000)); }

# Bytes the client has acknowledged so far on the server's connections from local port PORT
# (TCP's own count, the same for every server whatever system call it sends with).
sent_on_port() {
  ss -tinH state established "( sport = :$1 )" 2>/dev/null |
    grep -o 'bytes_acked:[0-9]*' | awk -F: '{ n += $2 } END { print n + 0 }'
}

# CPU of PID and bytes sent from PORT over the window after $warm s; sets cpu_used (empty if
# the process was gone), bytes_sent and elapsed.
measure_window() {  # PID PORT
  local t0 t1 c0 c1 w0 w1
  sleep "$warm"
  t0=$EPOCHREALTIME c0=$(cpu_of "$1") w0=$(sent_on_port "$2")
  sleep "$seconds"
  t1=$EPOCHREALTIME c1=$(cpu_of "$1") w1=$(sent_on_port "$2")
  elapsed=$(calc "%.3f" "$t1 - $t0")
  cpu_used= bytes_sent=
  [ -n "$c0" ] && [ -n "$c1" ] && cpu_used=$(calc "%.3f" "$c1 - $c0")
  [ -n "$w0" ] && [ -n "$w1" ] && bytes_sent=$((w1 - w0))
}

# One result line; sets r_cps (CPU s/s), r_ups, r_cpu (CPU s/update), r_bps, r_p50, r_p99.
report() {  # NAME
  r_cps=$(calc "%.6f" "$cpu_used / $elapsed")
  r_bps=$(calc "%.0f" "${bytes_sent:-0} / $elapsed")
  r_cpu=$(calc "%.6f" "$r_ups > 0 ? $r_cps / $r_ups : 0")
  printf "  %-12s %6.1f ms CPU/s %6.1f updates/s %6.2f ms CPU/update %8.1f KB/s  latency p50 %s p99 %s ms\n" \
    "$1" "$(calc "%.1f" "$r_cps * 1000")" "$r_ups" "$(calc "%.3f" "$r_cpu * 1000")" \
    "$(calc "%.1f" "$r_bps / 1000")" "$r_p50" "$r_p99"
}

host_run() {
  local line client_pid
  r_cps= r_ups= r_cpu= r_bps= r_p50= r_p99=
  "$client" "127.0.0.1:$port" --password "$password" --stream 1920 1080 "$fps" --codecs 1 \
    --no-decode --hold "$((warm + seconds + tail))" > "$work/client.out" 2>&1 &
  client_pid=$!
  measure_window "$host_pid" "$port"
  wait "$client_pid"
  if [ -z "$cpu_used" ] || ! line=$(grep '^stats:' "$work/client.out"); then
    printf "  %-12s no figures: %s\n" "host" "$(tail -2 "$work/client.out" | tr '\n' ' ')"
    return
  fi
  r_ups=$(sed -E 's/.* ([0-9.]+) fps.*/\1/' <<< "$line")
  r_p50=$(sed -E 's/.*p50 ([0-9.]+) ms.*/\1/' <<< "$line")
  r_p99=$(sed -E 's/.*p99 ([0-9.]+) ms.*/\1/' <<< "$line")
  report host
}

# A VNC server (command line after the name) on a free port, read by the RFB client.
vnc_run() {  # NAME PROGRAM ARGS... (PORT in ARGS is replaced by the port)
  local name=$1 vnc_port line server_pid client_pid args=() a
  shift
  r_cps= r_ups= r_cpu= r_bps= r_p50= r_p99=
  vnc_port=$(free_port)
  for a in "$@"; do args+=("${a//PORT/$vnc_port}"); done
  "${args[@]}" > "$work/$name.log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  "$rfb_client" "$vnc_port" "$warm" "$seconds" "$tail" > "$work/rfb.out" 2>&1 &
  client_pid=$!
  # The client connects within a moment of the server listening; its window starts then.
  measure_window "$server_pid" "$vnc_port"
  wait "$client_pid"
  # x11vnc may sit in its clean-up after SIGTERM for a long time: a second later it is killed.
  kill "$server_pid" 2>/dev/null
  for _ in $(seq 20); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.05; done
  kill -KILL "$server_pid" 2>/dev/null
  stop "$server_pid"
  if [ -z "$cpu_used" ] || ! line=$(grep '^stats:' "$work/rfb.out"); then
    printf "  %-12s no figures: %s %s\n" "$name" "$(tail -2 "$work/rfb.out" | tr '\n' ' ')" \
      "$(tail -2 "$work/$name.log" | tr '\n' ' ')"
    return
  fi
  r_ups=$(sed -E 's/.* ([0-9.]+) updates\/s.*/\1/' <<< "$line")
  r_p50=$(sed -E 's/.*p50 ([0-9.]+) ms.*/\1/' <<< "$line")
  r_p99=$(sed -E 's/.*p99 ([0-9.]+) ms.*/\1/' <<< "$line")
  report "$name"
}

# All three servers on the painting in progress; figures kept as PREFIX_{host,x0,x11}_*.
three_runs() {  # PREFIX
  local who
  for who in host x0 x11; do
    case $who in
      host) host_run ;;
      x0) vnc_run x0vncserver X0tigervnc -display "$DISPLAY" -rfbport PORT -SecurityTypes None \
            -localhost=1 -AlwaysShared=1 ;;
      x11) vnc_run x11vnc x11vnc -display "$DISPLAY" -rfbport PORT -nopw -localhost -shared \
             -forever -quiet ;;
    esac
    local k
    for k in cps ups cpu bps p50 p99; do
      eval "${1}_${who}_$k=\${r_$k}"
    done
  done
}

echo "peer bench: ${seconds} s windows after ${warm} s warm-up, $(nproc) CPUs," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
quality=$("$region_quality" 2>/dev/null | grep '^B ')
echo "B's picture at the host's cap (encoded and decoded in-process): ${quality:-no figures}"
b_psnr=$(sed -nE 's/.*PSNR ([0-9.]+) dB.*/\1/p' <<< "$quality")

start_desktop 1920x1080
start_host
echo "desktop 1920x1080 on $DISPLAY"

echo "A. full-screen animation, 40x40 cells"
start_painter animate "$fps" 40
three_runs a
stop_painter

echo "B. ${region[2]}x${region[3]} region at ${region[0]},${region[1]}, 30x30 cells, rest still"
"$painter" blocks
start_painter animate "$fps" 30 "${region[@]}"
three_runs b
stop_painter

echo "D. typing 5 characters/s on a still desktop"
"$painter" blocks
start_painter type 5
three_runs d
stop_painter

goal "A CPU/update vs x0vncserver" "$(ratio "$a_host_cpu" "$a_x0_cpu")" "<= 1.00x" "v <= 1"
goal "A updates/s (host)" "$a_host_ups" ">= 58.8" "v >= 58.8"
goal "A bytes/s vs x0vncserver" "$(ratio "$a_host_bps" "$a_x0_bps")" "<= 1.00x" "v <= 1"
goal "B bytes/s vs x0vncserver" "$(ratio "$b_host_bps" "$b_x0_bps")" "<= 2.00x" "v <= 2"
goal "B region PSNR (dB)" "$b_psnr" ">= 40" "v >= 40"
goal "D CPU/s vs x0vncserver" "$(ratio "$d_host_cps" "$d_x0_cps")" "<= 2.00x" "v <= 2"
echo "ratios, host against x0vncserver / x11vnc:" \
  "A CPU/update $(ratio "$a_host_cpu" "$a_x0_cpu") / $(ratio "$a_host_cpu" "$a_x11_cpu")," \
  "B CPU/update $(ratio "$b_host_cpu" "$b_x0_cpu") / $(ratio "$b_host_cpu" "$b_x11_cpu")," \
  "B bytes/s $(ratio "$b_host_bps" "$b_x0_bps") / $(ratio "$b_host_bps" "$b_x11_bps")," \
  "D CPU/s $(ratio "$d_host_cps" "$d_x0_cps") / $(ratio "$d_host_cps" "$d_x11_cps")"
echo "goals: (load $(cut -d' ' -f1-3 /proc/loadavg))"
printf "%s\n" "${goal_lines[@]}"
