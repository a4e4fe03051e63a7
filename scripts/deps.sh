#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Tolvi Host need. Only the
# missing ones are installed; with everything present it prints nothing and changes nothing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config make git
  # libraries
  libssl-dev
  # video: X11 capture (RandR, MIT-SHM, XDamage, XFixes, screen saver), FFmpeg encoders and
  # colour conversion
  libx11-dev libxext-dev libxrandr-dev libxfixes-dev libxdamage-dev libxss-dev libxrender-dev
  # input injection (XTest)
  libxtst-dev
  libavcodec-dev libavutil-dev libswscale-dev
  # scaling the desktop picture to a smaller stream before its conversion
  libyuv-dev
  # H.264 straight through libx264 (told which macroblocks did not change)
  libx264-dev
  # keeping the machine awake: logind's inhibitor lock over the system bus (sd-bus)
  libsystemd-dev
  # GNOME on Wayland: the screen-cast stream's frames (PipeWire); the remote-desktop, screen-cast
  # and display interfaces are reached over the session bus with sd-bus (above)
  libpipewire-0.3-dev
  # tolvi-viewer: the window, its texts and their font
  libsdl2-dev libsdl2-ttf-dev fonts-dejavu-core
  # the tray application: GTK 3 and StatusNotifierItem icons
  libgtk-3-dev libayatana-appindicator3-dev
  # tests, sanitizers, fuzzing, benchmarks (dbus-daemon: a private bus for the inhibitor test)
  dbus-daemon
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-dev valgrind
  # the pipeline benchmark's baseline (x11grab + libx264)
  ffmpeg
  # the peer benchmark's VNC servers on the same X desktop
  tigervnc-scraping-server x11vnc
  # the shared folder: davfs2 mounts it when the host runs as root; rclone serves the reference
  # client's folder over WebDAV (gvfs-backends, for `gio mount` in a desktop session, is optional)
  davfs2 rclone
  # the private desktop of `make run` and the X11 tests
  xvfb x11-xserver-utils x11-utils x11-apps
  # the other X program of the clipboard tests and benchmark; an XEmbed tray host for the
  # private desktop and the tray tests, which drive it (gdbus asks the StatusNotifierItem for
  # its icon and menu); xdotool drives the viewer's and the tray's windows
  xclip trayer xdotool libglib2.0-bin
  # the Debian package (`make deb`): CPack reads the program's library needs with
  # dpkg-shlibdeps and recognises ELF files with file
  dpkg-dev file
  # the headless GNOME desktop of the Wayland tests and benchmark (mutter with its Xwayland,
  # PipeWire and its session manager, a session bus per test)
  mutter xwayland pipewire wireplumber dbus-user-session
  # Windows cross-build and its tests under Wine
  g++-mingw-w64-x86-64-posix wine wine64
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "deps: installing ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
