#include "platform/linux/console_tray_start.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "base/log.h"
#include "platform/linux/console_desktop.h"
#include "platform/linux/file_settings_backend.h"
#include "platform/linux/install_root.h"
#include "platform/linux/spawn_program.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/user_command.h"

namespace tolvi::platform {
namespace {

constexpr char kSearchPath[] = "/usr/local/bin:/usr/bin:/bin";
// Of the installer's own environment the tray keeps only the language and the install root.
constexpr const char* kKeptVariables[] = {"LANG", "LC_ALL", "TOLVI_INSTALL_ROOT"};

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

  // The tray runs in a session of its own, as that account, with nothing of ours but its
  // environment; nobody here waits for it.
  const std::string path = under_install_root(program).string();
  const std::vector<std::string> environment = tray_environment(user, *desktop);
  const UniqueFd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null_fd.valid()) return false;
  SpawnOptions options;
  options.descriptors = {{null_fd.get(), STDIN_FILENO},
                         {null_fd.get(), STDOUT_FILENO},
                         {null_fd.get(), STDERR_FILENO}};
  options.close_from_3 = true;
  options.new_session = true;
  options.working_folder = user.home;
  if (geteuid() == 0 && user.uid != 0) {
    options.identity = SpawnIdentity{user.uid, user.gid, account_groups(user)};
  }
  pid_t pid = -1;
  if (const int error = spawn_program({path}, options, pid, &environment); error != 0) {
    log_message("install: the tray could not be started for %s (error %d)", user.name.c_str(),
                error);
    return false;
  }
  reap_when_done(pid);
  log_message("install: tray started for %s on %s", user.name.c_str(), desktop->display.c_str());
  return true;
}

}  // namespace tolvi::platform
