// Events shared by name between the service and its agent, and waiting on several things.
//
// A named event is a FIFO under /run/tolvi-host/: set writes a byte, reset drains it, and it is
// signalled while it holds data. The kind of reset is part of the file name ("<name>.auto" or
// "<name>.manual") so that an opener behaves as the creator meant. The creator holds a shared
// lock on it for as long as it lives: an opener that can take the lock exclusively has found a
// FIFO nobody created in this boot of the service, and treats the event as absent. Private
// events are eventfds. Waits are one poll over the descriptors (agents are pidfds).
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/linux/install_root.h"
#include "platform/linux/unique_fd.h"
#include "platform/service.h"

namespace tolvi::platform {
namespace {

constexpr const char* kEventFolder = "/run/tolvi-host";
constexpr std::string_view kGlobalPrefix = "Global\\";
constexpr mode_t kEventFolderMode = 0755;
// Only the creator's user (root for the service and its agent) may signal or read them.
constexpr mode_t kEventFileMode = 0600;
constexpr std::size_t kDrainChunk = 64;

std::filesystem::path event_file(const std::string& name, EventReset reset) {
  std::string file = name;
  if (file.starts_with(kGlobalPrefix)) file.erase(0, kGlobalPrefix.size());
  for (char& c : file) {
    if (c == '/' || c == '\\') c = '_';
  }
  file += reset == EventReset::Auto ? ".auto" : ".manual";
  return under_install_root(kEventFolder) / file;
}

class DescriptorEvent : public SignalEvent {
 public:
  DescriptorEvent(UniqueFd fd, EventReset reset) : fd_(std::move(fd)), reset_(reset) {}

  std::intptr_t wait_handle() const override { return fd_.get(); }
  void waited() override {
    if (reset_ == EventReset::Auto) reset();
  }
  void set() override {
    // An eventfd takes a counter, a FIFO a byte; either way a full one is already set.
    const std::uint64_t one = 1;
    while (write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void reset() override {
    char drain[kDrainChunk];
    while (true) {
      const ssize_t got = read(fd_.get(), drain, sizeof drain);
      if (got > 0) continue;
      if (got < 0 && errno == EINTR) continue;
      break;  // empty (EAGAIN)
    }
  }

 private:
  UniqueFd fd_;
  EventReset reset_;
};

// Opens the FIFO without following links, and only when it is one.
UniqueFd open_fifo(const std::filesystem::path& path) {
  UniqueFd fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return {};
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISFIFO(info.st_mode)) return {};
  return fd;
}

}  // namespace

std::unique_ptr<SignalEvent> create_event(EventReset reset, const std::string& name) {
  if (name.empty()) {
    UniqueFd fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd.valid()) return nullptr;
    return std::make_unique<DescriptorEvent>(std::move(fd), reset);
  }
  const auto path = event_file(name, reset);
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  chmod(path.parent_path().c_str(), kEventFolderMode);
  if (mkfifo(path.c_str(), kEventFileMode) != 0 && errno != EEXIST) return nullptr;
  UniqueFd fd = open_fifo(path);
  if (!fd.valid()) return nullptr;
  // Held until the descriptor closes: openers see that the event has a live creator.
  while (flock(fd.get(), LOCK_SH) != 0) {
    if (errno != EINTR) return nullptr;
  }
  return std::make_unique<DescriptorEvent>(std::move(fd), reset);
}

std::unique_ptr<SignalEvent> open_event(const std::string& name) {
  for (const EventReset reset : {EventReset::Auto, EventReset::Manual}) {
    UniqueFd fd = open_fifo(event_file(name, reset));
    if (!fd.valid()) continue;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) continue;  // nobody holds it: its creator is gone
    return std::make_unique<DescriptorEvent>(std::move(fd), reset);
  }
  return nullptr;
}

int wait_for_any(std::span<Waitable* const> objects, std::uint32_t timeout_ms) {
  std::vector<pollfd> fds;
  for (Waitable* object : objects) {
    fds.push_back(pollfd{static_cast<int>(object->wait_handle()), POLLIN, 0});
  }
  const std::uint64_t deadline_us = monotonic_us() + std::uint64_t{timeout_ms} * 1000;
  while (true) {
    int wait_ms = -1;
    if (timeout_ms != kWaitForever) {
      const std::uint64_t now = monotonic_us();
      wait_ms = now >= deadline_us ? 0 : static_cast<int>((deadline_us - now + 999) / 1000);
    }
    const int ready = poll(fds.data(), fds.size(), wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    if (ready == 0) return kWaitTimedOut;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & POLLNVAL) return kWaitFailed;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        objects[i]->waited();
        return static_cast<int>(i);
      }
    }
  }
}

}  // namespace tolvi::platform
