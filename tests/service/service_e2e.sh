#!/usr/bin/env bash
# `tolvi-host --service` on a private Xvfb that the console file names, under a temporary
# install root and HOME: its agent serves tolvi-client, passes the client's Ctrl+Alt+Del to the
# service (which presses the chord on the display), is replaced when killed, and is asked to
# quit when the service stops.
# Usage: service_e2e.sh HOST_PROGRAM CLIENT_PROGRAM KEY_WATCHER_PROGRAM
set -u
host=$1 client=$2 key_watcher=$3
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "service log" "$work/service.log"
e2e_show_on_fail "keys" "$work/keys"
e2e_start_xvfb 640x480x24
service_pid= watcher_pid=
e2e_track watcher_pid service_pid
e2e_end_agents_of "$work/service.log"
count() { grep -c -- "$2" "$1" 2>/dev/null || true; }
wait_for_count() {  # file pattern count seconds
  for _ in $(seq $(( $4 * 20 ))); do [ "$(count "$1" "$2")" -ge "$3" ] && return 0; sleep 0.05; done
  fail "'$2' did not appear $3 time(s) in $(basename "$1")"
}

export TOLVI_INSTALL_ROOT="$work/root" HOME="$work/home"
unset DISPLAY XAUTHORITY
mkdir -p "$TOLVI_INSTALL_ROOT/etc/tolvi-host" "$HOME/.config/tolvi-host"
echo ":$display_number" > "$TOLVI_INSTALL_ROOT/etc/tolvi-host/console"
port=$(( 20000 + RANDOM % 40000 ))
echo "Port dword $port" > "$HOME/.config/tolvi-host/settings"

DISPLAY=":$display_number" "$key_watcher" > "$work/keys" 2>&1 &
watcher_pid=$!
wait_for_count "$work/keys" "^ready" 1 10

# "--service" wins over "--agent" on the same command line.
"$host" --agent --service > "$work/service.log" 2>&1 &
service_pid=$!
wait_for_count "$work/service.log" "agent started in session $display_number (pid " 1 10
wait_for_count "$work/service.log" "agent running in session $display_number" 1 20
wait_for_count "$work/service.log" "listening on port $port" 1 20
password=$("$host" --show-password 2>/dev/null | tail -n 1)

"$client" "127.0.0.1:$port" --password "$password" --raw 86 "" > "$work/client.out" 2>&1 \
  || fail "client: $(cat "$work/client.out")"
wait_for_count "$work/service.log" "Ctrl+Alt+Del requested" 1 10
wait_for_count "$work/service.log" "SendSAS issued" 1 10
for key in Control_L Alt_L Delete; do
  wait_for_count "$work/keys" "^press $key" 1 5
  wait_for_count "$work/keys" "^release $key" 1 5
done
[ "$(grep '^press' "$work/keys" | head -3 | tr '\n' ' ')" = \
  "press Control_L press Alt_L press Delete " ] || fail "the chord arrived out of order"

# A killed agent is replaced, and the new one serves.
agent_pid=$(e2e_agent_pids "$work/service.log" | head -1)
kill -KILL "$agent_pid"
wait_for_count "$work/service.log" "agent exited" 1 10
wait_for_count "$work/service.log" "agent started in session" 2 10
wait_for_count "$work/service.log" "listening on port $port" 2 20
"$client" "127.0.0.1:$port" --password "$password" --ping 1 > "$work/client2.out" 2>&1 \
  || fail "client after the restart: $(cat "$work/client2.out")"

# Stopping the service asks the agent to quit.
kill -TERM "$service_pid"
wait "$service_pid"
rc=$?
service_pid=
[ "$rc" = 0 ] || fail "the service ended with $rc"
grep -q "agent: quit requested" "$work/service.log" || fail "the agent was not asked to quit"
grep -q "service stopped" "$work/service.log" || fail "no 'service stopped'"
for pid in $(e2e_agent_pids "$work/service.log"); do
  kill -0 "$pid" 2>/dev/null && fail "agent $pid outlived the service"
done
echo "PASS"
