#!/usr/bin/env bash
# From an action to its picture on a still 1080p desktop: a private Xvfb, a test host on it,
# interactive_painter as the program clicked and typed into, and interactive_bench as the
# client. Figures only.
# Usage: interactive_bench.sh HOST_PROGRAM PAINTER_PROGRAM BENCH_PROGRAM [SAMPLES]
set -u
host_program=$1 painter=$2 bench=$3 samples=${4:-200}
password=interactive-bench-secret
e2e_name="interactive bench"
source "$(dirname "$0")/../../tests/support/e2e.sh"
e2e_start_xvfb 1920x1080x24
"$painter" > "$work/painter.log" 2>&1 &
painter_pid=$!
e2e_track painter_pid
wait_for_text "$work/painter.log" ready 10
HOME=$work e2e_start_host "$host_program" "$password" "$work/host.log"
echo "load: $(uptime)"
"$bench" "$port" "$password" "$work/painter.log" "$samples"
grep "stream " "$work/host.log" | tail -n 1
