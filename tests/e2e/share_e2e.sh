#!/usr/bin/env bash
# Shared folder end to end: tolvi-client --share DIR (rclone serving DIR) through a
# `tolvi-host --test-host` session, mounted on this machine with davfs2.
# Usage: share_e2e.sh CASE HOST_PROGRAM CLIENT_PROGRAM. Exit 77 (skipped) without root, FUSE,
# davfs2 or rclone.
set -u
case_name=$1 host_program=$2 client=$3
password=e2e-secret
skip() { echo "SKIP ($case_name): $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root to mount"
[ -c /dev/fuse ] || skip "no /dev/fuse"
[ -x /usr/sbin/mount.davfs ] || [ -x /sbin/mount.davfs ] || skip "davfs2 is not installed"
command -v rclone > /dev/null || skip "rclone is not installed"

e2e_name=$case_name
source "$(dirname "$0")/../support/e2e.sh"
e2e_show_on_fail "host log" "$work/host.log"
e2e_show_on_fail "client output" "$work/client.out"
mount_point=
e2e_at_exit 'if [ -n "$mount_point" ] && mountpoint -q "$mount_point"; then umount -l "$mount_point"; fi'

e2e_start_xvfb
e2e_start_host "$host_program" "$password" "$work/host.log"
client_pid=
e2e_track client_pid

shared="$work/shared"
mkdir -p "$shared"
echo "written on the client" > "$shared/from-client.txt"

# Starts the client sharing $shared with the given extra options; sets mount_point from the
# FolderStatus text.
share() {
  "$client" "127.0.0.1:$port" --password "$password" --share "$shared" "$@" > "$work/client.out" 2>&1 &
  client_pid=$!
  wait_for_text "$work/client.out" "^folder status: " 20
  mount_point=$(sed -n 's/^folder status: ok: “.*” is at \(.*\) on this PC.*$/\1/p' "$work/client.out")
}
end_session() {
  kill -TERM "$client_pid"; wait "$client_pid" 2>/dev/null; client_pid=
  wait_for_text "$work/host.log" "session ended" 30
}

case "$case_name" in
  read_write)
    share --share-name "e2e rw"
    [ -n "$mount_point" ] || fail "no mount in the status"
    grep -q "is at /media/tolvi/e2e rw.* on this PC\.$" "$work/client.out" || fail "status text"
    mountpoint -q "$mount_point" || fail "$mount_point is not mounted"
    [ "$(cat "$mount_point/from-client.txt")" = "written on the client" ] || fail "read through the mount"
    # davfs2 keeps copies of the files it opened in a cache of this mount's own, which goes
    # with the mount (its default cache would keep the client's files on this disk for good).
    port=$(sed -n 's/.*share: forwarding 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/host.log" | tail -1)
    cache=/var/cache/tolvi-host/share-$port
    grep -rqs "written on the client" "$cache" || fail "the mount keeps no cache in $cache"
    echo "written on the host" > "$mount_point/from-host.txt" || fail "write through the mount"
    sync
    wait_for 10 'test -s "$shared/from-host.txt"' || fail "the host's file did not reach the client's folder"
    [ "$(cat "$shared/from-host.txt")" = "written on the host" ] || fail "the host's file differs"
    # Stop sharing: the mount goes, the session stays.
    kill -USR1 "$client_pid"
    wait_for_text "$work/host.log" "share: unmapped $mount_point" 30
    ! mountpoint -q "$mount_point" || fail "still mounted after unsharing"
    [ ! -e "$mount_point" ] || fail "mount point left behind"
    [ ! -e "$cache" ] || fail "the mount's cache, with the client's files, left behind in $cache"
    kill -0 "$client_pid" || fail "the session ended on unsharing"
    end_session
    ;;
  read_only)
    share --share-name "e2e ro" --read-only
    grep -q "on this PC (read-only)\.$" "$work/client.out" || fail "status text"
    [ "$(cat "$mount_point/from-client.txt")" = "written on the client" ] || fail "read through the mount"
    ! echo no > "$mount_point/refused.txt" 2>/dev/null || fail "a read-only share took a write"
    [ ! -e "$shared/refused.txt" ] || fail "the write reached the client's folder"
    # Session end unmounts.
    end_session
    grep -q "share: unmapped $mount_point" "$work/host.log" || fail "no unmount at session end"
    ! mountpoint -q "$mount_point" || fail "still mounted after the session"
    ;;
  other_account)
    # The mount and the forwarding port belong to the person the folder is shared with: the
    # account nobody reads neither the mounted file nor, with the token from the mount's
    # source (readable by everyone), the file through the port.
    share --share-name "e2e private"
    [ -n "$mount_point" ] || fail "no mount in the status"
    [ "$(cat "$mount_point/from-client.txt")" = "written on the client" ] || fail "root reads the mount"
    ! runuser -u nobody -- cat "$mount_point/from-client.txt" > /dev/null 2>&1 ||
      fail "nobody reads the mounted file"
    ! runuser -u nobody -- ls "$mount_point" > /dev/null 2>&1 || fail "nobody lists the mount"
    # /proc/mounts writes a blank in the mount point as \040.
    source_url=$(grep -F " ${mount_point// /\\040} " /proc/mounts | cut -d' ' -f1)
    source_url=${source_url//\\040/%20}
    case "$source_url" in http://127.0.0.1:*/*/) ;; *) fail "mount source '$source_url'" ;; esac
    file_url="${source_url}from-client.txt"
    got=$(runuser -u nobody -- curl -s --max-time 10 "$file_url")
    [ -z "$got" ] || fail "nobody got '$got' through the forwarding port"
    wait_for_text "$work/host.log" "share: refused a forwarded connection from uid 65534" 10
    # The same request from root goes through: the refusal is about the account.
    [ "$(curl -s --max-time 10 "$file_url")" = "written on the client" ] ||
      fail "root's request through the forwarding port"
    end_session
    ;;
  failed_mount)
    # The label replaces the quote with a hyphen, so the mount asks for a path the client's
    # server does not serve.
    share --share-name 'e2e "quoted"'
    grep -q "^folder status: failed: This PC couldn't open the shared folder" "$work/client.out" \
      || fail "status text"
    grep -q "share: mount.davfs failed" "$work/host.log" || fail "log line"
    ! ls /media/tolvi 2>/dev/null | grep -q "e2e -quoted-" || fail "mount point left behind"
    end_session
    ;;
  vanished_mid_mount)
    # A client announces a share and vanishes (a dropped link) while the mount still waits for
    # its WebDAV answers, which never come: the next client must not wait for that mount.
    # FolderShare: writable, token "abcd", name "e2e-vanish" (16-bit lengths, little-endian).
    "$client" "127.0.0.1:$port" --password "$password" \
      --raw 96 000400616263640a006532652d76616e697368 --hold 60 > "$work/client.out" 2>&1 &
    client_pid=$!
    wait_for_text "$work/host.log" "share: forwarding 127.0.0.1:" 10
    sleep 1  # mount.davfs is talking to the forwarder by now
    kill -KILL "$client_pid"; wait "$client_pid" 2>/dev/null; client_pid=
    started=$(date +%s%N)
    "$client" "127.0.0.1:$port" --password "$password" --stream 640 480 30 --frames 1 \
      --no-decode --timeout 10 > "$work/next.out" 2>&1 || fail "the next client: $(cat "$work/next.out")"
    elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
    echo "next client's first picture after $elapsed_ms ms"
    [ "$elapsed_ms" -lt 5000 ] || fail "the next client waited $elapsed_ms ms for its picture"
    ! ls /media/tolvi 2>/dev/null | grep -q "e2e-vanish" || fail "mount point left behind"
    ;;
  *)
    fail "unknown case"
    ;;
esac
echo "PASS ($case_name)"
