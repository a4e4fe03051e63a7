#include "platform/linux/x11_connection.h"

#include <map>
#include <mutex>

namespace tolvi::platform {

// The process-wide side: which Display belongs to which connection, and the handlers.
struct X11ErrorHandlers {
  static std::mutex& lock() {
    static std::mutex mutex;
    return mutex;
  }
  static std::map<Display*, X11Connection*>& connections() {
    static std::map<Display*, X11Connection*> map;
    return map;
  }

  // A protocol error: remembered on its connection (the first one until collected). Errors on
  // displays not opened here are ignored rather than ending the process.
  static int on_error(Display* display, XErrorEvent* event) {
    std::lock_guard guard(lock());
    auto it = connections().find(display);
    if (it != connections().end()) {
      int none = 0;
      it->second->first_error_.compare_exchange_strong(none, event->error_code);
    }
    return 0;
  }
  // Called first when a connection breaks; the exit handler below does the recording.
  static int on_io_error(Display*) { return 0; }
  // Returning (instead of exiting) leaves the connection unusable and the process running.
  static void on_io_error_exit(Display*, void* connection) {
    static_cast<X11Connection*>(connection)->broken_.store(true);
  }

  static void install() {
    static std::once_flag once;
    std::call_once(once, [] {
      // Normally done at process start already (prepare_process_start); repeated here for
      // tests and tools that open displays from several threads. Later calls do nothing.
      XInitThreads();
      XSetErrorHandler(on_error);
      XSetIOErrorHandler(on_io_error);
    });
  }
};

std::unique_ptr<X11Connection> X11Connection::open(const std::string& display_name) {
  X11ErrorHandlers::install();
  Display* display = XOpenDisplay(display_name.empty() ? nullptr : display_name.c_str());
  if (!display) return nullptr;
  std::unique_ptr<X11Connection> connection(new X11Connection(display));
  XSetIOErrorExitHandler(display, X11ErrorHandlers::on_io_error_exit, connection.get());
  std::lock_guard guard(X11ErrorHandlers::lock());
  X11ErrorHandlers::connections()[display] = connection.get();
  return connection;
}

X11Connection::X11Connection(Display* display) : display_(display) {}

X11Connection::~X11Connection() {
  {
    std::lock_guard guard(X11ErrorHandlers::lock());
    X11ErrorHandlers::connections().erase(display_);
  }
  XCloseDisplay(display_);
}

int X11Connection::sync_errors() {
  if (broken()) return 0;
  XSync(display_, False);
  return first_error_.exchange(0);
}

}  // namespace tolvi::platform
