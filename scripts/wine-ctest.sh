#!/usr/bin/env bash
# Runs the Windows build's CTest suites under Wine in that build's private prefix. Wine's
# helper processes would inherit CTest's output pipes and stall each test, so the prefix's
# wineserver is started and the prefix booted first, and that wineserver (only that one) is
# ended afterwards.
set -uo pipefail
build=$(cd "$1" && pwd); shift
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1
(cd "$build" && ctest "$@")
status=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
exit $status
