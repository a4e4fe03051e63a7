#include "platform/linux/console_tray_start.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "base/log.h"
#include "platform/linux/console_desktop.h"
#include "platform/linux/file_settings_backend.h"
#include "platform/linux/install_root.h"
#include "platform/linux/user_command.h"

extern char** environ;

namespace tolvi::platform {
namespace {

constexpr char kSearchPath[] = "/usr/local/bin:/usr/bin:/bin";
// Of the installer's own environment the tray keeps only the language and the install root.
constexpr const char* kKeptVariables[] = {"LANG", "LC_ALL", "TOLVI_INSTALL_ROOT"};
constexpr int kExecFailedCode = 127;
constexpr int kGroupGuess = 64;

bool owned_by(const std::string& path, uid_t uid, mode_t type) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == type && info.st_uid == uid;
}

// What the tray needs of the person's session; the rest of a desktop's variables it does not use.
std::vector<std::string> tray_environment(const CommandUser& user, const ConsoleDesktop& desktop) {
  std::vector<std::string> environment{
      "HOME=" + user.home,          "USER=" + user.name,
      "LOGNAME=" + user.name,       "PATH=" + std::string(kSearchPath),
      "DISPLAY=" + desktop.display,
  };
  // A cookie file of the X server's own is root's; without XAUTHORITY the person's X library
  // reads ~/.Xauthority instead.
  if (!desktop.xauthority.empty() && owned_by(desktop.xauthority, user.uid, S_IFREG)) {
    environment.push_back("XAUTHORITY=" + desktop.xauthority);
  }
  const std::string runtime = "/run/user/" + std::to_string(user.uid);
  if (owned_by(runtime, user.uid, S_IFDIR)) {
    environment.push_back("XDG_RUNTIME_DIR=" + runtime);
    if (owned_by(runtime + "/bus", user.uid, S_IFSOCK)) {
      environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    }
  }
  for (const char* name : kKeptVariables) {
    if (const char* value = std::getenv(name))
      environment.push_back(std::string(name) + "=" + value);
  }
  return environment;
}

std::vector<gid_t> groups_of(const CommandUser& user) {
  std::vector<gid_t> groups(kGroupGuess);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(static_cast<std::size_t>(count));
  return groups;
}

}  // namespace

bool start_tray_for_console_user(const std::string& program) {
  const std::optional<ConsoleDesktop> desktop = console_desktop();
  if (!desktop) {
    log_message("install: no X display at the console; the tray starts at the next sign-in");
    return false;
  }
  std::optional<uid_t> uid = desktop->user;
  if (!uid) {
    uid = FileSettingsBackend::elevating_user(std::getenv("PKEXEC_UID"), std::getenv("SUDO_UID"));
  }
  CommandUser user;
  if (!uid || !lookup_user(*uid, user)) {
    log_message("install: nobody to start the tray for on %s; it starts at the next sign-in",
                desktop->display.c_str());
    return false;
  }

  // Everything is prepared before fork: the child only switches user and runs the program.
  const std::string path = under_install_root(program).string();
  std::vector<std::string> environment = tray_environment(user, *desktop);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string argv0 = path;
  char* argv[] = {argv0.data(), nullptr};
  const std::vector<gid_t> groups = groups_of(user);
  const bool switch_user = geteuid() == 0 && user.uid != 0;

  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // The grandchild becomes the tray, in a session of its own; the child ends at once, so the
    // tray belongs to no one here and nothing waits for it.
    if (fork() != 0) _exit(0);
    setsid();
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDOUT_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    closefrom(STDERR_FILENO + 1);
    if (switch_user && (setgroups(groups.size(), groups.data()) != 0 || setgid(user.gid) != 0 ||
                        setuid(user.uid) != 0)) {
      _exit(kExecFailedCode);
    }
    if (chdir(user.home.c_str()) != 0) (void)!chdir("/");
    execve(path.c_str(), argv, envp.data());
    _exit(kExecFailedCode);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  log_message("install: tray started for %s on %s", user.name.c_str(), desktop->display.c_str());
  return true;
}

}  // namespace tolvi::platform
