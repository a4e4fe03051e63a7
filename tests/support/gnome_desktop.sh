# A headless GNOME desktop for the Wayland tests and benchmark, to be sourced by a bash script:
# a private session bus (dbus-run-session), a private 0700 runtime folder, PipeWire with its
# session manager, and mutter as a headless Wayland compositor with one virtual monitor (and
# Xwayland, for the X11 programs that paint on it or watch its keys).
#
#   gnome_desktop_enter "$0" "$@"   # first line: runs the script again inside a session bus
#   gnome_desktop_start [WxH]       # or skip: exits 77 with the reason when it cannot start
#                                   # (a caller that redefines gnome_desktop_skip to return
#                                   # gets the failure as its status instead)
#   ... DISPLAY, XAUTHORITY, WAYLAND_DISPLAY and XDG_SESSION_TYPE=wayland are exported ...
#   gnome_desktop_stop              # in the script's EXIT trap, after ending its own processes
#
# Every process is ended by the PID this library started, never by name: other desktops and
# hosts run on the same machine.

source "$(dirname "${BASH_SOURCE[0]}")/end_process.sh"
GNOME_DESKTOP_PIDS=()
GNOME_DESKTOP_DIR=""

gnome_desktop_skip() {
  echo "SKIP: headless GNOME desktop: $*" >&2
  exit 77
}

# Runs the calling script again inside a session bus of its own, unless it already is.
gnome_desktop_enter() {
  local script=$1
  shift
  [[ -n "${GNOME_DESKTOP_BUS_OWNED:-}" ]] && return 0
  local missing=()
  for tool in dbus-run-session pipewire wireplumber mutter Xwayland; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [[ ${#missing[@]} -eq 0 ]] || gnome_desktop_skip "not installed: ${missing[*]} (scripts/deps.sh)" || return 1
  GNOME_DESKTOP_BUS_OWNED=1 exec dbus-run-session -- bash "$script" "$@"
}

# True once `name` is owned on the session bus.
gnome_desktop_has_name() {
  gdbus call --session --timeout 2 --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}

gnome_desktop_start() {
  local size=${1:-1280x720}
  [[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]] || gnome_desktop_skip "no session bus (gnome_desktop_enter first)" || return 1
  GNOME_DESKTOP_DIR=$(mktemp -d /tmp/tolvi-gnome.XXXXXX)
  chmod 700 "$GNOME_DESKTOP_DIR"
  export XDG_RUNTIME_DIR=$GNOME_DESKTOP_DIR
  # No other desktop may leak in from the caller's environment.
  unset DISPLAY XAUTHORITY WAYLAND_DISPLAY
  local log=$GNOME_DESKTOP_DIR/desktop.log
  pipewire >>"$log" 2>&1 &
  GNOME_DESKTOP_PIDS+=($!)
  local i
  for ((i = 0; i < 50; i++)); do
    [[ -S $XDG_RUNTIME_DIR/pipewire-0 ]] && break
    sleep 0.1
  done
  [[ -S $XDG_RUNTIME_DIR/pipewire-0 ]] || gnome_desktop_skip "pipewire did not start: $(tail -3 "$log")" || return 1
  wireplumber >>"$log" 2>&1 &
  GNOME_DESKTOP_PIDS+=($!)
  # mutter starts Xwayland and runs the command with the desktop's variables; the command keeps
  # them for this script and then lives as long as mutter does.
  local env_file=$GNOME_DESKTOP_DIR/desktop.env
  mutter --headless --virtual-monitor "$size" --wayland -- \
    sh -c 'env > "$0.tmp" && mv "$0.tmp" "$0" && while kill -0 "$PPID"; do sleep 0.5; done' \
    "$env_file" \
    >>"$log" 2>&1 &
  GNOME_DESKTOP_PIDS+=($!)
  for ((i = 0; i < 300; i++)); do
    if [[ -s $env_file ]] && gnome_desktop_has_name org.gnome.Mutter.RemoteDesktop &&
      gnome_desktop_has_name org.gnome.Mutter.ScreenCast; then
      break
    fi
    kill -0 "${GNOME_DESKTOP_PIDS[-1]}" 2>/dev/null ||
      gnome_desktop_skip "mutter ended: $(tail -3 "$log")" || return 1
    sleep 0.1
  done
  [[ -s $env_file ]] && gnome_desktop_has_name org.gnome.Mutter.RemoteDesktop ||
    gnome_desktop_skip "mutter's remote-desktop interface did not appear: $(tail -3 "$log")" || return 1
  local line
  while IFS= read -r line; do
    case $line in
      DISPLAY=* | XAUTHORITY=* | WAYLAND_DISPLAY=*) export "${line?}" ;;
    esac
  done <"$env_file"
  export XDG_SESSION_TYPE=wayland
  GNOME_DESKTOP_LOG=$log
}

gnome_desktop_stop() {
  local i
  # In reverse order: mutter, then the session manager, then PipeWire.
  for ((i = ${#GNOME_DESKTOP_PIDS[@]} - 1; i >= 0; i--)); do
    e2e_end_process "${GNOME_DESKTOP_PIDS[i]}"
  done
  GNOME_DESKTOP_PIDS=()
  [[ -n "$GNOME_DESKTOP_DIR" ]] && rm -rf "$GNOME_DESKTOP_DIR"
  GNOME_DESKTOP_DIR=""
}
