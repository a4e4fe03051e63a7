#!/usr/bin/env bash
# `tolvi-host --service` as root, with the console file naming a Wayland display of another
# local account (nobody), and a headless GNOME desktop (tests/support/gnome_desktop.sh) started
# as that account with its session bus at <install root>/run/user/UID/bus. The service starts
# the agent as that account; the agent cannot read the machine's secrets and gets them from the
# service over its inherited socket (never on its command line or in its environment), serves
# tolvi-client (Ctrl+Alt+Del included), takes a new password while it runs, sends its status
# back for the service to store, and quits when the service stops. Skipped (77) without root,
# setpriv, the account, a checkout the account can reach, or the desktop.
# Usage: service_wayland_e2e.sh HOST_PROGRAM CLIENT_PROGRAM
#        service_wayland_e2e.sh --desktop RUNTIME READY_FILE   (the desktop, run as the account)
set -u
support="$(cd "$(dirname "$0")/../support" && pwd)"

if [[ ${1:-} == --desktop ]]; then
  # As the account: its session bus where the service will look for it, then the desktop on
  # it; its Wayland and PipeWire sockets are linked into that runtime folder too.
  runtime=$2 ready=$3
  dbus-daemon --session --nofork --address="unix:path=$runtime/bus" >/dev/null 2>&1 &
  bus_pid=$!
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus"
  for _ in $(seq 50); do [[ -S $runtime/bus ]] && break; sleep 0.1; done
  source "$support/gnome_desktop.sh"
  gnome_desktop_skip() { echo "SKIP: $*" >"$ready"; exit 77; }
  trap 'gnome_desktop_stop; kill "$bus_pid" 2>/dev/null' EXIT
  trap 'exit 0' TERM
  gnome_desktop_start 1280x720
  ln -s "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" "$runtime/wayland-0"
  ln -s "$XDG_RUNTIME_DIR/pipewire-0" "$runtime/pipewire-0"
  echo ready >"$ready"
  while kill -0 "$bus_pid" 2>/dev/null; do sleep 0.5; done
  exit 0
fi

host=$1 client=$2
skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) == 0 ]] || skip "needs root (the service starts the agent as another account)"
command -v setpriv >/dev/null || skip "no setpriv"
for tool in dbus-daemon dbus-run-session pipewire wireplumber mutter Xwayland; do
  command -v "$tool" >/dev/null || skip "not installed: $tool (scripts/deps.sh)"
done
account=nobody
uid=$(id -u "$account" 2>/dev/null) || skip "no account $account"
gid=$(id -g "$account")
as_account() { setpriv --reuid="$uid" --regid="$gid" --clear-groups "$@"; }
# A checkout in a folder only root may enter (/root, say) holds a program the account cannot run.
{ as_account test -x "$host" && as_account test -r "$0"; } ||
  skip "$account cannot run $host or read $0 (a folder above them is closed)"

source "$support/e2e.sh"
chmod 755 "$work"  # the account reaches its runtime folder below it
service_pid= desktop_pid=
e2e_track desktop_pid service_pid  # the service first, then the desktop
e2e_show_on_fail "service log" "$work/service.log"
# Agents a failed case left behind, by the ids the service logged.
e2e_at_exit 'for pid in $(agent_pids); do kill -KILL "$pid" 2>/dev/null; done'
agent_pids() {
  sed -n 's/.*agent started in session [0-9]* (pid \([0-9]*\)).*/\1/p' "$work/service.log" 2>/dev/null
}

root=$work/root
runtime=$root/run/user/$uid
mkdir -p "$runtime" "$root/etc/tolvi-host" "$work/home" "$work/account-home"
chown "$uid:$gid" "$runtime" "$work/account-home"
chmod 700 "$runtime"
: >"$work/desktop.ready"
chown "$uid:$gid" "$work/desktop.ready"
# Started without a shell function in between, so that $! is the desktop script itself (a
# function run in the background is a subshell: ending it left the desktop running), and in a
# process group of its own: whatever of the desktop outlives its own clean-up goes at exit.
setsid setpriv --reuid="$uid" --regid="$gid" --clear-groups env -i PATH="$PATH" \
  HOME="$work/account-home" LANG=C.UTF-8 \
  bash "$0" --desktop "$runtime" "$work/desktop.ready" >"$work/desktop.log" 2>&1 &
desktop_pid=$!
e2e_at_exit "kill -KILL -- -$desktop_pid 2>/dev/null"
for _ in $(seq 600); do [[ -s $work/desktop.ready ]] && break; sleep 0.1; done
grep -q '^ready' "$work/desktop.ready" 2>/dev/null ||
  skip "the desktop did not start as $account: $(cat "$work/desktop.ready" 2>/dev/null) $(tail -3 "$work/desktop.log")"

# An installed host: the machine's settings, root's alone, and the console's Wayland display.
export TOLVI_INSTALL_ROOT=$root HOME=$work/home
unset DISPLAY XAUTHORITY WAYLAND_DISPLAY XDG_SESSION_TYPE DBUS_SESSION_BUS_ADDRESS
port=$((20000 + RANDOM % 40000))
printf 'Installed dword 1\nPort dword %s\n' "$port" >"$root/etc/tolvi-host/settings"
chmod 600 "$root/etc/tolvi-host/settings"
echo "wayland-0 $account" >"$root/etc/tolvi-host/console"

"$host" --service >"$work/service.log" 2>&1 &
service_pid=$!
wait_for_text "$work/service.log" "agent started in session [0-9]* (pid [0-9]*) as $account on Wayland display wayland-0" 15
agent=$(agent_pids | head -1)
wait_for_text "$work/service.log" "listening on port $port" 30
password=$("$host" --show-password 2>/dev/null | tail -n 1)
[[ -n $password ]] || fail "no machine password"

# The agent runs as the account, which cannot read the secrets; they are nowhere in its
# command line or environment.
[[ $(stat -c %u "/proc/$agent") == "$uid" ]] || fail "the agent does not run as $account"
grep -q "^Groups:[[:space:]]*$gid\b" "/proc/$agent/status" ||
  fail "the agent's groups: $(grep Groups "/proc/$agent/status")"
for file in etc/tolvi-host/settings var/lib/tolvi-host/machine.key; do
  [[ $(stat -c '%u %a' "$root/$file") == "0 600" ]] || fail "$file is $(stat -c '%u %a' "$root/$file")"
done
as_account cat "$root/etc/tolvi-host/settings" >/dev/null 2>&1 && fail "$account can read the machine settings"
tr '\0' '\n' <"/proc/$agent/environ" >"$work/agent.env"
tr '\0' ' ' <"/proc/$agent/cmdline" >"$work/agent.cmd"
grep -q -- "$password" "$work/agent.env" "$work/agent.cmd" && fail "the password is visible"
for variable in "XDG_RUNTIME_DIR=$runtime" "DBUS_SESSION_BUS_ADDRESS=unix:path=$runtime/bus" \
  XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0 "USER=$account"; do
  grep -qx -- "$variable" "$work/agent.env" || fail "the agent's environment lacks $variable"
done

# The agent serves with the handed-over password (and refuses another), and its status
# reaches the machine's public settings through the service.
"$client" "127.0.0.1:$port" --password "not-$password" --ping 1 >"$work/wrong.out" 2>&1 &&
  fail "a wrong password was let in"
"$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 4 \
  --snapshot "$work/desktop.png" >"$work/client.out" 2>&1 &
client_pid=$!
wait_for_text "$root/etc/tolvi-host/public-settings" "127.0.0.1" 15
wait "$client_pid" || fail "client: $(cat "$work/client.out")"
grep -q "desktop 1280x720" "$work/client.out" || fail "no picture: $(cat "$work/client.out")"
for _ in $(seq 100); do grep -q "127.0.0.1" "$root/etc/tolvi-host/public-settings" || break; sleep 0.1; done
grep -q "127.0.0.1" "$root/etc/tolvi-host/public-settings" && fail "the status was not cleared"

# A new machine password (the old one removed: the service makes and stores another) reaches
# the running agent: the new one lets a client in, the old one no longer does.
sed -i '/^Password /d' "$root/etc/tolvi-host/settings"
new_password=$("$host" --show-password 2>/dev/null | tail -n 1)
[[ -n $new_password && $new_password != "$password" ]] || fail "no new password"
wait_for 15 '"$client" "127.0.0.1:$port" --password "$new_password" --ping 1' ||
  fail "the new password was not handed over"
"$client" "127.0.0.1:$port" --password "$password" --ping 1 >"$work/old.out" 2>&1 &&
  fail "the old password still lets a client in"
password=$new_password

# Ctrl+Alt+Del is pressed by the agent through the session's keyboard, not asked of the
# service (whose events the account cannot open).
"$client" "127.0.0.1:$port" --password "$password" --raw 86 "" >"$work/cad.out" 2>&1 ||
  fail "client: $(cat "$work/cad.out")"
wait_for_text "$work/service.log" "Ctrl+Alt+Del pressed on the desktop" 10

# Stopping the service ends the agent's channel: it quits by itself.
kill -TERM "$service_pid"
wait "$service_pid"
service_pid=
grep -q "agent: the service closed its channel; quitting" "$work/service.log" ||
  fail "the agent did not quit on its own"
kill -0 "$agent" 2>/dev/null && fail "the agent is still running"
echo PASS
