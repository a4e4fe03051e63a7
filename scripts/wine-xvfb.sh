#!/usr/bin/env bash
# A private X display and a Wine prefix booted on it, for the Windows tests that need graphics
# (Wine's Direct3D runs only with an X display, and a prefix booted without one stays without).
#   wine-xvfb.sh start <build dir>   starts Xvfb on a free display and boots <build>/wineprefix-x
#   wine-xvfb.sh stop <build dir>    ends that prefix's wineserver and that Xvfb
# The display number is left in <build>/xvfb.display for cmake/wine-run-x.sh. Everything started
# here has its output detached, so CTest does not wait on inherited pipes.
set -uo pipefail
action=$1
build=$(cd "$2" && pwd)
export WINEPREFIX="$build/wineprefix-x" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
display_file="$build/xvfb.display"
pid_file="$build/xvfb.pid"

stop() {
  if [[ -f $display_file ]]; then
    wineserver -k </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
  fi
  if [[ -f $pid_file ]]; then
    kill "$(cat "$pid_file")" 2>/dev/null
  fi
  rm -f "$display_file" "$pid_file"
}

case $action in
  start)
    stop
    ready=$(mktemp)
    setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -noreset -nolisten tcp 3>"$ready" \
      </dev/null >/dev/null 2>&1 &
    echo $! >"$pid_file"
    for _ in $(seq 100); do
      [[ -s $ready ]] && break
      sleep 0.1
    done
    if [[ ! -s $ready ]]; then
      echo "Xvfb did not start" >&2
      rm -f "$ready"
      stop
      exit 1
    fi
    tr -d '\n' <"$ready" >"$display_file"
    rm -f "$ready"
    export DISPLAY=":$(cat "$display_file")"
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot </dev/null >/dev/null 2>&1
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start|stop <build dir>" >&2
    exit 2
    ;;
esac
