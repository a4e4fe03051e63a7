#!/usr/bin/env bash
# One end-to-end case: a host process on a free port, driven by tolvi-client.
# Usage: host_e2e.sh CASE HOST_PROGRAM CLIENT_PROGRAM (HOST_PROGRAM takes --test-host PORT PW)
set -u
case_name=$1 host_program=$2 client=$3
password=e2e-secret
e2e_name=$case_name
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "host log" "$work/host.log"

# A serving session captures the desktop, so the host needs an X display: a private Xvfb.
e2e_start_xvfb
host_pid=
e2e_track host_pid

# Starts the host on a random free port; sets port and host_pid.
start_host() { e2e_start_host "$host_program" "$password" "$work/host.log"; }

expect_rc() {  # expected actual what
  [ "$1" = "$2" ] || fail "$3: exit code $2, expected $1"
}
expect_text() {  # file pattern
  grep -q -- "$2" "$1" || fail "'$2' not found in $(basename "$1"): $(cat "$1")"
}

case "$case_name" in
  good_password)
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --ping 2 > "$work/out" 2>&1
    expect_rc 0 $? "client"
    expect_text "$work/out" "^authenticated with "
    expect_text "$work/out" "^pong 1:"
    wait_for_text "$work/host.log" "127.0.0.1: session ended" 5
    # IPv6 loopback reaches the same dual-stack socket.
    "$client" "[::1]:$port" --password "$password" --ping 1 > "$work/out6" 2>&1
    expect_rc 0 $? "IPv6 client"
    expect_text "$work/host.log" "127.0.0.1: authenticated (encrypted)"
    expect_text "$work/host.log" "::1: authenticated (encrypted)"
    ;;
  wrong_password)
    start_host
    "$client" "127.0.0.1:$port" --password "not-$password" > "$work/out" 2>&1
    expect_rc 4 $? "client"
    expect_text "$work/out" "^wrong password"
    expect_text "$work/host.log" "127.0.0.1: authentication failed"
    # The host still serves the right password afterwards.
    "$client" "127.0.0.1:$port" --password "$password" --ping 1 > "$work/out2" 2>&1
    expect_rc 0 $? "client with the right password"
    ;;
  ping_sizes)
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --ping 1 > "$work/out4" 2>&1
    expect_rc 0 $? "4-byte ping"
    expect_text "$work/out4" "<- Pong (0x41) 4 bytes, frame 25 bytes"
    "$client" "127.0.0.1:$port" --password "$password" --ping 1 --ping-size 0 > "$work/out0" 2>&1
    expect_rc 0 $? "empty ping"
    expect_text "$work/out0" "<- Pong (0x41) 0 bytes, frame 21 bytes"
    "$client" "127.0.0.1:$port" --password "$password" --ping 1 --ping-size 100000 \
      > "$work/outbig" 2>&1
    expect_rc 0 $? "100000-byte ping"
    expect_text "$work/outbig" "<- Pong (0x41) 100000 bytes, frame 100021 bytes"
    ;;
  displacement)
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --hold 30 > "$work/first" 2>&1 &
    first_pid=$!
    wait_for_text "$work/first" "^authenticated" 5
    "$client" "127.0.0.1:$port" --password "$password" --ping 1 --hold 1 > "$work/second" 2>&1
    expect_rc 0 $? "second client"
    wait "$first_pid"
    expect_rc 6 $? "displaced client"
    expect_text "$work/first" "the host closed the connection"
    # The first session ended before the second one was served.
    first_end=$(grep -n "session ended" "$work/host.log" | head -1 | cut -d: -f1)
    [ -n "$first_end" ] || fail "no session ended line"
    [ "$(grep -c 'authenticated (encrypted)' "$work/host.log")" = 2 ] || fail "two sessions expected"
    ;;
  silent_client)
    start_host
    "$client" "127.0.0.1:$port" --stall --timeout 30 > "$work/out" 2>&1
    expect_rc 0 $? "stalled client"
    seconds=$(sed -n 's/^the host closed the connection after \([0-9]*\)\..*/\1/p' "$work/out")
    [ -n "$seconds" ] && [ "$seconds" -ge 14 ] && [ "$seconds" -le 17 ] ||
      fail "dropped after ${seconds:-?} s, expected about 15: $(cat "$work/out")"
    expect_text "$work/host.log" "127.0.0.1: client did not start key exchange (old Tolvi version?)"
    ;;
  unreachable)
    start_host
    kill "$host_pid"; wait "$host_pid" 2>/dev/null; host_pid=
    "$client" "127.0.0.1:$port" --password "$password" > "$work/out" 2>&1
    expect_rc 3 $? "client"
    expect_text "$work/out" "^host not reachable"
    ;;
  stop_signal)
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --hold 30 > "$work/held" 2>&1 &
    client_pid=$!
    wait_for_text "$work/held" "^authenticated" 5
    wait_for_text "$work/host.log" "127.0.0.1: authenticated (encrypted)" 5
    kill -TERM "$host_pid"
    wait "$host_pid"
    expect_rc 0 $? "host after SIGTERM"
    host_pid=
    expect_text "$work/host.log" "stopping on signal 15"
    expect_text "$work/host.log" "127.0.0.1: session ended"
    wait "$client_pid"
    expect_text "$work/held" "the host closed the connection"
    # The host closed first, so its side of that connection waits in TIME-WAIT; a host started
    # again at once must still get the port.
    if command -v ss >/dev/null; then
      ss -tan state time-wait "( sport = :$port )" | grep -q ":$port" ||
        fail "no TIME-WAIT connection on port $port"
    fi
    mv "$work/host.log" "$work/first.log"
    e2e_start_host "$host_program" "$password" "$work/host.log" "$port"
    # A stop with no session: at once, still exit 0.
    kill -TERM "$host_pid"
    wait "$host_pid"
    expect_rc 0 $? "idle host after SIGTERM"
    host_pid=
    expect_text "$work/host.log" "stopping on signal 15"
    ;;
  *)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
