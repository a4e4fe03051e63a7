#pragma once
#include <X11/Xlib.h>

#include <atomic>
#include <memory>
#include <string>

namespace tolvi::platform {

// One connection to an X server that can never end the process.
//
// Xlib's defaults print and exit() on a protocol error (e.g. BadMatch from XShmGetImage after
// a mode change) and on a broken connection (the server went away). Here both are recorded
// on the connection instead: the process-wide handlers (installed once, for every
// connection of the process) note protocol errors in the connection they belong to, and a
// per-connection I/O-error exit handler (XSetIOErrorExitHandler, libX11 1.7 and later)
// marks the connection broken and returns, so that Xlib leaves the process alone. After
// that, Xlib calls on the connection return at once; the owner checks broken() and gives
// the connection up.
class X11Connection {
 public:
  // Null when the display cannot be opened. "" means $DISPLAY.
  static std::unique_ptr<X11Connection> open(const std::string& display_name);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  Display* display() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }
  int fd() const { return ConnectionNumber(display_); }

  bool broken() const { return broken_.load(); }
  // Waits until the server has handled every request so far and returns the code of the
  // first protocol error since the last call (0 when none), clearing it. 0 also when broken.
  int sync_errors();

 private:
  explicit X11Connection(Display* display);
  friend struct X11ErrorHandlers;

  Display* display_;
  std::atomic<bool> broken_{false};
  std::atomic<int> first_error_{0};
};

// Holds the server for one connection alone (XGrabServer) while it lives, so that other
// clients see a series of changes made on that connection at once, never half of it. The
// server lets go by itself when the connection ends.
class ServerGrab {
 public:
  explicit ServerGrab(X11Connection& connection) : display_(connection.display()) {
    XGrabServer(display_);
  }
  ~ServerGrab() {
    XUngrabServer(display_);
    XFlush(display_);
  }
  ServerGrab(const ServerGrab&) = delete;
  ServerGrab& operator=(const ServerGrab&) = delete;

 private:
  Display* display_;
};

}  // namespace tolvi::platform
