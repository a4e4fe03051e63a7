#pragma once
// `tolvi-host --test-host PORT PASSWORD` on a display, for end-to-end tests and benchmarks.
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/eventually.h"

namespace tolvi::testing {

// True once the file at `path` holds `text`, read again every 20 ms for up to `seconds`.
inline bool file_shows(const std::string& path, const std::string& text, double seconds = 10) {
  return eventually([&] { return read_text_file(path).find(text) != std::string::npos; },
                    std::chrono::milliseconds(static_cast<long long>(seconds * 1000)),
                    std::chrono::milliseconds(20));
}

// A test host on `display`, its output in `log_path`. It listens on a random port of
// 20000..59999: a few ports are tried, since another process may hold one, each given up to
// 10 s to say it listens. started() is false when none came up.
class TestHost {
 public:
  TestHost(const std::string& program, const std::string& password, const std::string& display,
           const std::string& log_path) {
    std::mt19937 random(static_cast<unsigned>(getpid()));
    for (int attempt = 0; attempt < kAttempts && !child_; ++attempt) {
      const std::string port = std::to_string(kFirstPort + random() % kPortRange);
      auto child = std::make_unique<ChildProcess>(
          std::vector<std::string>{program, "--test-host", port, password}, display, log_path);
      if (file_shows(log_path, "listening on port " + port)) {
        child_ = std::move(child);
        port_ = port;
      }
    }
  }

  bool started() const { return child_ != nullptr; }
  const std::string& port() const { return port_; }
  // Ends the host (SIGTERM: in order; SIGKILL: as a crash would).
  void stop(int signal = SIGTERM) {
    if (child_) child_->stop(signal);
  }

 private:
  static constexpr int kAttempts = 5;
  static constexpr unsigned kFirstPort = 20000;
  static constexpr unsigned kPortRange = 40000;

  std::unique_ptr<ChildProcess> child_;
  std::string port_;
};

}  // namespace tolvi::testing
