#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern char** environ;

namespace tolvi::testing {

// A private Xvfb for a test process: the server picks a free display itself (-displayfd) and
// says when it is ready. -noreset keeps its state when the last client leaves. Started at
// 3840x2160 by default because RandR can never grow a screen beyond its start-up size; tests
// that never grow it may ask for a smaller screen ("WxHxDEPTH").
class XvfbServer {
 public:
  explicit XvfbServer(const std::string& screen = "3840x2160x24") {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    // The write end must survive exec: Xvfb writes the display number into it.
    fcntl(fds[1], F_SETFD, 0);
    const std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb",         "-displayfd", fd.c_str(),  "-screen", "0",
                          screen.c_str(), "-noreset",   "-nolisten", "tcp",     nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned =
        posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
      pid_ = -1;
      close(fds[0]);
      return;
    }
    std::string number;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, 20000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~XvfbServer() { stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // ":N" once the server is ready, "" when it could not be started.
  const std::string& display() const { return display_; }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace tolvi::testing
