#!/usr/bin/env bash
# Runs a Windows test program under Wine on a private Xvfb, for suites that create windows:
# Wine needs an X display for them. The prefix is one of its own (made on first use), because
# the desktop of a prefix stays on the display its wineserver started with, and the shared
# prefix's server runs without one; its server is ended when the program has.
# Usage: wine_on_xvfb.sh WINEPREFIX PROGRAM [ARGS...]
set -u
prefix=$1; shift
exec {display_fd}<> <(:)
Xvfb -displayfd "$display_fd" -screen 0 1024x768x24 -noreset -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
cleanup() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT
read -r -t 10 -u "$display_fd" display_number || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$display_number" WINEPREFIX="$prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot </dev/null >/dev/null 2>&1
wine "$@" </dev/null
