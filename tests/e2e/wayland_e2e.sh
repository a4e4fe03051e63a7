#!/usr/bin/env bash
# End to end on a headless GNOME desktop (tests/support/gnome_desktop.sh): tolvi-host serves it
# through mutter's remote-desktop interfaces, tolvi-client drives it, X11 programs on its
# Xwayland paint and watch.
# Usage: wayland_e2e.sh CASE HOST_PROGRAM CLIENT_PROGRAM PAINTER_PROGRAM INPUT_WATCHER_PROGRAM
set -u
source "$(dirname "$0")/../support/gnome_desktop.sh"
gnome_desktop_enter "$0" "$@"
case_name=$1 host_program=$2 client=$3 painter=$4 input_watcher=$5
password=wayland-e2e-secret
e2e_name=$case_name
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "host log" "$work/host.log"
# The script's own processes end first (last started first), then the desktop.
pids=()
e2e_track pids
e2e_at_exit gnome_desktop_stop

# Starts the host on a random free port; sets port and host_pid.
start_host() { e2e_start_host "$host_program" "$password" "$work/host.log"; }

# The colour of pixel X,Y of a PNG as "R G B".
pixel_of() {  # file x y
  ffmpeg -v error -i "$1" -vf "crop=1:1:$2:$3" -f rawvideo -pix_fmt rgb24 - | od -An -tu1 |
    tr -s ' ' | sed 's/^ //'
}

# True when "R G B" is within 12 of each wanted component (H.264's colour conversion).
near() {  # "R G B" r g b
  local got=($1)
  [[ ${#got[@]} -eq 3 ]] || return 1
  local i want=($2 $3 $4)
  for i in 0 1 2; do
    local d=$((got[i] - want[i]))
    ((d < 0)) && d=$((-d))
    ((d <= 12)) || return 1
  done
}

# The input watcher's window over the whole desktop, shown. Mutter does not always give a new
# window the keyboard: the key tests click into it first, as a person would.
start_watcher() {
  "$input_watcher" >"$work/watch.log" 2>&1 &
  pids+=($!)
  wait_for_text "$work/watch.log" "^ready" 10
}
focus_click=(--move 0.5 0.5 --button 0 down --button 0 up)

# The keys the watcher saw, without the host's priming key (it has no symbol, "?"), which
# sometimes arrives.
keys_seen() { grep -E '^(press|release) ' "$work/watch.log" | grep -v ' ?$'; }

case "$case_name" in
  unsupported_desktop)
    # A Wayland session whose bus has no mutter: one clear line, no picture, the host lives on.
    export XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-none
    unset DISPLAY
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 640 480 30 --seconds 2 \
      >"$work/out" 2>&1
    wait_for_text "$work/host.log" "wayland: this Wayland desktop has no org.gnome.Mutter.RemoteDesktop" 5
    wait_for_text "$work/host.log" "GNOME on Wayland or any X11 desktop is" 1
    [[ $(grep -c "wayland: this Wayland desktop" "$work/host.log") -eq 1 ]] ||
      fail "the unsupported desktop was logged more than once"
    kill -0 "$host_pid" || fail "the host ended"
    ;;
  picture)
    gnome_desktop_start
    "$painter" fill 3366cc >"$work/painter.log" 2>&1 &
    pids+=($!)
    sleep 1
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 3 \
      --snapshot "$work/desktop.png" >"$work/out" 2>&1 || fail "client: $(cat "$work/out")"
    grep -q "desktop 1280x720" "$work/out" || fail "not the monitor's size: $(cat "$work/out")"
    for point in "10 10" "640 360" "1270 710" "5 700"; do
      colour=$(pixel_of "$work/desktop.png" $point)
      near "$colour" 51 102 204 || fail "pixel $point is $colour, expected 51 102 204"
    done
    grep -q "capture: first frame" "$work/host.log" || fail "no first frame"
    ;;
  typing)
    # The session's very first key (Shift) arrives too: mutter loses a new keyboard's first
    # keys unless the host primes it.
    gnome_desktop_start
    start_watcher
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 2 \
      --no-decode "${focus_click[@]}" --type 'Hello, World!' >"$work/out" 2>&1 || fail "client: $(cat "$work/out")"
    wait_for_text "$work/watch.log" "release 1" 5
    presses=$(keys_seen | grep '^press' | cut -d' ' -f2 | tr '\n' ' ')
    [[ $presses == "Shift_L h e l l o comma space Shift_L w o r l d Shift_L 1 " ]] ||
      fail "typed keys arrived as: $presses"
    ;;
  pointer)
    gnome_desktop_start
    start_watcher
    start_host
    # Coordinates are 0..1 over the streamed monitor: 0.5 is pixel 640 (of 0..1279), 0.25 and
    # 0.75 are 320 and 539. One coarse notch down is X button 5, up button 4.
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 2 \
      --no-decode --move 0.5 0.5 --button 0 down --button 0 up --move 0.25 0.75 \
      --button 1 down --button 1 up --wheel 0 -3 --wheel 0 3 --button 3 down --button 3 up \
      >"$work/out" 2>&1 || fail "client: $(cat "$work/out")"
    wait_for_text "$work/watch.log" "button 8 up" 5
    got=$(grep '^button' "$work/watch.log" | tr '\n' '|')
    [[ $got == "button 1 down 640 360|button 1 up 640 360|button 3 down 320 539|button 3 up 320 539|button 5 down 320 539|button 5 up 320 539|button 4 down 320 539|button 4 up 320 539|button 8 down 320 539|button 8 up 320 539|" ]] ||
      fail "pointer events arrived as: $got"
    ;;
  held_keys)
    # A client killed while it holds Shift and A: the host releases both, A first.
    gnome_desktop_start
    start_watcher
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 30 \
      --no-decode "${focus_click[@]}" --key 225 down --key 4 down >"$work/out" 2>&1 &
    client_pid=$!
    wait_for_text "$work/watch.log" "press a" 10
    kill -9 "$client_pid"
    wait "$client_pid" 2>/dev/null
    wait_for_text "$work/watch.log" "release Shift_L" 10
    got=$(keys_seen | tr '\n' '|')
    [[ $got == "press Shift_L|press a|release a|release Shift_L|" ]] || fail "keys: $got"
    ;;
  clipboard)
    # Both ways through an X program on Xwayland, without echo.
    gnome_desktop_start
    start_host
    paste() { xclip -selection clipboard -o 2>/dev/null; }
    paste_becomes() {
      for _ in $(seq $(($2 * 20))); do [[ "$(paste)" == "$1" ]] && return 0; sleep 0.05; done
      return 1
    }
    "$client" "127.0.0.1:$port" --password "$password" --clipboard-set "from the client" \
      --clipboard-get --timeout 4 >"$work/out" 2>&1 &
    client_pid=$!
    paste_becomes "from the client" 4 || fail "the client's text did not reach the desktop"
    wait "$client_pid"
    rc=$?
    [[ $rc == 1 ]] && grep -q "^no ClipboardText from the host" "$work/out" ||
      fail "the host sent something back (exit $rc): $(cat "$work/out")"
    "$client" "127.0.0.1:$port" --password "$password" --clipboard-get --timeout 15 \
      >"$work/out" 2>&1 &
    client_pid=$!
    for n in $(seq 60); do
      kill -0 "$client_pid" 2>/dev/null || break
      printf 'from the desktop %s' "$n" | xclip -selection clipboard -i
      sleep 0.25
    done
    wait "$client_pid"
    rc=$?
    [[ $rc == 0 ]] || fail "tolvi-client --clipboard-get exit code $rc: $(cat "$work/out")"
    grep -q "^clipboard ([0-9]* bytes after .*): from the desktop [0-9]*$" "$work/out" ||
      fail "no desktop text printed: $(cat "$work/out")"
    ;;
  host_killed)
    # The host killed while its client holds Shift and A: mutter ends the session with the
    # host's bus connection and releases what it held.
    gnome_desktop_start
    start_watcher
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 30 \
      --no-decode "${focus_click[@]}" --key 225 down --key 4 down >"$work/out" 2>&1 &
    pids+=($!)
    wait_for_text "$work/watch.log" "press a" 10
    kill -9 "$host_pid"
    wait_for_text "$work/watch.log" "release Shift_L" 10
    grep -q "release a" "$work/watch.log" || fail "A was not released"
    ;;
  display_match)
    # Mutter's headless monitor offers one mode: a request no mode fits better leaves it (no
    # switch, no failure), and the stream goes on at the monitor's size.
    gnome_desktop_start
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1024 768 30 --match \
      --seconds 2 --frames 2 >"$work/out" 2>&1 || fail "client: $(cat "$work/out")"
    grep -q "desktop 1280x720" "$work/out" || fail "the stream changed: $(cat "$work/out")"
    grep -Eq "display mode ->|ChangeDisplaySettingsEx failed|display matching is not available" "$work/host.log" &&
      fail "the single mode was switched or refused"
    ;;
  display_scaling)
    # A 2560x1440 monitor allows 100 %, 200 % and 300 % (mutter lists whole scales where
    # the logical size stays at least 800x480). The scaling commands read and set it through
    # DisplayConfig; a client whose view is 1280 points wide gets 200 % for its session, and
    # the session's end puts 100 % back.
    gnome_desktop_start 2560x1440
    scale_now() {
      gdbus call --session --timeout 5 --dest org.gnome.Mutter.DisplayConfig \
        --object-path /org/gnome/Mutter/DisplayConfig \
        --method org.gnome.Mutter.DisplayConfig.GetCurrentState |
        sed -n 's/.*\], \[(0, 0, \([0-9.]*\), .*/\1/p'
    }
    "$host_program" --get-scale 2>&1 | grep -q "current 100%, recommended 100%, allowed 100%..300%" ||
      fail "--get-scale: $("$host_program" --get-scale 2>&1 | tail -1)"
    "$host_program" --set-scale 300 >"$work/set.log" 2>&1
    grep -q -- "--set-scale 300: ok; current 300%" "$work/set.log" || fail "--set-scale: $(cat "$work/set.log")"
    [[ $(scale_now) == 3.0 ]] || fail "mutter's scale is $(scale_now) after --set-scale 300"
    "$host_program" --set-scale 100 >/dev/null 2>&1
    [[ $(scale_now) == 1.0 ]] || fail "mutter's scale is $(scale_now) after --set-scale 100"
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --match \
      --seconds 4 --no-decode >"$work/out" 2>&1 &
    client_pid=$!
    wait_for_text "$work/host.log" "display scaling 100% -> 200%" 10
    [[ $(scale_now) == 2.0 ]] || fail "mutter's scale is $(scale_now) during the session"
    wait "$client_pid" || fail "client: $(cat "$work/out")"
    wait_for_text "$work/host.log" "display scaling restored to 100%" 10
    [[ $(scale_now) == 1.0 ]] || fail "mutter's scale is $(scale_now) after the session"
    # A host killed during such a session: its display guardian puts 100 % back.
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --match \
      --seconds 30 --no-decode >"$work/out2" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [[ $(grep -c "display scaling 100% -> 200%" "$work/host.log") -ge 2 ]] && break; sleep 0.1; done
    [[ $(scale_now) == 2.0 ]] || fail "mutter's scale is $(scale_now) during the second session"
    kill -9 "$host_pid"
    for _ in $(seq 100); do [[ $(scale_now) == 1.0 ]] && break; sleep 0.1; done
    [[ $(scale_now) == 1.0 ]] || fail "mutter's scale is $(scale_now) after the host was killed"
    ;;
  ctrl_alt_del)
    # The client's Ctrl+Alt+Del goes through the session's own keyboard path (no service is
    # asked): the focused window sees the chord in order, then its release in reverse.
    gnome_desktop_start
    start_watcher
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 2 \
      --no-decode "${focus_click[@]}" --raw 86 "" >"$work/out" 2>&1 || fail "client: $(cat "$work/out")"
    wait_for_text "$work/watch.log" "release Control_L" 5
    got=$(keys_seen | tr '\n' '|')
    [[ $got == "press Control_L|press Alt_L|press Delete|release Delete|release Alt_L|release Control_L|" ]] ||
      fail "the chord arrived as: $got"
    grep -q "Ctrl+Alt+Del pressed on the desktop" "$work/host.log" || fail "not pressed by the session"
    ;;
  cursor_shape)
    # The pointer's picture comes as the screen cast's cursor metadata and reaches the client
    # as a pointer shape once the pointer is over the monitor.
    gnome_desktop_start
    start_watcher
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 3 \
      --no-decode --move 0.3 0.3 --move 0.6 0.6 >"$work/out" 2>&1 || fail "client: $(cat "$work/out")"
    grep -Eq "^pointer: [1-9][0-9]*x[1-9][0-9]* hot spot [0-9]+,[0-9]+$" "$work/out" ||
      fail "no pointer shape: $(cat "$work/out")"
    ;;
  monitor_change)
    # The monitor turned a quarter (mutter's temporary configuration) while a client watches:
    # the capture reopens on the new layout and the stream goes on at 720x1280.
    gnome_desktop_start
    start_host
    "$client" "127.0.0.1:$port" --password "$password" --stream 1280 720 30 --seconds 8 \
      >"$work/out" 2>&1 &
    client_pid=$!
    pids+=("$client_pid")
    wait_for_text "$work/host.log" "capture: first frame" 10
    display_config() {
      gdbus call --session --timeout 5 --dest org.gnome.Mutter.DisplayConfig \
        --object-path /org/gnome/Mutter/DisplayConfig --method "org.gnome.Mutter.DisplayConfig.$@"
    }
    serial=$(display_config GetCurrentState | sed -n 's/^(uint32 \([0-9]*\),.*/\1/p')
    display_config ApplyMonitorsConfig "$serial" 1 \
      "[(0, 0, 1.0, 1, true, [('Meta-0', '1280x720@60.000', {})])]" "{}" >/dev/null ||
      fail "mutter refused the rotation"
    wait "$client_pid"
    rc=$?
    [[ $rc == 0 ]] || fail "the client failed after the change (exit $rc): $(cat "$work/out")"
    grep -q "desktop 1280x720" "$work/out" || fail "no stream before the change: $(cat "$work/out")"
    grep -q "desktop 720x1280" "$work/out" || fail "the stream did not follow: $(cat "$work/out")"
    kill -0 "$host_pid" || fail "the host ended"
    ;;
  *)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
