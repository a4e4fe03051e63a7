#pragma once
#include <poll.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"
#include "support/child_process.h"

namespace tolvi::testing {

// A private Xvfb for a test process: the server picks a free display itself (-displayfd) and
// says when it is ready. -noreset keeps its state when the last client leaves. Started at
// 3840x2160 by default because RandR can never grow a screen beyond its start-up size; tests
// that never grow it may ask for a smaller screen ("WxHxDEPTH").
class XvfbServer {
 public:
  explicit XvfbServer(const std::string& screen = "3840x2160x24") {
    platform::UniqueFd ready, write_end;
    if (!platform::make_pipe(ready, write_end)) return;
    server_.emplace(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(write_end.get()),
                                             "-screen", "0", screen, "-noreset", "-nolisten",
                                             "tcp"},
                    inherited_environment({}), "/dev/null", write_end.get());
    write_end.reset();  // the server's copy alone: the read below ends if the server does
    if (!server_->started()) return;
    std::string number;
    pollfd readable{ready.get(), POLLIN, 0};
    char c = 0;
    while (poll(&readable, 1, 20000) == 1 && read(ready.get(), &c, 1) == 1 && c != '\n') {
      number += c;
    }
    if (!number.empty()) display_ = ":" + number;
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N" once the server is ready, "" when it could not be started.
  const std::string& display() const { return display_; }

  void stop() {
    if (server_) server_->stop();
  }

 private:
  std::optional<ChildProcess> server_;
  std::string display_;
};

}  // namespace tolvi::testing
