# Shared pieces of the shell end-to-end tests and benchmarks; `source` it, then:
#   $work                                a private folder, removed at exit
#   e2e_track VAR...                     at exit, the process whose PID variable VAR holds then
#                                        is ended (TERM) and waited for, the last tracked first;
#                                        a script that ends a process itself empties VAR
#   e2e_track_pid PID                    the same for a process the script never ends itself
#   e2e_at_exit 'COMMAND'               run at exit once the tracked processes ended, before
#                                        $work goes (an unmount, say)
#   e2e_show_on_fail HEADING FILE        what `fail` prints after its message
#   fail MESSAGE                         "FAIL: MESSAGE" (or "FAIL (e2e_name): ..."), the files
#                                        given to e2e_show_on_fail, exit 1
#   wait_for SECONDS 'COMMAND'           true once COMMAND succeeds, evaluated afresh every 0.1 s
#   wait_for_text FILE PATTERN SECONDS   waits for PATTERN in FILE, fails when it never comes
#   e2e_start_xvfb [SCREEN]              a private Xvfb (sets xvfb_pid and display_number,
#                                        exports DISPLAY)
#   e2e_start_host PROGRAM PASSWORD LOG  `PROGRAM --test-host PORT PASSWORD` on a free port
#                                        (sets port and host_pid), its standard error in LOG

work=$(mktemp -d)
e2e_pid_vars=()
e2e_exit_commands=()
e2e_fail_files=()

e2e_track() {
  local name
  for name in "$@"; do
    [[ " ${e2e_pid_vars[*]} " == *" $name "* ]] || e2e_pid_vars+=("$name")
  done
}

e2e_track_pid() { e2e_pid_vars+=("=$1"); }

e2e_cleanup() {
  local i name pid
  for (( i = ${#e2e_pid_vars[@]} - 1; i >= 0; i-- )); do
    name=${e2e_pid_vars[i]}
    if [[ $name == =* ]]; then pid=${name#=}; else pid=${!name:-}; fi
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; fi
  done
  for (( i = 0; i < ${#e2e_exit_commands[@]}; i++ )); do eval "${e2e_exit_commands[i]}"; done
  rm -rf "$work"
}

e2e_at_exit() { e2e_exit_commands+=("$1"); }
trap e2e_cleanup EXIT

e2e_show_on_fail() { e2e_fail_files+=("$1" "$2"); }

fail() {
  echo "FAIL${e2e_name:+ ($e2e_name)}: $*"
  local i
  for (( i = 0; i < ${#e2e_fail_files[@]}; i += 2 )); do
    echo "--- ${e2e_fail_files[i]}"; cat "${e2e_fail_files[i + 1]}" 2>/dev/null
  done
  exit 1
}

wait_for() {
  local seconds=$1; shift
  for _ in $(seq $(( seconds * 10 ))); do eval "$1" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}

wait_for_text() {
  for _ in $(seq $(( $3 * 20 ))); do grep -a -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  fail "'$2' did not appear in $(basename "$1")"
}

# The server picks a free display itself and reports its number on a pipe.
e2e_start_xvfb() {
  local display_fd
  exec {display_fd}<> <(:)
  Xvfb -displayfd "$display_fd" -screen 0 "${1:-640x480x24}" -noreset -nolisten tcp \
    >/dev/null 2>&1 &
  xvfb_pid=$!
  e2e_track_pid "$xvfb_pid"  # by value: a second call keeps the first one's clean-up
  read -r -t 10 -u "$display_fd" display_number || fail "Xvfb did not start"
  export DISPLAY=":$display_number"
}

# A random port of 20000..59999, a few tries: another process may hold one.
e2e_start_host() {
  local program=$1 password=$2 log=$3
  e2e_track host_pid
  for _ in 1 2 3 4 5; do
    port=$(( 20000 + RANDOM % 40000 ))
    : > "$log"
    "$program" --test-host "$port" "$password" 2> "$log" &
    host_pid=$!
    for _ in $(seq 100); do
      grep -q "listening on port $port" "$log" && return 0
      grep -q "cannot listen" "$log" && break
      kill -0 "$host_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$host_pid" 2>/dev/null; wait "$host_pid" 2>/dev/null; host_pid=
  done
  fail "the host did not start listening"
}
