# Ending one process of a test's own, by its PID (never by name: other tests run on the same
# machine); sourced by e2e.sh and gnome_desktop.sh.
#   e2e_end_process PID   asked (TERM), killed when it is still there after 5 s (a program busy
#                         shutting down on a loaded machine must not hold a test until its
#                         time-out), waited for. Safe under `set -e`.
e2e_end_process() {
  local pid=$1 i
  kill "$pid" 2>/dev/null || return 0
  for (( i = 0; i < 50; i++ )); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
