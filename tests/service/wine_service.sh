#!/usr/bin/env bash
# The Windows service under Wine's service manager: registered, started (it starts its agent,
# which opens the quit event), stopped (the agent is asked to quit first), deleted.
# Usage: wine_service.sh WINE_RUN HOST_EXE LOG_FOLDER WINEPREFIX (WINE_RUN runs a program in
# that prefix; LOG_FOLDER is the log's folder under ProgramData)
set -u
wine_run=$1 host=$2 prefix=$4
source "$(dirname "$0")/../support/e2e.sh"
name=TolviHost
exe=$("$wine_run" winepath -w "$host" 2>/dev/null | tr -d '\r')
log="$prefix/drive_c/ProgramData/$3/tolvi-host.log"
e2e_show_on_fail "log" "$log"
sc() { "$wine_run" sc "$@" </dev/null >/dev/null 2>&1; }
# A failed run leaves no service behind.
registered=
e2e_at_exit 'if [ -n "$registered" ]; then sc stop "$name"; sc delete "$name"; fi'

sc stop "$name"; sc delete "$name"  # an earlier run's leftovers
rm -f "$log"
registered=1
sc create "$name" binPath= "\"$exe\" --service" || fail "sc create"
sc start "$name" || fail "sc start"
wait_for_text "$log" "service running" 20
wait_for_text "$log" "agent started in session" 20
wait_for_text "$log" "agent running in session" 20
sc stop "$name"
wait_for_text "$log" "agent: quit requested" 20
wait_for_text "$log" "service stopped" 20
sc delete "$name"
registered=
echo PASS
