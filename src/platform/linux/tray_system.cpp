// What the tray needs from the system beside its toolkit: the single-instance claim, the local
// addresses and the service's state (service_state.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/linux/service_state.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/user_command.h"
#include "platform/tray.h"

namespace tolvi::platform {
namespace {

constexpr char kInstanceLockName[] = "tolvi-host-tray.lock";
// The status poll runs on the tray's thread every 1.5 s: a hanging systemctl must not hold it.
constexpr int kSystemctlTimeoutMs = 1000;

// A folder of this user's own: the runtime folder, else the configuration folder (made private
// when missing). Never a shared one, where another account could plant a link or hold the lock.
std::filesystem::path instance_lock_path() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return std::filesystem::path(runtime) / kInstanceLockName;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path folder;
  if (config && config[0] == '/') {
    folder = config;
  } else if (home && home[0] == '/') {
    folder = std::filesystem::path(home) / ".config";
  } else {
    return {};
  }
  folder /= "tolvi-host";
  std::error_code ec;
  std::filesystem::create_directories(folder.parent_path(), ec);
  mkdir(folder.c_str(), 0700);
  return folder / kInstanceLockName;
}

}  // namespace

bool claim_tray_instance() {
  const std::filesystem::path path = instance_lock_path();
  if (path.empty()) return true;  // no folder of our own: better two icons than none
  // Not through a link, and only a lock file that is ours. The descriptor stays open (and the
  // lock held) until the process ends.
  UniqueFd lock(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
  struct stat info {};
  if (!lock.valid() || fstat(lock.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_uid != geteuid()) {
    return true;
  }
  if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) return false;
  lock.release();
  return true;
}

std::vector<std::string> local_ipv4_addresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    if (!(a->ifa_flags & IFF_UP) || !(a->ifa_flags & IFF_RUNNING)) continue;
    if (a->ifa_flags & IFF_LOOPBACK) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) addresses.emplace_back(text);
  }
  freeifaddrs(list);
  return addresses;
}

// Installed: the unit is in place and enabled, whether --install wrote it or a package
// brought it.
bool is_service_installed() { return service_unit_enabled(); }

// Running: a service process holds its marker (by hand, or where systemd does not run), or
// systemd has the unit active or on its way there.
bool is_service_running() {
  if (service_marker_held()) return true;
  if (!systemd_runs()) return false;
  std::string state;
  int exit_code = -1;
  if (!run_command({"systemctl", "is-active", kServiceUnitName}, nullptr, kSystemctlTimeoutMs,
                   state, exit_code)) {
    return false;
  }
  while (!state.empty() && std::isspace(static_cast<unsigned char>(state.back()))) state.pop_back();
  return state == "active" || state == "activating" || state == "reloading";
}

}  // namespace tolvi::platform
