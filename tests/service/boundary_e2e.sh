#!/usr/bin/env bash
# What other local accounts and a damaged installation meet, on an installed host run by
# `tolvi-host --service` under a temporary install root: a console file another account could
# have written is ignored; a machine password that cannot be read refuses every client, the
# empty password included; the account `nobody` cannot read the machine settings or key, only
# the public values a tray needs.
# Usage: boundary_e2e.sh HOST_PROGRAM CLIENT_PROGRAM
set -u
host=$1 client=$2
source "$(dirname "$0")/../support/e2e.sh"
chmod 755 "$work"  # so that `nobody` reaches the files and meets their own modes
e2e_show_on_fail "service log" "$work/service.log"
e2e_start_xvfb 640x480x24
service_pid=
e2e_track service_pid
e2e_end_agents_of "$work/service.log"
as_nobody() { runuser -u nobody -- "$@"; }

export TOLVI_INSTALL_ROOT="$work/root" HOME="$work/home"
unset DISPLAY XAUTHORITY
etc="$TOLVI_INSTALL_ROOT/etc/tolvi-host" lib="$TOLVI_INSTALL_ROOT/var/lib/tolvi-host"
mkdir -p "$etc" "$lib" "$HOME"
port=$(( 20000 + RANDOM % 40000 ))
# An installed machine whose key was cut short: its sealed password cannot be opened.
head -c 31 /dev/urandom > "$lib/machine.key"
chmod 600 "$lib/machine.key"
printf 'Installed dword 1\nPort dword %s\nPassword binary 545650314d%s\n' "$port" \
  "$(head -c 40 /dev/urandom | od -An -tx1 | tr -d ' \n')" > "$etc/settings"
before=$(cat "$etc/settings")

# A console file anyone may write is not the service's to follow.
echo ":$display_number" > "$etc/console"
chmod 666 "$etc/console"
"$host" --service > "$work/service.log" 2>&1 &
service_pid=$!
wait_for_text "$work/service.log" "console ignored: other accounts may write it" 10
sleep 1
grep -q "agent started" "$work/service.log" && fail "an agent started for an untrusted console file"
chmod 644 "$etc/console"
wait_for_text "$work/service.log" "agent started in session $display_number" 10
wait_for_text "$work/service.log" "listening on port $port" 20

# No password can be read: the empty one is refused like every other, and nothing is replaced.
if [ "$(id -u)" = 0 ]; then
  "$client" "127.0.0.1:$port" --password "" --ping 1 > "$work/client.out" 2>&1
  rc=$?
  [ "$rc" = 4 ] || fail "empty password: exit $rc, expected 4 (refused): $(cat "$work/client.out")"
  wait_for_text "$work/service.log" "no password is set: every client is refused until one is set" 5
  "$client" "127.0.0.1:$port" --password "guess-me" --ping 1 > "$work/client.out" 2>&1
  rc=$?
  [ "$rc" = 4 ] || fail "a guess: exit $rc, expected 4: $(cat "$work/client.out")"
  [ "$(grep -c 'no password is set' "$work/service.log")" = 1 ] || fail "the reason is not said once"
  grep -q "^Password binary 545650314d" "$etc/settings" || fail "the stored password was replaced"
  [ "$(grep -c '^Password' "$etc/settings")" = 1 ] || fail "a second password was added"
  "$host" --show-password > "$work/show.out" 2>&1 && fail "--show-password succeeded without a password"
  grep -q "no password is set" "$work/show.out" || fail "--show-password: $(cat "$work/show.out")"
  grep -q "error: No password is set" "$etc/public-settings" || fail "the status does not say it"

  # Other accounts: neither the settings nor the key, only the public values.
  as_nobody cat "$etc/settings" >/dev/null 2>&1 && fail "nobody read the machine settings"
  as_nobody cat "$lib/machine.key" >/dev/null 2>&1 && fail "nobody read the machine key"
  as_nobody cat "$etc/public-settings" > "$work/public" 2>&1 || fail "nobody cannot read the public values"
  grep -q "^Installed dword 1" "$work/public" || fail "public values: $(cat "$work/public")"
  grep -q "^Password" "$work/public" && fail "the public values hold the password"
  [ "$(stat -c %a "$etc/settings")" = 600 ] || fail "settings mode $(stat -c %a "$etc/settings")"
  [ "$(stat -c %a "$lib")" = 700 ] || [ "$(stat -c %a "$lib")" = 755 ] || fail "key folder mode"
fi

# The tray of an installed machine that has no service and no password yet (no Password line):
# its host must not let the empty password in either.
kill "$service_pid"; wait "$service_pid" 2>/dev/null; service_pid=
rm -f "$lib/machine.key"
port2=$(( 20000 + RANDOM % 40000 ))
printf 'Installed dword 1\nPort dword %s\n' "$port2" > "$etc/settings"
export DISPLAY=":$display_number" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$host" > "$work/tray.log" 2>&1 &
service_pid=$!
wait_for_text "$work/tray.log" "listening on port $port2" 10
"$client" "127.0.0.1:$port2" --password "" --ping 1 > "$work/client.out" 2>&1
rc=$?
[ "$rc" = 4 ] || { cat "$work/tray.log"; fail "the tray's host: empty password exit $rc, expected 4"; }
wait_for_text "$work/tray.log" "no password is set: every client is refused until one is set" 5
echo "boundary e2e: ok"
