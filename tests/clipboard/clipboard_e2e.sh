#!/usr/bin/env bash
# Clipboard end to end: `tolvi-host --test-host` on a private Xvfb, tolvi-client on one side
# and xclip (another X program on the host's desktop) on the other.
# Usage: clipboard_e2e.sh HOST_PROGRAM CLIENT_PROGRAM
set -u
host_program=$1 client=$2
password=e2e-secret
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "client" "$work/out"
e2e_show_on_fail "host log" "$work/host.log"

e2e_start_xvfb
e2e_start_host "$host_program" "$password" "$work/host.log"
client_pid=
e2e_track client_pid

paste() { xclip -selection clipboard -o 2>/dev/null; }
# Waits up to $2 seconds for the host clipboard to hold $1.
paste_becomes() {
  for _ in $(seq $(( $2 * 20 ))); do [ "$(paste)" = "$1" ] && return 0; sleep 0.05; done
  return 1
}

# Client to host, and nothing back. The host waits for its clipboard watcher before it reads
# client messages; a session whose watcher could not start in time is tried again.
applied=
for attempt in 1 2 3 4 5; do
  "$client" "127.0.0.1:$port" --password "$password" --clipboard-set "from the client" \
    --clipboard-get --timeout 3 > "$work/out" 2>&1 &
  client_pid=$!
  paste_becomes "from the client" 3 && applied=yes
  wait "$client_pid"; rc=$?; client_pid=
  [ -n "$applied" ] && break
done
[ -n "$applied" ] || fail "the client's text never reached the host clipboard"
[ "$rc" = 1 ] && grep -q "^no ClipboardText from the host" "$work/out" ||
  fail "the host sent something back (exit $rc)"
# The session is over: its owner window gave the selection up.
paste_becomes "" 5 || fail "the selection was not given up at the end of the session"

# Host to client: another program copies until the client has printed one text.
"$client" "127.0.0.1:$port" --password "$password" --clipboard-get --timeout 15 \
  > "$work/out" 2>&1 &
client_pid=$!
for n in $(seq 60); do
  kill -0 "$client_pid" 2>/dev/null || break
  printf 'from the host %s' "$n" | xclip -selection clipboard -i
  sleep 0.25
done
wait "$client_pid"; rc=$?; client_pid=
[ "$rc" = 0 ] || fail "tolvi-client --clipboard-get exit code $rc"
grep -q "^clipboard ([0-9]* bytes after .*): from the host [0-9]*$" "$work/out" ||
  fail "no host text printed"

# Text copied on the host before a client connects reaches it at once, without a new copy.
printf 'copied before the client came' | xclip -selection clipboard -i
paste_becomes "copied before the client came" 5 || fail "xclip did not take the clipboard"
"$client" "127.0.0.1:$port" --password "$password" --clipboard-get --timeout 3 \
  > "$work/out" 2>&1
rc=$?
[ "$rc" = 0 ] || fail "the text copied before the session did not arrive (exit $rc)"
grep -q "^clipboard (29 bytes after .*): copied before the client came$" "$work/out" ||
  fail "the text copied before the session was not printed"
echo "clipboard end to end: ok"
