#include "platform/linux/display_guardian.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/spawn_program.h"

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
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SpawnOptions options;
  options.descriptors = {{theirs.get(), STDIN_FILENO}};
  options.close_from_3 = true;
  options.new_session = true;
  pid_t pid = -1;
  const int spawned = spawn_program(argv, options, pid);
  if (spawned != 0) return {};
  // Nobody waits for it: when it ends it is reaped by whoever adopted it, or stays a zombie of
  // ours until we end, as before. Our copy of its end is closed with `theirs`.
  shutdown(ours.get(), SHUT_RD);
  return ours;
}

}  // namespace tolvi::platform
