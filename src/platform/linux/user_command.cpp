#include "user_command.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/linux/spawn_program.h"
#include "platform/linux/unique_fd.h"

namespace tolvi::platform {

namespace {

constexpr std::size_t kReadPiece = 1024;
// Room for this many groups is tried first; getgrouplist says how many more it needs.
constexpr int kGroupGuess = 64;
constexpr int kPollSliceMs = 100;
constexpr char kSeat[] = "seat0";
extern "C" char** environ;

}  // namespace

namespace {

// Runs getpwuid_r or getpwnam_r (`find`, given the entry and its buffer) and copies the entry.
template <typename Find>
bool read_user(Find find, CommandUser& out) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (find(entry, buffer, found) != 0 || !found) return false;
  out.uid = found->pw_uid;
  out.gid = found->pw_gid;
  out.name = found->pw_name;
  out.home = found->pw_dir;
  return true;
}

}  // namespace

bool lookup_user(uid_t uid, CommandUser& out) {
  return read_user(
      [uid](passwd& entry, std::vector<char>& buffer, passwd*& found) {
        return getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
      },
      out);
}

bool lookup_user(const std::string& name, CommandUser& out) {
  return read_user(
      [&name](passwd& entry, std::vector<char>& buffer, passwd*& found) {
        return getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
      },
      out);
}

std::vector<gid_t> account_groups(const CommandUser& user) {
  std::vector<gid_t> groups(kGroupGuess);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(static_cast<std::size_t>(count));
  return groups;
}

bool console_user(CommandUser& out) {
  uid_t uid = getuid();
  char* session = nullptr;
  uid_t seat_uid = 0;
  if (sd_seat_get_active(kSeat, &session, &seat_uid) >= 0) uid = seat_uid;
  std::free(session);
  return lookup_user(uid, out);
}

bool run_command(const std::vector<std::string>& argv, const CommandUser* user, int timeout_ms,
                 std::string& output, int& exit_code) {
  output.clear();
  exit_code = -1;
  if (argv.empty()) return false;
  const bool switch_user = user && geteuid() == 0 && user->uid != 0;
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (switch_user &&
        (entry.rfind("HOME=", 0) == 0 || entry.rfind("USER=", 0) == 0 ||
         entry.rfind("LOGNAME=", 0) == 0 || entry.rfind("XDG_RUNTIME_DIR=", 0) == 0 ||
         entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0)) {
      continue;
    }
    environment.push_back(entry);
  }
  SpawnOptions options;
  if (switch_user) {
    const std::string runtime = "/run/user/" + std::to_string(user->uid);
    environment.push_back("HOME=" + user->home);
    environment.push_back("USER=" + user->name);
    environment.push_back("LOGNAME=" + user->name);
    environment.push_back("XDG_RUNTIME_DIR=" + runtime);
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    options.identity = SpawnIdentity{user->uid, user->gid, {}};  // no supplementary groups
  }

  UniqueFd out_read, out_write;
  if (!make_pipe(out_read, out_write)) return false;
  const UniqueFd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_fd.valid()) return false;
  options.descriptors = {{null_fd.get(), STDIN_FILENO},
                         {out_write.get(), STDOUT_FILENO},
                         {out_write.get(), STDERR_FILENO}};
  options.search_path = true;
  pid_t child = -1;
  if (spawn_program(argv, options, child, &environment) != 0) return false;
  // Only the read end stays here, so the read ends when the child's copies close.
  out_write.reset();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool exited = false;
  int status = 0;
  bool output_open = true;
  char piece[kReadPiece];
  while (!exited || output_open) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    if (output_open) {
      pollfd p{out_read.get(), POLLIN, 0};
      // Once the program has ended, whatever it left behind (a daemon it started may keep the
      // pipe open) is read without waiting.
      if (poll(&p, 1, exited ? 0 : kPollSliceMs) > 0) {
        const ssize_t got = read(out_read.get(), piece, sizeof piece);
        if (got > 0) {
          output.append(piece, static_cast<std::size_t>(got));
          continue;
        }
        output_open = false;
      } else if (exited) {
        output_open = false;
      }
    } else {
      usleep(kPollSliceMs * 1000);
    }
    if (!exited && waitpid(child, &status, WNOHANG) == child) exited = true;
  }
  out_read.reset();
  if (!exited) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return true;  // exit_code stays -1
  }
  exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

}  // namespace tolvi::platform
