#!/usr/bin/env bash
# The Windows service under Wine's service manager: registered, started (it starts its agent,
# which opens the quit event), stopped (the agent is asked to quit first), deleted.
# Usage: wine_service.sh WINE_RUN HOST_EXE LOG_FOLDER WINEPREFIX (WINE_RUN runs a program in
# that prefix; LOG_FOLDER is the log's folder under ProgramData)
set -u
wine_run=$1 host=$2 prefix=$4
name=TolviHost
exe=$("$wine_run" winepath -w "$host" 2>/dev/null | tr -d '\r')
log="$prefix/drive_c/ProgramData/$3/tolvi-host.log"
sc() { "$wine_run" sc "$@" </dev/null >/dev/null 2>&1; }
fail() {
  echo "FAIL: $*"; echo "--- log"; cat "$log" 2>/dev/null
  sc stop "$name"; sc delete "$name"
  exit 1
}
wait_for_log() {  # pattern seconds
  for _ in $(seq $(( $2 * 10 ))); do grep -q -- "$1" "$log" 2>/dev/null && return 0; sleep 0.1; done
  fail "'$1' did not appear in the log"
}

sc stop "$name"; sc delete "$name"  # an earlier run's leftovers
rm -f "$log"
sc create "$name" binPath= "\"$exe\" --service" || fail "sc create"
sc start "$name" || fail "sc start"
wait_for_log "service running" 20
wait_for_log "agent started in session" 20
wait_for_log "agent running in session" 20
sc stop "$name"
wait_for_log "agent: quit requested" 20
wait_for_log "service stopped" 20
sc delete "$name"
echo PASS
