#pragma once
#include <string>

#include "platform/linux/unique_fd.h"

namespace tolvi::platform {

// A logind inhibitor lock for idle and sleep, as `systemd-inhibit --what=idle:sleep` takes it:
// org.freedesktop.login1.Manager.Inhibit on the system bus returns a file descriptor, and the
// lock lasts until every copy of it is closed (so also when the process dies).
class LogindInhibitor {
 public:
  enum class Result { kTaken, kNoLogind, kRefused };

  LogindInhibitor() = default;
  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;

  // Takes the lock (nothing when it is held already). kNoLogind when there is no system bus or
  // no logind on it; kRefused for any other failure, with the bus's error in `error`.
  Result take(std::string& error);
  void release() { fd_.reset(); }
  bool held() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
};

}  // namespace tolvi::platform
