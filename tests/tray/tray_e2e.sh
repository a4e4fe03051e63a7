#!/usr/bin/env bash
# The tray application on a real desktop: a private Xvfb with an XEmbed tray host (trayer).
# Checks that the icon shows our picture pixel for pixel, turns green while tolvi-client is
# connected and back when it leaves, that the menu's "Copy Password" fills the clipboard, that
# "Set Password…" saves what is typed into the form (and a client then needs it), that a second
# copy only says it is already running, and that "--password-dialog" exits 0 when saved and 1
# when cancelled, that a host that cannot listen shows a red icon, and that SIGTERM winds the
# tray's session down (the matched display restored) and exits 0.
# Usage: tray_e2e.sh HOST_PROGRAM CLIENT_PROGRAM PICTURE_CHECK
set -u
host=$1 client=$2 check=$3
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "tray log" "$work/tray.log"

for tool in trayer xdotool xclip ffmpeg xwd; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/deps.sh installs it)"
done

e2e_start_xvfb 800x600x24
# A user of our own: settings, log and the single-instance lock stay in the work folder, and
# with no session bus there is no StatusNotifierItem watcher, so the icon goes to the XEmbed tray.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
unset DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP
mkdir -p "$XDG_CONFIG_HOME/tolvi-host" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
port=$(( 20000 + RANDOM % 40000 ))
printf 'Port dword %d\n' "$port" > "$XDG_CONFIG_HOME/tolvi-host/settings"

trayer --edge top --align right --widthtype request --height 32 --transparent false \
  >/dev/null 2>&1 &
e2e_track_pid $!
"$host" 2> "$work/tray.log" &
tray_pid=$!
e2e_track tray_pid

wait_for 10 'grep -q "listening on port $port" "$work/tray.log"' || fail "the tray's host did not listen"
icon_window() { xdotool search --name '^Tolvi Host$' | head -n 1; }
wait_for 10 'test -n "$(icon_window)"' || fail "no icon in the tray"
icon=$(icon_window)

# The icon window's pixels against our picture at the window's size: every opaque pixel of the
# picture must be on screen unchanged (the transparent ones show the tray's background).
icon_matches() {  # waiting|connected|error
  eval "$(xdotool getwindowgeometry --shell "$icon")"
  xwd -id "$icon" -silent > "$work/icon.xwd" &&
    ffmpeg -loglevel error -y -i "$work/icon.xwd" -f rawvideo -pix_fmt rgb24 "$work/icon.rgb" &&
    "$check" "$WIDTH" "$1" "$work/icon.rgb"
}
wait_for 5 'icon_matches waiting' || fail "the icon does not show the waiting picture"

password=$("$host" --show-password 2>/dev/null | tail -n 1)
"$client" "127.0.0.1:$port" --password "$password" --hold 4 > "$work/client.log" 2>&1 &
client_pid=$!
wait_for 5 'icon_matches connected' || fail "the icon did not turn green for a client"
wait "$client_pid"
wait_for 5 'icon_matches waiting' || fail "the icon did not go back when the client left"

# The menu: keyboard navigation skips the greyed lines, so Down reaches "Copy Password" first.
open_menu_item() {  # how many Downs
  eval "$(xdotool getwindowgeometry --shell "$icon")"
  xdotool mousemove $(( X + WIDTH / 2 )) $(( Y + HEIGHT / 2 )) click 1
  sleep 0.5
  for _ in $(seq "$1"); do xdotool key Down; done
  xdotool key Return
}
open_menu_item 1
wait_for 5 'test "$(timeout 2 xclip -o -selection clipboard)" = "$password"' ||
  fail "Copy Password did not put the password on the clipboard"

# The password form, driven with the mouse: the fields, then Save.
form_window() { xdotool search --name '^Set Tolvi Host Password$' | head -n 1; }
fill_form() {  # first second button(save|cancel)
  wait_for 5 'test -n "$(form_window)"' || fail "the password form did not open"
  local form; form=$(form_window)
  sleep 0.3
  eval "$(xdotool getwindowgeometry --shell "$form")"
  xdotool mousemove $(( X + 240 )) $(( Y + 30 )) click 1 type --delay 10 "$1"
  xdotool mousemove $(( X + 240 )) $(( Y + 74 )) click 1 type --delay 10 "$2"
  if [ "$3" = save ]; then xdotool key Return; else xdotool key Escape; fi
}
open_menu_item 3
fill_form "tray-secret-1" "tray-secret-1" save
wait_for 5 'grep -q "password changed" "$work/tray.log"' || fail "Set Password did not save"
"$client" "127.0.0.1:$port" --password "tray-secret-1" --ping 1 > "$work/client.log" 2>&1 ||
  fail "a client could not use the new password: $(cat "$work/client.log")"
"$client" "127.0.0.1:$port" --password "$password" --ping 1 > "$work/client.log" 2>&1
[ $? -eq 4 ] || fail "the old password still works"

# A second copy only says that the first runs (in a box, as it has no terminal, and on stderr).
"$host" 2> "$work/second.log" &
second=$!
wait_for 5 'test "$(xdotool search --name "^Tolvi Host\$" | wc -l)" -ge 2' ||
  fail "the second copy showed no message: $(cat "$work/second.log"; xdotool search --name . getwindowname %@)"
box=$(xdotool search --name '^Tolvi Host$' | grep -v "^$icon\$" | head -n 1)
xdotool windowfocus --sync "$box" key Return
wait "$second"
[ $? -eq 0 ] || fail "the second copy did not exit with 0: $(tail -n 40 "$work/second.log")"
grep -q "Tolvi Host is already running" "$work/second.log" ||
  fail "the second copy said nothing on stderr: $(cat "$work/second.log")"
kill -0 "$tray_pid" 2>/dev/null || fail "the first copy went away"

# "--password-dialog": 0 when saved, 1 when cancelled.
"$host" --password-dialog 2> "$work/dialog.log" &
dialog=$!
fill_form "dialog-secret" "dialog-secret" save
wait "$dialog"
[ $? -eq 0 ] || fail "--password-dialog did not exit with 0 after saving"
"$client" "127.0.0.1:$port" --password "dialog-secret" --ping 1 > "$work/client.log" 2>&1 ||
  fail "a client could not use the dialog's password"
"$host" --password-dialog 2> "$work/dialog.log" &
dialog=$!
fill_form "ignored-1" "ignored-1" cancel
wait "$dialog"
[ $? -eq 1 ] || fail "--password-dialog did not exit with 1 when cancelled"
# Another tray (its own runtime folder, so not the same instance) on the same port: its host
# cannot listen, and its icon turns red until the port is free (checked at the end).
XDG_RUNTIME_DIR="$work/run2" && mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
"$host" 2> "$work/tray2.log" &
e2e_track_pid $!
other_icon() { xdotool search --name '^Tolvi Host$' | grep -v "^$first_icon\$" | head -n 1; }
first_icon=$icon
wait_for 10 'test -n "$(other_icon)"' || fail "the second tray shows no icon"
icon=$(other_icon)
wait_for 5 'icon_matches error' || fail "the icon of a host that cannot listen is not red"

# A logout's SIGTERM while a client has the display matched: the session winds down, the mode
# comes back, and the tray exits 0.
xrandr --newmode 640x480 23.75 640 664 720 800 480 483 487 500 -hsync +vsync &&
  xrandr --addmode screen 640x480 || fail "could not add a 640x480 mode"
screen_size() { xrandr | sed -n 's/.*current \([0-9]*\) x \([0-9]*\).*/\1x\2/p'; }
"$client" "127.0.0.1:$port" --password "dialog-secret" --stream 640 480 30 --match --seconds 20 \
  --no-decode > "$work/client.log" 2>&1 &
e2e_track_pid $!
wait_for 10 'test "$(screen_size)" = 640x480' || fail "the display was not matched: $(screen_size)"
kill -TERM "$tray_pid"
wait "$tray_pid"
rc=$?
[ "$rc" -eq 0 ] || fail "the tray ended with $rc on SIGTERM"
[ "$(screen_size)" = 800x600 ] || fail "the display stayed at $(screen_size)"
grep -q "stopping on signal 15" "$work/tray.log" || fail "no line about the stop"
grep -q "session ended" "$work/tray.log" || fail "the session did not wind down"

# The port is free now: the other tray's host listens on it within a few seconds and its icon
# turns from red to the waiting picture.
wait_for 10 'grep -q "listening on port $port" "$work/tray2.log"' ||
  fail "the other tray did not listen once the port was free: $(cat "$work/tray2.log")"
wait_for 5 'icon_matches waiting' || fail "the other tray's icon stayed red"
echo "PASS"
