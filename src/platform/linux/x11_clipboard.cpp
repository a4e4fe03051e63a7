// The clipboard on X11: the CLIPBOARD selection of the session's display, on a connection of
// its own. A small unmapped window owns the selection while it holds the client's text
// (x11_clipboard_owner.cpp) and reads another owner's text through a property of its own
// (x11_clipboard_reader.cpp). XFixes reports every change of owner, ours included, which is the
// change notification. Posted texts and stop wake the event loop through an eventfd polled
// beside the X connection.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clipboard.h"
#include "platform/linux/x11_backends.h"
#include "platform/linux/x11_clipboard_owner.h"
#include "platform/linux/x11_clipboard_reader.h"
#include "platform/linux/x11_clipboard_window.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_event_wait.h"

namespace tolvi::platform {

namespace {

// While INCR transfers are open the loop wakes this often to give up stale ones.
constexpr int kTransferCheckMs = 1000;
// Longest wait for the server's answer that tells us its time.
constexpr std::chrono::milliseconds kServerTimeTimeout{2000};

// The window and its atoms, made on `connection`; no window when the connection fails.
ClipboardWindow make_window(X11Connection& connection) {
  Display* d = connection.display();
  ClipboardWindow made;
  made.window = XCreateSimpleWindow(d, connection.root(), 0, 0, 1, 1, 0, 0, 0);
  // Our property changes: INCR chunks arriving, and the server's time (see server_time()).
  XSelectInput(d, made.window, PropertyChangeMask);
  made.clipboard = XInternAtom(d, "CLIPBOARD", False);
  made.targets = XInternAtom(d, "TARGETS", False);
  made.utf8 = XInternAtom(d, "UTF8_STRING", False);
  made.text = XInternAtom(d, "TEXT", False);
  made.compound_text = XInternAtom(d, "COMPOUND_TEXT", False);
  made.incr = XInternAtom(d, "INCR", False);
  return made;
}

class X11ClipboardWatcher : public ClipboardWatcher {
 public:
  explicit X11ClipboardWatcher(std::unique_ptr<X11Connection> x)
      : x_(std::move(x)),
        window_(make_window(*x_)),
        owner_(*x_, window_),
        wait_(*x_, wake_, stop_),
        reader_(*x_, window_, wait_),
        time_property_(XInternAtom(x_->display(), "TOLVI_CLIPBOARD_TIME", False)) {}

  bool set_up() {
    Display* d = x_->display();
    int error_base = 0;
    int major = 5, minor = 0;
    if (!wake_.valid() || !XFixesQueryExtension(d, &xfixes_event_base_, &error_base) ||
        !XFixesQueryVersion(d, &major, &minor)) {
      return false;
    }
    XFixesSelectSelectionInput(d, window_.window, window_.clipboard,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    return x_->sync_errors() == 0 && !x_->broken();
  }

  ~X11ClipboardWatcher() override {
    if (window_.window == None || x_->broken()) return;
    // Give the selection up explicitly, so its holders see it go now and not only when the
    // window does.
    owner_.give_up();
    XDestroyWindow(x_->display(), window_.window);
    x_->sync_errors();
  }

  bool run(ClipboardEvents& events) override {
    Display* d = x_->display();
    for (;;) {
      if (x_->broken()) return false;
      if (stop_.load()) return true;
      if (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        handle(event, events);
        continue;
      }
      if (std::optional<std::string> text = take_posted()) {
        events.on_posted_text(*text);
        continue;
      }
      owner_.expire_transfers();
      pollfd fds[2] = {{x_->fd(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
      poll(fds, 2, owner_.transferring() ? kTransferCheckMs : -1);
      if (fds[1].revents & POLLIN) wake_.drain();
    }
  }

  bool post_text(std::string text) override {
    {
      std::lock_guard<std::mutex> guard(posted_lock_);
      posted_.push_back(std::move(text));
    }
    wake_.signal();
    return true;
  }

  void stop() override {
    stop_.store(true);
    wake_.signal();
  }

  std::optional<std::string> read_text() override {
    if (owner_.owned()) return owner_.text();
    return reader_.read_text();
  }

  bool write_text(const std::string& text) override {
    // Owned from a time the server gave, never CurrentTime: a program that took the selection
    // after that time keeps it, and requests are answered for the text they asked about.
    return owner_.take(text, server_time());
  }

 private:
  std::optional<std::string> take_posted() {
    std::lock_guard<std::mutex> guard(posted_lock_);
    if (posted_.empty()) return std::nullopt;
    std::string text = std::move(posted_.front());
    posted_.pop_front();
    return text;
  }

  // The server's time now: appending nothing to a property of our window changes nothing but
  // brings a PropertyNotify stamped with it. CurrentTime when the answer does not come.
  Time server_time() {
    Display* d = x_->display();
    XChangeProperty(d, window_.window, time_property_, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
    const auto stamped = [&](const XEvent& e) {
      return e.type == PropertyNotify && e.xproperty.window == window_.window &&
             e.xproperty.atom == time_property_;
    };
    XEvent event;
    if (!wait_.next(stamped, event, kServerTimeTimeout)) return CurrentTime;
    return event.xproperty.time;
  }

  void handle(XEvent& event, ClipboardEvents& events) {
    if (event.type == xfixes_event_base_ + XFixesSelectionNotify) {
      const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
      if (notify.selection != window_.clipboard) return;
      if (notify.owner != window_.window) owner_.lost();
      events.on_clipboard_changed();
      return;
    }
    switch (event.type) {
      case SelectionClear:
        if (event.xselectionclear.selection == window_.clipboard) owner_.lost();
        break;
      case SelectionRequest:
        owner_.serve(event.xselectionrequest);
        break;
      case PropertyNotify:
        if (event.xproperty.state == PropertyDelete) {
          owner_.property_deleted(event.xproperty.window, event.xproperty.atom);
        }
        break;
      case DestroyNotify:
        owner_.window_destroyed(event.xdestroywindow.window);
        break;
      default:
        break;
    }
  }

  std::unique_ptr<X11Connection> x_;
  WakeFd wake_;
  std::atomic<bool> stop_{false};
  std::mutex posted_lock_;
  std::deque<std::string> posted_;

  const ClipboardWindow window_;
  X11SelectionOwner owner_;
  X11EventWait wait_;
  X11SelectionReader reader_;
  const Atom time_property_;
  int xfixes_event_base_ = 0;
};

}  // namespace

std::unique_ptr<ClipboardWatcher> make_x11_clipboard_watcher(const std::string& display_name) {
  std::unique_ptr<X11Connection> connection = X11Connection::open(display_name);
  if (!connection) return nullptr;
  auto watcher = std::make_unique<X11ClipboardWatcher>(std::move(connection));
  if (!watcher->set_up()) return nullptr;
  return watcher;
}

}  // namespace tolvi::platform
