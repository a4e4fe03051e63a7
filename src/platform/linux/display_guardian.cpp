#include "platform/linux/display_guardian.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace tolvi::platform {
namespace {

// A program this process may start: executable, and for root only one that root owns and
// nobody else may change (a root host never runs what another account could have put there).
bool trusted_program(const std::filesystem::path& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || access(path.c_str(), X_OK) != 0) {
    return false;
  }
  return geteuid() != 0 || (info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

}  // namespace

std::filesystem::path guardian_path() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::filesystem::path beside = self.parent_path() / kDisplayGuardianName;
    if (trusted_program(beside)) return beside;
  }
#ifdef TOLVI_DISPLAY_GUARDIAN_BUILD_PATH
  if (trusted_program(TOLVI_DISPLAY_GUARDIAN_BUILD_PATH)) return TOLVI_DISPLAY_GUARDIAN_BUILD_PATH;
#endif
  return {};
}

UniqueFd start_guardian(const std::vector<std::string>& arguments) {
  const std::filesystem::path program = guardian_path();
  if (program.empty()) return {};
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {};
  UniqueFd ours(ends[0]), theirs(ends[1]);
  const std::string program_text = program.string();
  std::vector<char*> argv{const_cast<char*>(program_text.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs.get(), 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program_text.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {};
  // Nobody waits for it: when it ends it is reaped by whoever adopted it, or stays a zombie of
  // ours until we end, as before. Our copy of its end is closed with `theirs`.
  shutdown(ours.get(), SHUT_RD);
  return ours;
}

}  // namespace tolvi::platform
