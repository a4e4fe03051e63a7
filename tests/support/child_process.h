#pragma once
// A child process for end-to-end tests and the servers they need (XvfbServer): run with DISPLAY
// set (or an environment of its own), its standard output and error in a file; stopped
// (SIGTERM, also when it goes) or killed (SIGKILL) by the test.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tolvi::testing {

inline std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// This process's environment without the entries that start with any of `dropped`.
inline std::vector<std::string> inherited_environment(std::initializer_list<const char*> dropped) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    bool keep = true;
    for (const char* prefix : dropped)
      keep = keep && std::strncmp(*e, prefix, std::strlen(prefix)) != 0;
    if (keep) env.emplace_back(*e);
  }
  return env;
}

// Starts `args` with exactly `env`, its standard output and error in `output_path`; a program
// named without a slash is looked up in PATH. `passed_fd`, unless -1, stays open in the child
// under its own number (a descriptor the child is told about on its command line). -1 when it
// could not be started.
inline pid_t spawn_with_output(const std::vector<std::string>& args,
                               const std::vector<std::string>& env,
                               const std::string& output_path, int passed_fd = -1) {
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // Duplicating a descriptor onto itself clears its close-on-exec flag (glibc 2.29 and later).
  if (passed_fd >= 0) posix_spawn_file_actions_adddup2(&actions, passed_fd, passed_fd);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// This process's environment with DISPLAY set to `display`.
inline std::vector<std::string> environment_on(const std::string& display) {
  std::vector<std::string> env = inherited_environment({"DISPLAY="});
  env.push_back("DISPLAY=" + display);
  return env;
}

class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& args, const std::string& display,
               const std::string& output_path)
      : ChildProcess(args, environment_on(display), output_path) {}
  // With exactly `env`, keeping `passed_fd` open (see spawn_with_output).
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env,
               const std::string& output_path, int passed_fd = -1)
      : pid_(spawn_with_output(args, env, output_path, passed_fd)) {}
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  // The exit code, or -1 when it did not end in time (it is then stopped).
  int wait(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return -1;
  }
  void stop(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace tolvi::testing
