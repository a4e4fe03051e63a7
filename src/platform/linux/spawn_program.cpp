#include "platform/linux/spawn_program.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

namespace tolvi::platform {
namespace {

std::vector<char*> pointers(const std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (const std::string& text : texts) out.push_back(const_cast<char*>(text.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

int spawn_program(const std::vector<std::string>& argv, const SpawnOptions& options, pid_t& pid,
                  const std::vector<std::string>* environment) {
  if (argv.empty()) return EINVAL;
  const std::vector<char*> args = pointers(argv);
  std::vector<char*> env;
  if (environment) env = pointers(*environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, options.stdin_fd, 0);
  if (options.close_from_3) posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  short flags = 0;
  if (options.new_session) flags |= POSIX_SPAWN_SETSID;
  if (options.new_process_group) {
    posix_spawnattr_setpgroup(&attributes, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  if (options.default_signals) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int number : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, number);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  }
  posix_spawnattr_setflags(&attributes, flags);

  const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(),
                                environment ? env.data() : environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

}  // namespace tolvi::platform
