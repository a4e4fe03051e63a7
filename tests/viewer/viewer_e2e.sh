#!/usr/bin/env bash
# One end-to-end case of tolvi-viewer: the host on one private Xvfb, the viewer's window on
# another, driven with xdotool and looked at with ffmpeg's x11grab.
# Usage: viewer_e2e.sh CASE HOST_PROGRAM VIEWER_PROGRAM PAINTER_PROGRAM CURSOR_PROBE
set -u
case_name=$1 host_program=$2 viewer=$3 painter=$4 cursor_probe=$5
password=viewer-e2e-secret
e2e_name=$case_name
source "$(dirname "$0")/../support/e2e.sh"
for f in host.log viewer.log viewer.out; do e2e_show_on_fail "$f" "$work/$f"; done
mount_point=
e2e_at_exit 'if [ -n "$mount_point" ] && mountpoint -q "$mount_point"; then umount -l "$mount_point"; fi'

# Two private displays; every command below names the one it means.
e2e_start_xvfb 1280x720x24
host_display=$DISPLAY
e2e_start_xvfb 1600x900x24
viewer_display=$DISPLAY
unset DISPLAY

start_host() {  # sets port; host_pid
  DISPLAY=$host_display e2e_start_host "$host_program" "$password" "$work/host.log"
  e2e_track_pid "$host_pid"  # every host started is ended at exit, not only the last
}

start_viewer() {  # extra arguments
  DISPLAY=$viewer_display "$viewer" "127.0.0.1:$port" --size 960x540 --trace-present "$@" \
    > "$work/viewer.out" 2> "$work/viewer.log" &
  viewer_pid=$!
  e2e_track_pid "$viewer_pid"
}

viewer_window() {
  for _ in $(seq 100); do
    window=$(DISPLAY=$viewer_display xdotool search --name 'tolvi-viewer' 2>/dev/null | head -n 1)
    [ -n "$window" ] && return 0
    sleep 0.05
  done
  fail "no viewer window"
}

# Screenshot of the viewer's window into $1.
grab_viewer() {
  local geometry x y w h
  geometry=$(DISPLAY=$viewer_display xdotool getwindowgeometry --shell "$window") || fail "no geometry"
  eval "$geometry"
  x=$X y=$Y w=$WIDTH h=$HEIGHT
  ffmpeg -loglevel error -y -f x11grab -video_size "${w}x${h}" -i "$viewer_display+$x,$y" \
    -frames:v 1 "$1" || fail "cannot grab the viewer's window"
}

# PSNR (dB) of picture $1 against picture $2, both averaged down to 96x54: what is left is
# the picture itself, not the encoder's edges and chroma bleeding (the same picture scores
# above 30 dB, another one below 10).
psnr() {
  ffmpeg -hide_banner -i "$1" -i "$2" \
    -lavfi "[0]scale=96:54:flags=area[a];[1]scale=96:54:flags=area[b];[a][b]psnr" -f null - 2>&1 |
    sed -n 's/.*average:\([0-9.inf]*\).*/\1/p' | tail -n 1
}

# Waits until the viewer has presented n more frames than it had.
presented() { grep -c "presented frame" "$work/viewer.out" 2>/dev/null || echo 0; }

case "$case_name" in
  picture)
    # The host's desktop, scaled to the window, shows in the viewer's window.
    DISPLAY=$host_display "$painter" blocks > "$work/painter.log" 2>&1 || fail "painter failed"
    start_host
    start_viewer --password "$password"
    wait_for_text "$work/viewer.out" "presented frame" 20
    viewer_window
    sleep 1  # the host re-encodes a still picture twice; take the refined one
    ffmpeg -loglevel error -y -f x11grab -video_size 1280x720 -i "$host_display" -frames:v 1 \
      "$work/host.png" || fail "cannot grab the host's desktop"
    grab_viewer "$work/viewer.png"
    quality=$(psnr "$work/viewer.png" "$work/host.png")
    echo "viewer against host: PSNR $quality dB"
    awk -v q="$quality" 'BEGIN { exit !(q == "inf" || q + 0 >= 25) }' ||
      fail "the viewer's picture is not the host's desktop (PSNR $quality dB)"
    ;;
  resize)
    # A new window size goes out once the drag settles, and the picture follows, letterboxed.
    DISPLAY=$host_display "$painter" blocks > "$work/painter.log" 2>&1 || fail "painter failed"
    start_host
    start_viewer --password "$password"
    wait_for_text "$work/host.log" "stream 960x540" 20
    viewer_window
    for size in "700 500" "760 560" "800 600"; do
      DISPLAY=$viewer_display xdotool windowsize "$window" $size
      sleep 0.05
    done
    wait_for_text "$work/host.log" "stream 800x450" 10
    streams=$(grep -c "stream [0-9]*x[0-9]* " "$work/host.log")
    [ "$streams" -eq 2 ] || fail "$streams stream configurations for one drag, expected 2"
    before=$(presented)
    for _ in $(seq 100); do [ "$(presented)" -gt "$before" ] && break; sleep 0.05; done
    sleep 1
    ffmpeg -loglevel error -y -f x11grab -video_size 1280x720 -i "$host_display" -frames:v 1 \
      "$work/host.png" || fail "cannot grab the host's desktop"
    grab_viewer "$work/viewer.png"
    # The picture sits between black bands of 75 rows above and below.
    ffmpeg -loglevel error -y -i "$work/viewer.png" -vf crop=800:450:0:75 "$work/inner.png"
    ffmpeg -loglevel error -y -i "$work/viewer.png" -vf crop=800:70:0:0 "$work/band.png"
    quality=$(psnr "$work/inner.png" "$work/host.png")
    echo "letterboxed picture against host: PSNR $quality dB"
    awk -v q="$quality" 'BEGIN { exit !(q == "inf" || q + 0 >= 25) }' ||
      fail "the letterboxed picture is not the host's desktop (PSNR $quality dB)"
    band_mean=$(ffmpeg -hide_banner -i "$work/band.png" -vf signalstats,metadata=print \
      -f null - 2>&1 | sed -n 's/.*lavfi.signalstats.YAVG=\([0-9.]*\).*/\1/p' | head -n 1)
    awk -v m="$band_mean" 'BEGIN { exit !(m + 0 < 20) }' || fail "the band is not black ($band_mean)"
    ;;
  wrong_password)
    start_host
    start_viewer --password not-the-password
    wait_for_text "$work/viewer.log" "Wrong password" 20
    ;;
  environment_password)
    start_host
    TOLVI_PASSWORD=$password start_viewer
    wait_for_text "$work/host.log" "stream 960x540" 20
    ;;
  unreachable)
    port=1  # nothing listens there
    start_viewer --password "$password"
    wait_for_text "$work/viewer.log" "is not reachable" 20
    ;;
  hung_up)
    start_host
    start_viewer --password "$password"
    wait_for_text "$work/host.log" "stream 960x540" 20
    kill "$host_pid"
    wait_for_text "$work/viewer.log" "The host closed the connection" 20
    # R reconnects once the host is back on the same port.
    DISPLAY=$host_display e2e_start_host "$host_program" "$password" "$work/host.log" "$port"
    viewer_window
    DISPLAY=$viewer_display xdotool windowfocus --sync "$window" key r
    wait_for_text "$work/host.log" "stream 960x540" 20
    ;;
  pointer)
    # The centre of the viewer's picture is the centre of the host's desktop; a click there
    # reaches the host's window under it.
    start_host
    DISPLAY=$host_display xev -geometry 1280x720+0+0 -event mouse > "$work/xev.out" 2>&1 &
    e2e_track_pid $!
    start_viewer --password "$password"
    wait_for_text "$work/viewer.out" "presented frame" 20
    viewer_window
    DISPLAY=$viewer_display xdotool windowfocus --sync "$window" mousemove --window "$window" \
      480 270 click 3
    wait_for_text "$work/xev.out" "button 3" 10
    location=$(DISPLAY=$host_display xdotool getmouselocation)
    case "$location" in
      "x:639 y:359 "* | "x:640 y:360 "* | "x:639 y:360 "* | "x:640 y:359 "*) ;;
      *) fail "the host's pointer is at $location, expected the centre 639.5,359.5" ;;
    esac
    grep -a -q "ButtonRelease" "$work/xev.out" || fail "no button release on the host"
    ;;
  cursor)
    # Over the viewer's picture, the viewer's display shows the host's pointer shape.
    start_host
    start_viewer --password "$password"
    wait_for_text "$work/viewer.out" "presented frame" 20
    viewer_window
    # One change of the host's pointer (from X's default cross to a watch), with a screen
    # change so that the host looks at its pointer at once.
    DISPLAY=$host_display xsetroot -cursor_name watch
    DISPLAY=$host_display xsetroot -solid '#204060'
    DISPLAY=$viewer_display xdotool mousemove --window "$window" 300 200 mousemove_relative 5 5
    # Both read each time: the host's pointer settles only once the moves and the new root
    # cursor have reached its X server.
    for _ in $(seq 400); do
      want=$(DISPLAY=$host_display "$cursor_probe")
      seen=$(DISPLAY=$viewer_display "$cursor_probe")
      [ "$seen" = "$want" ] && break
      sleep 0.05
    done
    [ "$seen" = "$want" ] || fail "the viewer shows a $seen pointer, the host's is $want"
    ;;
  keys)
    # Typed text arrives as the same keys on the host.
    start_host
    DISPLAY=$host_display xev -geometry 1280x720+0+0 -event keyboard > "$work/xev.out" 2>&1 &
    e2e_track_pid $!
    start_viewer --password "$password"
    wait_for_text "$work/viewer.out" "presented frame" 20
    viewer_window
    DISPLAY=$viewer_display xdotool windowfocus --sync "$window" type --delay 30 'Hi 42'
    wait_for_text "$work/xev.out" "keysym 0x32, 2" 10
    typed=$(grep -a -A2 "^KeyPress" "$work/xev.out" | grep -a -o "keysym 0x[0-9a-f]*, [A-Za-z_0-9]*" |
      sed 's/.*, //' | tr '\n' ' ')
    [ "$typed" = "Shift_L H i space 4 2 " ] || fail "the host saw '$typed'"
    ;;
  focus_loss)
    # A key held while the viewer loses the focus is released on the host.
    start_host
    DISPLAY=$host_display xev -geometry 1280x720+0+0 -event keyboard > "$work/xev.out" 2>&1 &
    e2e_track_pid $!
    DISPLAY=$viewer_display xev -geometry 200x200+1300+600 -name other-window > /dev/null 2>&1 &
    e2e_track_pid $!
    start_viewer --password "$password"
    wait_for_text "$work/viewer.out" "presented frame" 20
    viewer_window
    DISPLAY=$viewer_display xdotool windowfocus --sync "$window" keydown b
    wait_for_text "$work/xev.out" "^KeyPress" 10
    other=$(DISPLAY=$viewer_display xdotool search --name '^other-window$' | head -n 1)
    DISPLAY=$viewer_display xdotool windowfocus "$other"
    wait_for_text "$work/xev.out" "^KeyRelease" 10
    DISPLAY=$viewer_display xdotool keyup b
    ;;
  clipboard)
    # Text copied on either side can be pasted on the other.
    start_host
    start_viewer --password "$password"
    wait_for_text "$work/viewer.out" "presented frame" 20
    echo -n "copied on the host" | DISPLAY=$host_display xclip -selection clipboard -i >/dev/null 2>&1
    for _ in $(seq 100); do
      pasted=$(DISPLAY=$viewer_display timeout 2 xclip -selection clipboard -o 2>/dev/null)
      [ "$pasted" = "copied on the host" ] && break
      sleep 0.1
    done
    [ "$pasted" = "copied on the host" ] || fail "the viewer's clipboard holds '$pasted'"
    echo -n "copied in the viewer" | DISPLAY=$viewer_display xclip -selection clipboard -i >/dev/null 2>&1
    for _ in $(seq 100); do
      pasted=$(DISPLAY=$host_display timeout 2 xclip -selection clipboard -o 2>/dev/null)
      [ "$pasted" = "copied in the viewer" ] && break
      sleep 0.1
    done
    [ "$pasted" = "copied in the viewer" ] || fail "the host's clipboard holds '$pasted'"
    ;;
  share)
    # A folder shared by the viewer shows up mounted on the host (exit 77, skipped, without
    # root, FUSE, davfs2 or rclone); closing the viewer takes the mount away.
    skip() { echo "SKIP ($case_name): $*"; exit 77; }
    [ "$(id -u)" = 0 ] || skip "needs root to mount"
    [ -c /dev/fuse ] || skip "no /dev/fuse"
    [ -x /usr/sbin/mount.davfs ] || [ -x /sbin/mount.davfs ] || skip "davfs2 is not installed"
    command -v rclone > /dev/null || skip "rclone is not installed"
    mkdir -p "$work/viewer-share"
    echo "written in the viewer" > "$work/viewer-share/from-viewer.txt"
    start_host
    start_viewer --password "$password" --share "$work/viewer-share" --read-only
    wait_for_text "$work/viewer.log" "folder status: " 30
    mount_point=$(sed -n 's/^tolvi-viewer: folder status: ok: “.*” is at \(.*\) on this PC.*$/\1/p' \
      "$work/viewer.log")
    [ -n "$mount_point" ] || fail "no mount in the status"
    grep -q "on this PC (read-only)\.$" "$work/viewer.log" || fail "status text"
    [ "$(cat "$mount_point/from-viewer.txt")" = "written in the viewer" ] ||
      fail "cannot read the shared file through $mount_point"
    # A host that hung up takes the share with it; R connects again and shares again.
    kill "$host_pid"
    wait_for_text "$work/viewer.log" "The host closed the connection" 20
    wait_for_text "$work/host.log" "share: unmapped $mount_point" 30
    DISPLAY=$host_display e2e_start_host "$host_program" "$password" "$work/host.log" "$port"
    viewer_window
    DISPLAY=$viewer_display xdotool windowfocus --sync "$window" key r
    for _ in $(seq 600); do
      [ "$(grep -c "folder status: ok" "$work/viewer.log")" -ge 2 ] && break
      sleep 0.05
    done
    [ "$(grep -c "folder status: ok" "$work/viewer.log")" -eq 2 ] || fail "no status after reconnecting"
    [ "$(cat "$mount_point/from-viewer.txt")" = "written in the viewer" ] ||
      fail "cannot read the shared file after reconnecting"
    kill "$viewer_pid"
    wait_for_text "$work/host.log" "share: unmapped $mount_point" 30
    ;;
  *)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
