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

#include "platform/linux/unique_fd.h"

namespace tolvi::platform {

namespace {

constexpr int kExecFailedCode = 127;
constexpr std::size_t kReadPiece = 1024;
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
  // Everything the child needs is prepared before fork: after it, only calls that are safe in
  // the child of a threaded process.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const bool switch_user = user && geteuid() == 0 && user->uid != 0;
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (switch_user &&
        (entry.rfind("HOME=", 0) == 0 || entry.rfind("USER=", 0) == 0 ||
         entry.rfind("LOGNAME=", 0) == 0 || entry.rfind("XDG_RUNTIME_DIR=", 0) == 0 ||
         entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0)) {
      continue;
    }
    env_text.push_back(entry);
  }
  if (switch_user) {
    const std::string runtime = "/run/user/" + std::to_string(user->uid);
    env_text.push_back("HOME=" + user->home);
    env_text.push_back("USER=" + user->name);
    env_text.push_back("LOGNAME=" + user->name);
    env_text.push_back("XDG_RUNTIME_DIR=" + runtime);
    env_text.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
  }
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);

  UniqueFd out_read, out_write;
  // Tells the parent whether exec worked: closed by a successful exec, written on failure.
  UniqueFd exec_read, exec_write;
  if (!make_pipe(out_read, out_write) || !make_pipe(exec_read, exec_write)) return false;
  UniqueFd null_fd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const pid_t child = fork();
  if (child == 0) {
    bool ok = null_fd.valid() && dup2(null_fd.get(), STDIN_FILENO) >= 0 &&
              dup2(out_write.get(), STDOUT_FILENO) >= 0 &&
              dup2(out_write.get(), STDERR_FILENO) >= 0;
    if (ok && switch_user) {
      ok = setgroups(0, nullptr) == 0 && setgid(user->gid) == 0 && setuid(user->uid) == 0;
    }
    if (ok) execvpe(args[0], args.data(), env.data());
    const int error = errno;
    ssize_t ignored = write(exec_write.get(), &error, sizeof error);
    (void)ignored;
    _exit(kExecFailedCode);
  }
  // The parent keeps only the read ends, so each read ends when the child's copies close.
  null_fd.reset();
  out_write.reset();
  exec_write.reset();
  if (child < 0) return false;
  int exec_error = 0;
  const bool exec_failed = read(exec_read.get(), &exec_error, sizeof exec_error) > 0;
  exec_read.reset();
  if (exec_failed) {
    waitpid(child, nullptr, 0);
    return false;
  }

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
