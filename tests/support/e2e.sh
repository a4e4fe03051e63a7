# Shared pieces of the shell end-to-end tests, benchmarks and scripts; `source` it, then:
#   $work                                a private folder, removed at exit
#   e2e_track VAR...                     at exit, the processes whose PIDs variable (or array) VAR
#                                        holds then are ended, the last tracked first; a script
#                                        that ends a process itself uses e2e_stop or empties VAR
#   e2e_track_pid PID                    the same for a process the script never ends itself
#   e2e_end_process PID                  ends one process: TERM, KILL when it is still there
#                                        after 5 s, waited for (end_process.sh; at exit, every
#                                        tracked one)
#   e2e_stop PID                         ends a tracked process now and forgets it
#   e2e_at_exit 'COMMAND'                run at exit once the tracked processes ended, before
#                                        $work goes (an unmount, say)
#   e2e_show_on_fail HEADING FILE        what `fail` prints after its message
#   fail MESSAGE                         "FAIL: MESSAGE" (or "FAIL (e2e_name): ..."), the files
#                                        given to e2e_show_on_fail, exit 1
#   wait_for SECONDS 'COMMAND'           true once COMMAND succeeds, evaluated afresh every 0.1 s
#   wait_for_text FILE PATTERN SECONDS   waits for PATTERN in FILE, fails when it never comes
#   e2e_start_xvfb [SCREEN]              a private Xvfb, ended at exit (sets xvfb_pid and
#                                        display_number, exports DISPLAY)
#   e2e_launch_xvfb [SCREEN]             the same server left running (not tracked, DISPLAY
#                                        untouched): false when it did not start
#   e2e_start_host PROGRAM PASSWORD LOG [PORT]
#                                        `PROGRAM --test-host PORT PASSWORD` on a free port (or
#                                        on PORT), sets port and host_pid; its standard error in
#                                        LOG
#   e2e_agent_pids LOG                   the PIDs of the agents `tolvi-host --service` logged
#                                        starting in LOG
#   e2e_end_agents_of LOG                at exit, those agents are killed (a failed case may
#                                        leave one behind)
# Every process is ended by the PID this library or its script started, never by name: other
# tests run on the same machine. Safe under `set -e`.

source "$(dirname "${BASH_SOURCE[0]}")/end_process.sh"
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

# The PIDs one tracking entry stands for now (a variable's or array's values, or "=PID").
e2e_tracked_pids() {
  if [[ $1 == =* ]]; then
    e2e_pids=("${1#=}")
  else
    eval "e2e_pids=(\"\${$1[@]}\")"
  fi
}

e2e_stop() {
  local pid=$1 i j name kept
  e2e_end_process "$pid"
  for (( i = ${#e2e_pid_vars[@]} - 1; i >= 0; i-- )); do
    name=${e2e_pid_vars[i]}
    if [[ $name == "=$pid" ]]; then
      unset 'e2e_pid_vars[i]'
    elif [[ $name != =* ]]; then
      e2e_tracked_pids "$name"
      if [[ $(declare -p "$name" 2>/dev/null) == "declare -a"* ]]; then
        kept=()
        for j in "${e2e_pids[@]}"; do [[ $j == "$pid" ]] || kept+=("$j"); done
        eval "$name=(\"\${kept[@]}\")"
      elif [[ ${e2e_pids[0]:-} == "$pid" ]]; then
        printf -v "$name" ''
      fi
    fi
  done
  e2e_pid_vars=("${e2e_pid_vars[@]}")
}

# Its loop variables are its own: a command run at exit may use i and j of its own.
e2e_cleanup() {
  local e2e_i e2e_j
  for (( e2e_i = ${#e2e_pid_vars[@]} - 1; e2e_i >= 0; e2e_i-- )); do
    e2e_tracked_pids "${e2e_pid_vars[e2e_i]}"
    for (( e2e_j = ${#e2e_pids[@]} - 1; e2e_j >= 0; e2e_j-- )); do
      if [ -n "${e2e_pids[e2e_j]}" ]; then e2e_end_process "${e2e_pids[e2e_j]}"; fi
    done
  done
  for (( e2e_i = 0; e2e_i < ${#e2e_exit_commands[@]}; e2e_i++ )); do
    eval "${e2e_exit_commands[e2e_i]}" || true
  done
  rm -rf "$work"
}

e2e_at_exit() { e2e_exit_commands+=("$1"); }
trap e2e_cleanup EXIT

e2e_show_on_fail() { e2e_fail_files+=("$1" "$2"); }

fail() {
  echo "FAIL${e2e_name:+ ($e2e_name)}: $*"
  local i
  for (( i = 0; i < ${#e2e_fail_files[@]}; i += 2 )); do
    echo "--- ${e2e_fail_files[i]}"; cat "${e2e_fail_files[i + 1]}" 2>/dev/null || true
  done
  exit 1
}

wait_for() {
  local seconds=$1; shift
  for _ in $(seq $(( seconds * 10 ))); do
    if eval "$1" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

wait_for_text() {
  for _ in $(seq $(( $3 * 20 ))); do
    if grep -a -q -- "$2" "$1" 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  fail "'$2' did not appear in $(basename "$1"): $(tail -n 5 "$1" 2>/dev/null)"
}

# The server picks a free display itself and reports its number on a pipe. Nothing it inherits
# is the caller's output, so a test runner never waits on a server left running.
e2e_launch_xvfb() {
  local display_fd
  exec {display_fd}<> <(:)
  Xvfb -displayfd "$display_fd" -screen 0 "${1:-640x480x24}" -noreset -nolisten tcp \
    </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  if read -r -t 10 -u "$display_fd" display_number; then
    exec {display_fd}>&-
    return 0
  fi
  exec {display_fd}>&-
  e2e_end_process "$xvfb_pid"
  return 1
}

e2e_start_xvfb() {
  e2e_launch_xvfb "${1:-640x480x24}" || fail "Xvfb did not start"
  e2e_track_pid "$xvfb_pid"  # by value: a second call keeps the first one's clean-up
  export DISPLAY=":$display_number"
}

# A random port of 20000..59999, a few tries: another process may hold one. Given PORT (a host
# started again where the last one listened), that port alone.
e2e_start_host() {
  local program=$1 password=$2 log=$3 fixed=${4:-} tries=5 try
  if [ -n "$fixed" ]; then tries=1; fi
  e2e_track host_pid
  for (( try = 0; try < tries; try++ )); do
    port=${fixed:-$(( 20000 + RANDOM % 40000 ))}
    : > "$log"
    "$program" --test-host "$port" "$password" 2> "$log" &
    host_pid=$!
    for _ in $(seq 200); do  # up to 10 s: a loaded machine
      if grep -q "listening on port $port" "$log"; then return 0; fi
      if grep -q "cannot listen" "$log"; then break; fi
      kill -0 "$host_pid" 2>/dev/null || break
      sleep 0.05
    done
    e2e_end_process "$host_pid"
    host_pid=
  done
  fail "the host did not start listening${fixed:+ on port $fixed}"
}

e2e_agent_pids() {
  sed -n 's/.*agent started in session [0-9]* (pid \([0-9]*\)).*/\1/p' "$1" 2>/dev/null
}

e2e_end_agents_of() {
  e2e_at_exit "for pid in \$(e2e_agent_pids '$1'); do kill -KILL \"\$pid\" 2>/dev/null; done"
}
