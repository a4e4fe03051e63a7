#!/usr/bin/env bash
# Runs a command with DISPLAY naming a private Xvfb of its own, on a display number the server
# picks itself (so parallel tests never share one), kept up between clients (-noreset).
exec {display_fd}<> <(:)
Xvfb -displayfd "$display_fd" -screen 0 640x480x24 -noreset -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
if ! read -r -t 10 -u "$display_fd" number; then
  kill "$xvfb" 2>/dev/null
  echo "with_xvfb: Xvfb did not start" >&2
  exit 1
fi
DISPLAY=":$number" "$@"
status=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit "$status"
