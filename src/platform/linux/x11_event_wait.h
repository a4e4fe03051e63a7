#pragma once
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/linux/unique_fd.h"
#include "platform/linux/x11_connection.h"

namespace tolvi::platform {

// An eventfd that wakes a loop polling it beside an X connection.
class WakeFd {
 public:
  WakeFd() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_.get(), &one, sizeof one);
  }
  void drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd_.get(), &count, sizeof count);
  }

 private:
  UniqueFd fd_;
};

// A wait for one particular event in the middle of handling another (an answer to a request of
// ours), on the loop's own connection: events it does not match stay queued for the loop.
class X11EventWait {
 public:
  X11EventWait(X11Connection& connection, WakeFd& wake, const std::atomic<bool>& stop)
      : x_(connection), wake_(wake), stop_(stop) {}

  // The next event that `match` accepts, in `out`. False after `timeout`, on stop or on a lost
  // connection.
  template <typename Match>
  bool next(Match match, XEvent& out, std::chrono::milliseconds timeout) {
    using Steady = std::chrono::steady_clock;
    const Steady::time_point deadline = Steady::now() + timeout;
    struct Filter {
      Match* match;
      static Bool call(Display*, XEvent* event, XPointer self) {
        return (*reinterpret_cast<Filter*>(self)->match)(*event) ? True : False;
      }
    } filter{&match};
    for (;;) {
      if (XCheckIfEvent(x_.display(), &out, &Filter::call, reinterpret_cast<XPointer>(&filter))) {
        return true;
      }
      if (x_.broken() || stop_.load()) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{x_.fd(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
      poll(fds, 2, static_cast<int>(left.count()));
      if (fds[1].revents & POLLIN) wake_.drain();
    }
  }

 private:
  X11Connection& x_;
  WakeFd& wake_;
  const std::atomic<bool>& stop_;
};

}  // namespace tolvi::platform
