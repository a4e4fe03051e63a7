#!/usr/bin/env bash
# `make run`: starts the tray application (which runs the host) from the build folder $1 on the
# current X display or Wayland session, or on a private virtual desktop (Xvfb) with a tray host
# when there is neither, and prints how to connect.
set -euo pipefail
build=$(cd "$1" && pwd)
host="$build/src/app/tolvi-host"
client="$build/tools/client/tolvi-client"
viewer="$build/tools/viewer/tolvi-viewer"

# What this script starts is ended when it exits (tests/support/e2e.sh: by PID, private Xvfb).
source "$(dirname "$0")/../tests/support/e2e.sh"
pids=()
e2e_track pids

# A Wayland session is served as it is (GNOME through mutter; another one says it is not
# supported yet), never replaced by a private desktop.
if [[ -z "${WAYLAND_DISPLAY:-}" ]] && { [[ -z "${DISPLAY:-}" ]] || ! xdpyinfo >/dev/null 2>&1; }; then
  # A private desktop: started large so that the host can later grow it to a client's size,
  # then shrunk to 1920x1080; a clock keeps something visibly alive on it.
  e2e_start_xvfb 3840x2160x24
  # Xvfb offers only its start-up size as a mode: add 1920x1080 and switch to it.
  { xrandr --newmode 1920x1080 173.00 1920 2048 2248 2576 1080 1083 1088 1120 -hsync +vsync &&
    xrandr --addmode screen 1920x1080 && xrandr --output screen --mode 1920x1080; } \
    >/dev/null 2>&1 || echo "note: could not shrink the private desktop to 1920x1080"
  # More 60 Hz modes (CVT timings), so that a client asking for matching finds its fit.
  while read -r name timing; do
    { xrandr --newmode "$name" $timing -hsync +vsync && xrandr --addmode screen "$name"; } \
      >/dev/null 2>&1 || true
  done <<'MODES'
1280x720 74.50 1280 1344 1472 1664 720 723 728 748
1280x800 83.50 1280 1352 1480 1680 800 803 809 831
1680x1050 146.25 1680 1784 1960 2240 1050 1053 1059 1089
2048x1536 267.25 2048 2208 2424 2800 1536 1539 1543 1592
2560x1440 312.25 2560 2752 3024 3488 1440 1443 1448 1493
MODES
  xsetroot -solid '#204060' 2>/dev/null || true
  if command -v xclock >/dev/null; then
    xclock -update 1 -geometry 400x400+760+340 >/dev/null 2>&1 &
    pids+=($!)
  fi
  # A system tray in the top right corner for the icon (XEmbed: without a session bus there is
  # no StatusNotifierItem watcher, so the tray application uses this one).
  if command -v trayer >/dev/null; then
    env -u DBUS_SESSION_BUS_ADDRESS trayer --edge top --align right --widthtype request \
      --height 32 --transparent false >/dev/null 2>&1 &
    pids+=($!)
    unset DBUS_SESSION_BUS_ADDRESS
  else
    echo "note: trayer is missing (scripts/deps.sh installs it): the tray icon has no tray"
  fi
  echo "Private desktop: DISPLAY=$DISPLAY (1920x1080); the tray icon is in its top right corner"
  echo "(it has no screen here: see it with the viewer or the client's --snapshot below)."
fi

password=$("$host" --show-password 2>/dev/null | tail -n 1)
port=5960
settings="${XDG_CONFIG_HOME:-$HOME/.config}/tolvi-host/settings"
if [[ -r "$settings" ]] && grep -q '^Port dword ' "$settings"; then
  port=$(( $(awk '/^Port dword /{print $3}' "$settings") & 0xFFFF ))
fi

# Whatever holds the port would answer the commands below instead of this host.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "Port $port is already in use (by another program, or a Tolvi Host already running)."
  echo "Stop that first, or give this host another port: a line 'Port dword N' in $settings."
  exit 1
fi

cat <<MSG
Tolvi Host on DISPLAY=$DISPLAY, port $port, password: $password
Connect from a Tolvi client to this machine's address, port $port, or here with:
  $viewer 127.0.0.1:$port --password '$password'
or, for a few seconds of video, its figures and a picture of the desktop:
  $client 127.0.0.1:$port --password '$password' --stream 1920 1080 60 --seconds 5 --snapshot desktop.png
or, switching this desktop to fit a 1280x800 view until the client leaves:
  $client 127.0.0.1:$port --password '$password' --stream 1280 800 60 --match --hold 30
The tray icon's menu has the addresses, the password commands and Quit Tolvi Host.
Stop with Ctrl+C or the menu's Quit Tolvi Host.
MSG
# Ctrl+C reaches the host too (one process group): it winds down and exits 0, and so does this
# script, so make has no error to report for a stop the person asked for.
"$host" &
host_pid=$!
trap ':' INT
trap 'kill -TERM "$host_pid" 2>/dev/null || true' TERM
while :; do
  wait "$host_pid" && status=0 || status=$?
  kill -0 "$host_pid" 2>/dev/null || break
done
exit "$status"
