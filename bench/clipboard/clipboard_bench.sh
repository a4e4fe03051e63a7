#!/usr/bin/env bash
# Clipboard: 1 MiB of text from tolvi-client through the host onto its X desktop, read there
# by another X program (xclip, INCR transfer), against a baseline of the same client doing
# only its connection and handshake with one Ping. Prints figures; asserts nothing.
# Usage: clipboard_bench.sh HOST_PROGRAM CLIENT_PROGRAM [RUNS]
set -u
host_program=$1 client=$2 runs=${3:-5}
password=bench-secret
bytes=1048575
tick=$(getconf CLK_TCK)
e2e_name="clipboard bench"
source "$(dirname "$0")/../../tests/support/e2e.sh"
e2e_show_on_fail "host log" "$work/host.log"
command -v xclip >/dev/null || fail "xclip is not installed (scripts/deps.sh installs it)"

cpu_ms() { awk -v t="$tick" '{ printf "%d", ($14 + $15) * 1000 / t }' "/proc/$1/stat"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

e2e_start_xvfb
e2e_start_host "$host_program" "$password" "$work/host.log"
client_pid=
e2e_track client_pid

head -c "$bytes" /dev/urandom | base64 -w 0 | head -c "$bytes" > "$work/text"

# Baseline: connect, handshake, one Ping.
start=$(now_ms)
for _ in $(seq "$runs"); do "$client" "127.0.0.1:$port" --password "$password" --ping 1 >/dev/null; done
baseline=$(( ($(now_ms) - start) / runs ))

# Each run is its own session. A text that arrives before the session's clipboard watcher
# runs is dropped (by design); such a run is counted and repeated.
times=() cpus=() dropped=0
while [ ${#times[@]} -lt "$runs" ] && [ $dropped -lt 20 ]; do
  cpu0=$(cpu_ms "$host_pid") start=$(now_ms)
  "$client" "127.0.0.1:$port" --password "$password" --clipboard-set-file "$work/text" \
    --hold 3 >/dev/null &
  client_pid=$!
  arrived=
  while kill -0 "$client_pid" 2>/dev/null; do
    if [ "$(xclip -selection clipboard -o 2>/dev/null | wc -c)" = "$bytes" ]; then
      arrived=$(( $(now_ms) - start )) cpu1=$(cpu_ms "$host_pid")
      break
    fi
    sleep 0.005
  done
  kill "$client_pid" 2>/dev/null; wait "$client_pid" 2>/dev/null; client_pid=
  if [ -n "$arrived" ]; then times+=("$arrived"); cpus+=($(( cpu1 - cpu0 ))); else dropped=$(( dropped + 1 )); fi
done
[ ${#times[@]} -gt 0 ] || fail "the text never arrived"
sorted=$(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
echo "clipboard 1 MiB client -> host -> xclip: ${#times[@]} runs, ms: $sorted(median $median)"
echo "  baseline connect + handshake + Ping: $baseline ms; clipboard median minus baseline: $(( median - baseline )) ms"
echo "  host CPU per run (ms, includes the session's set-up and xclip's polling reads): ${cpus[*]}"
echo "  runs repeated because the text came before the session's watcher: $dropped"
