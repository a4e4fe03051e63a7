# Shell helpers of the desktop benchmarks (bench/pipeline, bench/peer): private Xvfb desktops,
# the host on a free port, the painter, CPU from /proc, and goal lines. Source it after setting
# work (a private folder), pids=() (processes to end at exit, newest last), tick
# (getconf CLK_TCK), host_program, password, painter and die; label_width (24 by default) lines
# up the painter's line with the figures above it.
# Ends every process in pids, newest first (the exit trap's part).
end_started() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null
  done
}

# CPU seconds a process has used so far (user + system, all threads).
cpu_of() { awk -v t="$tick" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat" 2>/dev/null; }
calc() { awk "BEGIN { printf \"$1\", ($2) }"; }
stop() {  # PID: end a process we started and forget it
  kill "$1" 2>/dev/null && wait "$1" 2>/dev/null
  local kept=() p
  for p in "${pids[@]}"; do [ "$p" = "$1" ] || kept+=("$p"); done
  pids=("${kept[@]}")
}
label() { printf "%-${label_width:-24}s" "$1"; }

# A private desktop W x H: Xvfb picks a free display and writes its number to fd 3.
start_desktop() {  # WxH
  rm -f "$work/display"
  exec 3> "$work/display"
  Xvfb -displayfd 3 -screen 0 "$1x24" -noreset -nolisten tcp 2>/dev/null &
  xvfb_pid=$!
  pids+=("$xvfb_pid")
  exec 3>&-
  for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
  [ -s "$work/display" ] || die "Xvfb $1 did not start"
  export DISPLAY=":$(head -1 "$work/display")"
}

# The host on a free port of the current desktop, with its log under a private HOME.
start_host() {
  export HOME="$work/home"
  mkdir -p "$HOME"
  local attempt
  host_pid=
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    "$host_program" --test-host "$port" "$password" 2> "$work/host.log" &
    host_pid=$!
    for _ in $(seq 100); do
      grep -qs "listening on port $port" "$work/host.log" && break 2
      kill -0 "$host_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; host_pid=
  done
  [ -n "$host_pid" ] || die "the host did not start: $(cat "$work/host.log")"
  pids+=("$host_pid")
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
ratio() { [ -n "$1" ] && [ -n "$2" ] && calc "%.2f" "$2 > 0 ? $1 / $2 : 0"; }
