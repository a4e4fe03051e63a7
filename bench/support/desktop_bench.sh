# Shell helpers of the desktop benchmarks (bench/pipeline, bench/peer) over the test harness
# (tests/support/e2e.sh: $work, private Xvfb desktops, the host on a free port, clean-up by PID at
# exit): the painter, CPU from /proc, and goal lines. Source it after setting e2e_name, tick
# (getconf CLK_TCK), host_program, password, painter and die; label_width (24 by default) lines
# up the painter's line with the figures above it. Processes a bench starts itself go into pids
# (ended at exit, newest first).
source "$(dirname "${BASH_SOURCE[0]}")/../../tests/support/e2e.sh"
e2e_show_on_fail "host log" "$work/host.log"
pids=()
e2e_track pids

# CPU seconds a process has used so far (user + system, all threads).
cpu_of() { awk -v t="$tick" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat" 2>/dev/null; }
calc() { awk "BEGIN { printf \"$1\", ($2) }"; }
stop() { e2e_stop "$1"; }  # PID: end a process we started and forget it
label() { printf "%-${label_width:-24}s" "$1"; }

# A private desktop W x H.
start_desktop() { e2e_start_xvfb "$1x24"; }  # WxH

# The host on a free port of the current desktop (sets port and host_pid), with its log under a
# private HOME.
start_host() {
  export HOME="$work/home"
  mkdir -p "$HOME"
  e2e_start_host "$host_program" "$password" "$work/host.log"
}

# The animation or typing of one measured run, so its achieved rate can be shown beside it.
start_painter() {  # painter arguments
  "$painter" "$@" 2> "$work/painter.log" &
  painter_pid=$!
  pids+=("$painter_pid")
  sleep 0.5
}
stop_painter() {
  stop "$painter_pid"
  printf "%-${label_width:-24}s %s\n" "" "painter: $(sed 's/^x11_painter: //' "$work/painter.log")"
}

# goals: one line per ratio. NAME VALUE GOAL_TEXT MET_EXPRESSION (awk, with v the value)
goal_lines=()
goal() {
  local verdict=n/a shown=n/a
  if [ -n "$2" ]; then
    shown=$2
    verdict=$(awk -v v="$2" "BEGIN { print (($4) ? \"met\" : \"not met\") }")
  fi
  goal_lines+=("$(printf "  %-34s %9s   goal %-16s %s" "$1" "$shown" "$3" "$verdict")")
}
# A / B, or nothing (so the goal says n/a) when B is 0: a peer that used no measurable CPU in a
# short window is no yardstick, and a 0 ratio would read as a goal met.
ratio() {
  [ -n "$1" ] && [ -n "$2" ] && awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b }'
}
