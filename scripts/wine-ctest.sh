#!/usr/bin/env bash
# Runs the Windows build's CTest suites under Wine: `wine-ctest.sh BUILD [CTEST ARGS...]`. The
# build's headless prefix (<build>/wineprefix, the one CMake gives its tests) is booted and its
# wineserver kept up for the whole run (a server started by each test would hold CTest's output
# pipes open and stall it), then ended: scripts/wine-run.sh serve.
set -uo pipefail
runner="$(cd "$(dirname "$0")" && pwd)/wine-run.sh"
build=$(cd "$1" && pwd); shift
cd "$build" && exec "$runner" serve "$build/wineprefix" ctest "$@"
