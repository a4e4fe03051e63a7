#!/usr/bin/env bash
# The tray application where the desktop has a StatusNotifierItem watcher (a fake one of ours
# on a private session bus): the icon registers as an item, its pictures are files of ours that
# match our drawing, the picture follows a client's connection, and the menu is exported with
# the tray's entries.
# Usage: tray_sni_e2e.sh HOST_PROGRAM CLIENT_PROGRAM PICTURE_CHECK FAKE_WATCHER
set -u
host=$1 client=$2 check=$3 watcher=$4
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "tray log" "$work/tray.log"
for tool in dbus-daemon gdbus ffmpeg; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps.sh installs it)"
done

e2e_start_xvfb 640x480x24
exec {bus_fd}<> <(:)
dbus-daemon --session --nofork --nopidfile --print-address="$bus_fd" >/dev/null 2>&1 &
e2e_track_pid $!
read -r -t 10 -u "$bus_fd" DBUS_SESSION_BUS_ADDRESS || fail "the session bus did not start"
export DBUS_SESSION_BUS_ADDRESS
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_CONFIG_HOME/tolvi-host" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
port=$(( 20000 + RANDOM % 40000 ))
printf 'Port dword %d\n' "$port" > "$XDG_CONFIG_HOME/tolvi-host/settings"

"$watcher" > "$work/watcher.log" 2>&1 &
e2e_track_pid $!
has_watcher() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.StatusNotifierWatcher | grep -q true
}
wait_for 10 has_watcher || fail "the fake watcher did not take its name"

"$host" 2> "$work/tray.log" &
e2e_track_pid $!
wait_for 10 'grep -q "listening on port $port" "$work/tray.log"' || fail "the tray's host did not listen"
wait_for 10 'grep -q "^registered " "$work/watcher.log"' || fail "no item registered with the watcher"
read -r _ item path < <(grep "^registered " "$work/watcher.log" | head -n 1)

property() {  # name -> the value's text
  gdbus call --session --dest "$item" --object-path "$path" \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$1" |
    sed -E "s/^\(<(objectpath )?'(.*)'>,\)$/\2/"
}
# The picture the item names, at the 22-pixel size a panel typically shows, against our drawing.
icon_matches() {  # waiting|connected|error
  local file
  file="$(property IconThemePath)/hicolor/22x22/apps/$(property IconName).png"
  ffmpeg -loglevel error -y -i "$file" -f rawvideo -pix_fmt rgb24 "$work/icon.rgb" &&
    "$check" 22 "$1" "$work/icon.rgb"
}
wait_for 5 'icon_matches waiting' || fail "the item's picture is not the waiting picture"
[ "$(property Title)" = "Tolvi Host — waiting for a client" ] ||
  fail "the item's title is '$(property Title)'"

password=$("$host" --show-password 2>/dev/null | tail -n 1)
"$client" "127.0.0.1:$port" --password "$password" --hold 3 > "$work/client.log" 2>&1 &
client_pid=$!
wait_for 5 'icon_matches connected' || fail "the item's picture did not turn green"
wait "$client_pid"
wait_for 5 'icon_matches waiting' || fail "the item's picture did not go back"

# The exported menu carries the tray's entries.
menu=$(property Menu)
gdbus call --session --dest "$item" --object-path "$menu" \
  --method com.canonical.dbusmenu.GetLayout -- 0 -1 "@as []" > "$work/menu.txt" 2>&1 ||
  fail "the menu could not be read: $(cat "$work/menu.txt")"
for entry in "port $port" "Copy Password" "Set Password…" "Quit Tolvi Host"; do
  grep -q -- "$entry" "$work/menu.txt" || fail "the menu has no '$entry': $(cat "$work/menu.txt")"
done
# The menu is refreshed every 5 s and on each status change: its items stay the same objects
# (the same ids), so a menu the person has open is never torn down under them.
ids() { grep -o '<([0-9]*, {' "$1" | tr -d '\n'; }
client_pid=
"$client" "127.0.0.1:$port" --password "$password" --hold 2 > "$work/client.log" 2>&1 &
client_pid=$!
sleep 6
wait "$client_pid"
gdbus call --session --dest "$item" --object-path "$menu" \
  --method com.canonical.dbusmenu.GetLayout -- 0 -1 "@as []" > "$work/menu2.txt" 2>&1 ||
  fail "the menu could not be read again: $(cat "$work/menu2.txt")"
[ -n "$(ids "$work/menu.txt")" ] || fail "no item ids in: $(cat "$work/menu.txt")"
[ "$(ids "$work/menu.txt")" = "$(ids "$work/menu2.txt")" ] ||
  fail "the menu was built anew: $(cat "$work/menu.txt") -> $(cat "$work/menu2.txt")"
echo "PASS"
