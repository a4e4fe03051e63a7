#!/usr/bin/env bash
# The one way Windows programs run under Wine here: in a given prefix (made on first use), with
# no X display or on a private Xvfb. CMake gives each build folder's tests their prefixes
# (<build>/wine-run.sh and wine-run-x.sh call this with them); scripts/wine-ctest.sh runs a
# build's suites inside `serve`.
#   wine-run.sh run PREFIX PROGRAM [ARGS...]       headless (DISPLAY unset)
#   wine-run.sh run-xvfb PREFIX PROGRAM [ARGS...]  on a private Xvfb of its own, in a prefix
#                                                  booted on it; that prefix's wineserver and
#                                                  the Xvfb are ended when PROGRAM has
#   wine-run.sh start-xvfb PREFIX                  a private Xvfb kept up for PREFIX, which is
#                                                  booted on it (a CTest fixture's set-up)...
#   wine-run.sh run-on PREFIX FALLBACK PROGRAM...  ...where PROGRAM then runs; while no such
#                                                  Xvfb is up (listing a suite's tests at build
#                                                  time), headless in the prefix FALLBACK
#   wine-run.sh stop-xvfb PREFIX                   ends PREFIX's wineserver and its Xvfb
#   wine-run.sh serve PREFIX COMMAND [ARGS...]     runs COMMAND (CTest) while PREFIX's
#                                                  wineserver is kept up, then ends that one
# A prefix keeps the display its wineserver started with (and Direct3D needs one), so a prefix
# is either headless or used on its Xvfb, never both. Wine's helper processes would hold a
# caller's inherited output open (CTest then waits on them): what outlives a program is
# started with its output detached.
set -uo pipefail
support="$(cd "$(dirname "$0")/../tests/support" && pwd)"

use_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}
end_wineserver() {
  wineserver -k </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
}
boot() {
  wineserver -p </dev/null >/dev/null 2>&1
  wine wineboot </dev/null >/dev/null 2>&1
}
display_file() { echo "$1.xvfb-display"; }
pid_file() { echo "$1.xvfb-pid"; }

stop_xvfb() {
  local prefix=$1
  if [[ -f $(display_file "$prefix") ]]; then
    use_prefix "$prefix"
    end_wineserver
  fi
  if [[ -f $(pid_file "$prefix") ]]; then
    kill "$(cat "$(pid_file "$prefix")")" 2>/dev/null
  fi
  rm -f "$(display_file "$prefix")" "$(pid_file "$prefix")"
}

action=${1:-}
[[ $# -ge 2 ]] || { echo "usage: see the head of $0" >&2; exit 2; }
prefix=$2
shift 2
case $action in
  run)
    use_prefix "$prefix"
    unset DISPLAY
    exec wine "$@"
    ;;
  run-on)
    if [[ -f $(display_file "$prefix") ]]; then
      use_prefix "$prefix"
      DISPLAY=":$(cat "$(display_file "$prefix")")"
      export DISPLAY
      shift
      exec wine "$@"
    fi
    exec "$0" run "$@"
    ;;
  run-xvfb)
    source "$support/e2e.sh"
    e2e_launch_xvfb 1024x768x24 || fail "Xvfb did not start"
    use_prefix "$prefix"
    export DISPLAY=":$display_number"
    e2e_at_exit 'end_wineserver; e2e_end_process "$xvfb_pid"'
    boot
    wine "$@" </dev/null
    ;;
  start-xvfb)
    stop_xvfb "$prefix"
    source "$support/e2e.sh"
    e2e_launch_xvfb 1280x1024x24 || { echo "Xvfb did not start" >&2; exit 1; }
    echo "$xvfb_pid" > "$(pid_file "$prefix")"
    echo "$display_number" > "$(display_file "$prefix")"
    use_prefix "$prefix"
    export DISPLAY=":$display_number"
    boot
    ;;
  stop-xvfb)
    stop_xvfb "$prefix"
    ;;
  serve)
    use_prefix "$prefix"
    unset DISPLAY
    boot
    "$@"
    status=$?
    end_wineserver
    exit $status
    ;;
  *)
    echo "usage: see the head of $0" >&2
    exit 2
    ;;
esac
