#!/usr/bin/env bash
# The tray on a machine where the service is installed: a temporary install root with the
# machine settings ("Installed" 1), an enabled unit and the console file naming a private Xvfb,
# `tolvi-host --service` serving that display through its agent, and a person's tray on the same
# display. The tray serves nothing itself (the agent alone listens on the port) and its icon
# follows the agent's status: waiting, green while a client is connected, red once the service
# is stopped.
# Usage: tray_service_e2e.sh HOST_PROGRAM CLIENT_PROGRAM PICTURE_CHECK
set -u
host=$1 client=$2 check=$3
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "tray log" "$work/tray.log"
e2e_show_on_fail "service log" "$work/service.log"
for tool in trayer xdotool ffmpeg xwd; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps.sh installs it)"
done
e2e_start_xvfb 800x600x24
pids=() service_pid=
e2e_track pids service_pid
e2e_end_agents_of "$work/service.log"

# The installed machine, as --install leaves it (without the copy of the program).
export TOLVI_INSTALL_ROOT="$work/root"
port=$(( 20000 + RANDOM % 40000 ))
mkdir -p "$TOLVI_INSTALL_ROOT/etc/tolvi-host" \
         "$TOLVI_INSTALL_ROOT/etc/systemd/system/multi-user.target.wants"
printf 'Installed dword 1\nPort dword %d\n' "$port" > "$TOLVI_INSTALL_ROOT/etc/tolvi-host/settings"
echo ":$display_number" > "$TOLVI_INSTALL_ROOT/etc/tolvi-host/console"
printf '[Unit]\n' > "$TOLVI_INSTALL_ROOT/etc/systemd/system/tolvi-host.service"
ln -s /etc/systemd/system/tolvi-host.service \
  "$TOLVI_INSTALL_ROOT/etc/systemd/system/multi-user.target.wants/tolvi-host.service"

# A person of our own: settings, log and the single-instance lock stay in the work folder;
# without a session bus the icon goes to the XEmbed tray.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
unset DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP DISPLAY XAUTHORITY
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

"$host" --service > "$work/service.log" 2>&1 &
service_pid=$!
wait_for 20 'grep -q "listening on port $port" "$work/service.log"' ||
  fail "the service's agent did not listen"

export DISPLAY=":$display_number"
trayer --edge top --align right --widthtype request --height 32 --transparent false \
  >/dev/null 2>&1 &
pids+=($!)
"$host" 2> "$work/tray.log" &
pids+=($!)
icon_window() { xdotool search --name '^Tolvi Host$' | head -n 1; }
wait_for 10 'test -n "$(icon_window)"' || fail "no icon in the tray"
icon=$(icon_window)
icon_matches() {  # waiting|connected|error
  eval "$(xdotool getwindowgeometry --shell "$icon")"
  xwd -id "$icon" -silent > "$work/icon.xwd" &&
    ffmpeg -loglevel error -y -i "$work/icon.xwd" -f rawvideo -pix_fmt rgb24 "$work/icon.rgb" &&
    "$check" "$WIDTH" "$1" "$work/icon.rgb"
}
wait_for 5 'icon_matches waiting' || fail "the icon does not show a waiting service"
# A tray that ran a host of its own would have said so by now (or turned red: port in use).
sleep 1
grep -q "listening on port\|is in use" "$work/tray.log" && fail "the tray runs a host of its own"

password=$("$host" --show-password 2>/dev/null | tail -n 1)
"$client" "127.0.0.1:$port" --password "$password" --hold 4 > "$work/client.log" 2>&1 &
client_pid=$!
wait_for 6 'icon_matches connected' ||
  fail "the icon did not turn green for the agent's client: $(cat "$work/client.log")"
wait "$client_pid" || fail "the client: $(cat "$work/client.log")"
wait_for 6 'icon_matches waiting' || fail "the icon did not go back when the client left"

kill -TERM "$service_pid"
wait "$service_pid"
service_pid=
wait_for 6 'icon_matches error' || fail "the icon of a stopped service is not red"
grep -q "listening on port" "$work/tray.log" && fail "the tray started a host when the service went"
echo "PASS"
