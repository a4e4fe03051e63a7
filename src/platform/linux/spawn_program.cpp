#include "platform/linux/spawn_program.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/linux/unique_fd.h"

namespace tolvi::platform {
namespace {

constexpr int kExecFailedCode = 127;
constexpr int kFirstInheritable = 3;

std::vector<char*> pointers(const std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (const std::string& text : texts) out.push_back(const_cast<char*>(text.c_str()));
  out.push_back(nullptr);
  return out;
}

bool placed(const SpawnOptions& options, int fd) {
  return std::any_of(options.descriptors.begin(), options.descriptors.end(),
                     [fd](const SpawnDescriptor& d) { return d.child_fd == fd; });
}

// Descriptors are placed in order; a later entry's source must not be a number an earlier entry
// has just filled.
bool descriptors_sound(const SpawnOptions& options) {
  for (const SpawnDescriptor& d : options.descriptors) {
    if (d.our_fd < 0 || d.child_fd < 0) return false;
    for (const SpawnDescriptor& other : options.descriptors) {
      if (&other != &d && other.child_fd == d.our_fd) return false;
    }
  }
  return true;
}

// The highest descriptor number placed in the child, or 2 when none lies above the standard three.
int highest_placed(const SpawnOptions& options) {
  int highest = kFirstInheritable - 1;
  for (const SpawnDescriptor& d : options.descriptors) highest = std::max(highest, d.child_fd);
  return highest;
}

// The folder the child starts in: the one asked for when this process may enter it, else "/".
std::string start_folder(const std::string& wanted) {
  return access(wanted.c_str(), X_OK) == 0 ? wanted : std::string("/");
}

int spawn_directly(const std::vector<char*>& args, char* const* env, const SpawnOptions& options,
                   pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const SpawnDescriptor& d : options.descriptors) {
    posix_spawn_file_actions_adddup2(&actions, d.our_fd, d.child_fd);
  }
  if (options.close_from_3) {
    const int highest = highest_placed(options);
    for (int fd = kFirstInheritable; fd <= highest; ++fd) {
      if (!placed(options, fd)) posix_spawn_file_actions_addclose(&actions, fd);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1);
  }
  const std::string folder =
      options.working_folder.empty() ? std::string() : start_folder(options.working_folder);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

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

  const int error = options.search_path
                        ? posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), env)
                        : posix_spawn(&pid, args[0], &actions, &attributes, args.data(), env);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

// In the forked copy: tells the parent the error number of the step that failed and ends.
[[noreturn]] void report_and_exit(int report_fd) {
  const int error = errno;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(kExecFailedCode);
}

// The steps of spawn_directly in a forked copy, the account last, then the program. Everything
// is prepared before the fork: the copy of a threaded process makes only async-signal-safe
// calls. A step that fails reports its error number on `report_fd`.
[[noreturn]] void run_as_account(const std::vector<char*>& args, char* const* env,
                                 const SpawnOptions& options, const SpawnIdentity& identity,
                                 int report_fd) {
  const auto fail = [report_fd] { report_and_exit(report_fd); };
  if (options.new_session && setsid() < 0) fail();
  if (options.new_process_group && setpgid(0, 0) != 0) fail();
  if (options.default_signals) {
    for (int number : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) signal(number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
  }
  // Every descriptor from 3 on closes at exec (the report pipe already does); the ones placed
  // below lose that mark again. Where the mark cannot be set nothing starts: another account's
  // program never inherits what it should not.
  if (options.close_from_3 &&
      close_range(kFirstInheritable, ~0u, CLOSE_RANGE_CLOEXEC) != 0) {
    fail();
  }
  for (const SpawnDescriptor& d : options.descriptors) {
    // dup2 onto itself keeps close-on-exec: that mark is taken off instead.
    if (d.our_fd == d.child_fd ? fcntl(d.child_fd, F_SETFD, 0) != 0
                               : dup2(d.our_fd, d.child_fd) < 0) {
      fail();
    }
  }
  if (setgroups(identity.groups.size(), identity.groups.data()) != 0 ||
      setgid(identity.gid) != 0 || setuid(identity.uid) != 0) {
    fail();
  }
  if (!options.working_folder.empty() && chdir(options.working_folder.c_str()) != 0 &&
      chdir("/") != 0) {
    fail();
  }
  if (options.search_path) {
    execvpe(args[0], args.data(), env);
  } else {
    execve(args[0], args.data(), env);
  }
  report_and_exit(report_fd);
}

int spawn_as_account(const std::vector<char*>& args, char* const* env,
                     const SpawnOptions& options, pid_t& pid) {
  // Closed by a successful exec, written with the error number of a failed step.
  UniqueFd report_read, pipe_write;
  if (!make_pipe(report_read, pipe_write)) return errno;
  // Above every number the child's descriptors take, so that placing them never overwrites it.
  UniqueFd report_write(fcntl(pipe_write.get(), F_DUPFD_CLOEXEC, highest_placed(options) + 1));
  if (!report_write.valid()) return errno;
  pipe_write.reset();
  const pid_t child = fork();
  if (child < 0) return errno;
  if (child == 0) run_as_account(args, env, options, *options.identity, report_write.get());
  report_write.reset();  // the read ends when the child's copy closes
  int error = 0;
  ssize_t got = 0;
  do {
    got = read(report_read.get(), &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return error != 0 ? error : ECHILD;
  }
  pid = child;
  return 0;
}

}  // namespace

int spawn_program(const std::vector<std::string>& argv, const SpawnOptions& options, pid_t& pid,
                  const std::vector<std::string>* environment) {
  if (argv.empty() || !descriptors_sound(options)) return EINVAL;
  const std::vector<char*> args = pointers(argv);
  std::vector<char*> env;
  if (environment) env = pointers(*environment);
  char* const* envp = environment ? env.data() : environ;
  return options.identity ? spawn_as_account(args, envp, options, pid)
                          : spawn_directly(args, envp, options, pid);
}

void reap_when_done(pid_t pid) {
  std::thread([pid] {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace tolvi::platform
