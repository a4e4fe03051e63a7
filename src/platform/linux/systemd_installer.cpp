// Installation on Linux: the program in /opt/tolvi, a systemd unit, the menu entry, the tray's
// machine autostart entry (written by the settings store), a port opened in ufw or firewalld,
// and the manifest /var/lib/tolvi-host/manifest of every path and firewall opening this wrote.
// Removal takes away what the manifest lists and nothing else. Every path sits under the
// install root (install_root.h).
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "base/linux/install_root.h"
#include "base/log.h"
#include "platform/installer.h"
#include "platform/linux/console_tray_start.h"
#include "platform/linux/display_guardian.h"
#include "platform/linux/program_processes.h"
#include "platform/linux/service_state.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/user_command.h"
#include "platform/process.h"
#include "platform/text.h"

namespace tolvi::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kInstallDirectory[] = "/opt/tolvi";
constexpr char kInstalledExecutable[] = "/opt/tolvi/tolvi-host";
constexpr char kInstalledGuardian[] = "/opt/tolvi/tolvi-display-guardian";
// The installed program on every account's PATH, as the README's commands use it.
constexpr char kCommandLink[] = "/usr/bin/tolvi-host";
constexpr char kServiceDisplayName[] = "Tolvi Host";
// The unit's description in this system's words: Linux has no UAC prompts, and its sign-in
// screen is the login screen.
constexpr char kLinuxServiceDescription[] =
    "Tolvi remote desktop host. Works at the login screen and the lock screen.";
constexpr char kMenuEntry[] = "/usr/share/applications/tolvi-host.desktop";
constexpr char kStateFolder[] = "/var/lib/tolvi-host";
constexpr char kManifest[] = "/var/lib/tolvi-host/manifest";
constexpr char kUninstallEntry[] = "/var/lib/tolvi-host/uninstall-entry";

// What the settings store makes in the machine scope while installing (with their parents).
// The manifest takes those that were not there before, so removal leaves nothing behind.
constexpr const char* kSettingsPaths[] = {
    "/etc",
    "/etc/tolvi-host",
    "/etc/tolvi-host/settings",
    "/etc/tolvi-host/settings.lock",
    "/etc/xdg",
    "/etc/xdg/autostart",
    "/etc/xdg/autostart/tolvi-host.desktop",
    "/var",
    "/var/lib",
    "/var/lib/tolvi-host",
    "/var/lib/tolvi-host/machine.key",
};

constexpr char kPathRecord[] = "path ";
constexpr char kFirewallRecord[] = "firewall ";
constexpr char kUfw[] = "ufw";
constexpr char kFirewalld[] = "firewalld";

// Helper programs (systemctl, ufw, firewall-cmd) get this long, as on Windows.
constexpr int kCommandTimeoutMs = 30000;
constexpr auto kCopyEndWait = 3000ms;
constexpr auto kExitPoll = 50ms;
constexpr mode_t kFolderMode = 0755, kFileMode = 0644, kProgramMode = 0755;

bool run(const std::vector<std::string>& argv, std::string* output = nullptr) {
  std::string text;
  int exit_code = -1;
  const bool started = run_command(argv, nullptr, kCommandTimeoutMs, text, exit_code);
  if (output) *output = text;
  return started && exit_code == 0;
}

std::string desktop_entry(const std::string& name, const std::string& comment,
                          const std::string& exec) {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nComment=" + comment +
         "\nExec=" + exec + "\nTerminal=false\nCategories=Network;RemoteAccess;\n";
}

// Waits up to `limit` for process `pid` to end (a pidfd turns readable when it does).
void wait_for_exit(pid_t pid, std::chrono::milliseconds limit) {
  const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (pidfd.valid()) {
    pollfd watch{pidfd.get(), POLLIN, 0};
    poll(&watch, 1, static_cast<int>(limit.count()));
    return;
  }
  for (auto waited = 0ms; waited < limit && kill(pid, 0) == 0; waited += kExitPoll) {
    std::this_thread::sleep_for(kExitPoll);
  }
}

class SystemdInstaller final : public Installer {
 public:
  bool is_elevated() override { return geteuid() == 0; }

  bool run_elevated(const std::string& arguments) override {
    return platform::run_elevated(arguments, true);
  }

  void show_message(const std::string& text, bool error) override {
    std::fprintf(stderr, "%s%s\n", error ? "tolvi-host: " : "", text.c_str());
  }

  void begin_changes() override {
    records_.clear();
    std::ifstream manifest(under_install_root(kManifest));
    for (std::string line; std::getline(manifest, line);) {
      if (!line.empty()) records_.insert(line);
    }
    settings_paths_before_.clear();
    for (const char* path : kSettingsPaths) {
      if (exists(path)) settings_paths_before_.insert(path);
    }
    // What a package brought is the package's: never replaced, recorded or removed here, so a
    // manifest of an earlier installation that took such a path lets go of it.
    std::vector<std::string> asked{kInstalledExecutable, kInstalledGuardian,      kInstallDirectory,
                                   kMenuEntry,           kPackageServiceUnitFile, kCommandLink};
    for (const std::string& record : records_) {
      if (record.starts_with(kPathRecord)) asked.push_back(record.substr(sizeof kPathRecord - 1));
    }
    package_paths_ = package_owned(asked);
    for (const std::string& path : package_paths_) records_.erase(kPathRecord + path);
  }

  void end_changes(bool removing) override {
    if (!removing) {
      for (const char* path : kSettingsPaths) {
        if (!settings_paths_before_.count(path) && exists(path)) {
          records_.insert(kPathRecord + std::string(path));
        }
      }
      save_manifest();
      return;
    }
    // Children before their folders: in descending order a path comes before its parent.
    std::vector<std::string> paths;
    for (const std::string& record : records_) {
      if (record.starts_with(kPathRecord)) paths.push_back(record.substr(sizeof kPathRecord - 1));
    }
    paths.push_back(kManifest);
    std::sort(paths.rbegin(), paths.rend());
    for (const std::string& path : paths) unlink_path(path);
    records_.clear();
  }

  bool open_service_manager() override { return true; }
  void close_service_manager() override {}

  void stop_and_delete_service() override {
    const bool installed = exists(kServiceUnitFile) || exists(kServiceUnitLink);
    if (!installed) return;
    if (systemd_runs()) {
      run({"systemctl", "stop", kServiceUnitName});
      run({"systemctl", "disable", kServiceUnitName});
    }
    remove_path(kServiceUnitLink);
    // `systemctl disable` has reloaded for the link; a removed unit file needs one more.
    const bool had_unit_file = exists(kServiceUnitFile);
    remove_path(kServiceUnitFile);
    if (had_unit_file && systemd_runs()) run({"systemctl", "daemon-reload"});
  }

  // Only the processes that run the installed program (the file now, or the one it replaced):
  // a name says nothing here, where anyone may run a program called tolvi-host from anywhere.
  void terminate_other_copies(const std::function<bool(std::string_view)>&) override {
    std::vector<pid_t> copies =
        processes_running(under_install_root("/proc"), kInstalledExecutable, getpid());
    // The copy that asked for this installation goes too, wherever it runs from: a tray that
    // pkexec replaced itself with us for is our parent and runs our program. The installed tray
    // takes its place; left running, its host would keep the port from the service's agent.
    const pid_t parent = getppid();
    std::error_code ec;
    if (parent > 1 &&
        fs::equivalent("/proc/self/exe", fs::path("/proc") / std::to_string(parent) / "exe", ec)) {
      copies.push_back(parent);
    }
    for (const pid_t pid : copies) {
      // SIGTERM first: a tray or host puts the display back before it goes.
      if (kill(pid, SIGTERM) != 0) continue;
      wait_for_exit(pid, kCopyEndWait);
      if (kill(pid, 0) == 0) kill(pid, SIGKILL);
    }
  }

  void pause(std::chrono::milliseconds time) override { std::this_thread::sleep_for(time); }

  std::string install_directory() override { return kInstallDirectory; }
  std::string installed_executable() override { return kInstalledExecutable; }
  std::string shortcut_path() override { return kMenuEntry; }
  std::string running_executable() override { return to_utf8(module_path()); }

  bool runs_installed_executable() override {
    std::error_code ec;
    return fs::equivalent(under_install_root(kInstalledExecutable), running_executable(), ec);
  }

  std::optional<std::uint64_t> file_size(const std::string& path) override {
    std::error_code ec;
    const auto size = fs::file_size(under_install_root(path), ec);
    if (ec) return std::nullopt;
    return size;
  }

  // Linux keeps no list of files to delete at the next start.
  std::optional<std::u16string> read_pending_renames() override { return std::nullopt; }
  bool write_pending_renames(const std::optional<std::u16string>&) override { return false; }

  void create_install_directory() override { make_folders(kInstallDirectory); }

  // The program, and the display guardian from beside it to beside the installed program (a
  // host without one cannot put the display back after a crash; that is logged, not fatal).
  bool copy_executable(const std::string& from, const std::string& to) override {
    if (!copy_program(from, to)) return false;
    const fs::path guardian = fs::path(from).parent_path() / kDisplayGuardianName;
    const std::string installed_guardian =
        (fs::path(to).parent_path() / kDisplayGuardianName).string();
    if (!copy_program(guardian, installed_guardian)) {
      log_message(
          "install: no %s to install beside the program; display changes are not undone "
          "when the host ends unexpectedly",
          guardian.c_str());
    }
    link_command(to);
    return true;
  }

  // One unit: the package's own where a package brought one (the same text), else the one
  // written here. Enabled the way `systemctl enable` does it for WantedBy=multi-user.target, so
  // it holds without a running systemd too; systemd hears of it in configure_service.
  bool create_service(const std::string& command) override {
    service_command_ = command;
    const bool packaged = package_paths_.count(kPackageServiceUnitFile) > 0;
    if (!packaged && !write_unit(kServiceDisplayName, {})) return false;
    make_folders(fs::path(kServiceUnitLink).parent_path().string());
    std::error_code ec;
    fs::remove(under_install_root(kServiceUnitLink), ec);
    fs::create_symlink(packaged ? kPackageServiceUnitFile : kServiceUnitFile,
                       under_install_root(kServiceUnitLink), ec);
    if (!ec) record(kServiceUnitLink);
    return true;
  }

  void configure_service(const std::string& description,
                         const std::vector<std::chrono::milliseconds>& restart_delays,
                         std::chrono::seconds /*reset_period: systemd has none*/) override {
    (void)description;  // Windows words; the unit has its own
    if (!package_paths_.count(kPackageServiceUnitFile)) {
      write_unit(kLinuxServiceDescription, restart_delays);
    }
    if (systemd_runs()) run({"systemctl", "daemon-reload"});
  }

  ServiceStart start_service() override {
    if (!systemd_runs()) return ServiceStart::NoServiceManager;
    return run({"systemctl", "start", kServiceUnitName}) ? ServiceStart::Started
                                                         : ServiceStart::Failed;
  }

  // Any process of the console's user may press Ctrl+Alt+Delete through XTest; there is no
  // system setting that reserves it for services.
  bool has_secure_attention_policy() override {
    log_message(
        "install: Linux has no Ctrl+Alt+Del policy to set: a client's Ctrl+Alt+Del is "
        "pressed on the desktop as keys");
    return false;
  }
  std::optional<std::uint32_t> read_secure_attention_policy() override { return std::nullopt; }
  void write_secure_attention_policy(std::optional<std::uint32_t>) override {}

  // The rule is a TCP port here (neither firewall ties rules to programs); the manifest keeps
  // which firewall got which port, so a changed "Port" setting still finds the old opening.
  void delete_firewall_rule(const std::string&) override {
    std::vector<std::string> openings;
    for (const std::string& r : records_) {
      if (r.starts_with(kFirewallRecord)) openings.push_back(r);
    }
    for (const std::string& opening : openings) {
      std::istringstream fields(opening.substr(sizeof kFirewallRecord - 1));
      std::string firewall, port;
      fields >> firewall >> port;
      const std::string rule = port + "/tcp";
      if (firewall == kUfw) {
        run({"ufw", "delete", "allow", rule});
      } else if (firewall == kFirewalld) {
        run({"firewall-cmd", "--remove-port=" + rule});
        run({"firewall-cmd", "--permanent", "--remove-port=" + rule});
      }
      forget(opening);
    }
  }

  void add_firewall_rule(const std::string& rule_name, const std::string&,
                         std::uint16_t port) override {
    const std::string rule = std::to_string(port) + "/tcp";
    std::string status;
    if (run({"ufw", "status"}, &status) && status.find("Status: active") != std::string::npos) {
      if (run({"ufw", "allow", rule, "comment", rule_name})) {
        remember(kFirewallRecord + std::string(kUfw) + " " + std::to_string(port));
      }
      return;
    }
    if (run({"firewall-cmd", "--state"})) {
      const bool now = run({"firewall-cmd", "--add-port=" + rule});
      const bool kept = run({"firewall-cmd", "--permanent", "--add-port=" + rule});
      if (now || kept) {
        remember(kFirewallRecord + std::string(kFirewalld) + " " + std::to_string(port));
      }
      return;
    }
    log_message("install: no active firewall (ufw, firewalld), no port to open");
  }

  // The stand-in for the list of installed programs: the values in a file of name=value lines.
  void write_uninstall_entry(const std::vector<UninstallValue>& values) override {
    std::string text;
    for (const auto& [name, value] : values) {
      text += name + "=";
      if (const auto* number = std::get_if<std::uint32_t>(&value)) {
        text += std::to_string(*number);
      } else {
        text += std::get<std::string>(value);
      }
      text += "\n";
    }
    write_file(kUninstallEntry, text, kFileMode);
  }
  void delete_uninstall_entry() override { remove_path(kUninstallEntry); }

  void create_shortcut(const std::string& path, const std::string& target,
                       const std::string& description) override {
    write_file(path, desktop_entry(kServiceDisplayName, description, target), kFileMode);
  }
  void delete_file(const std::string& path) override { remove_path(path); }

  // Installing ended the person's tray; the new one decides afresh that the service serves.
  void start_tray_for_user(const std::string& executable) override {
    start_tray_for_console_user(executable);
  }

  // Unlinking a running program is fine on Linux: nothing needs to wait for this process.
  void remove_installed_executable() override {
    remove_path(kInstalledExecutable);
    remove_path(kInstalledGuardian);
  }
  void remove_install_directory() override { remove_path(kInstallDirectory); }

 private:
  static bool exists(const std::string& path) {
    struct stat info {};
    return lstat(under_install_root(path).c_str(), &info) == 0;
  }

  void remember(const std::string& line) {
    records_.insert(line);
    save_manifest();
  }
  void forget(const std::string& line) {
    if (records_.erase(line)) save_manifest();
  }
  void record(const std::string& path) { remember(kPathRecord + path); }

  // Creates the folder and its missing parents, recording each one made here.
  void make_folders(const std::string& folder) {
    std::string path;
    for (const auto& part : fs::path(folder).relative_path()) {
      path += '/';
      path += part.string();
      if (exists(path)) continue;
      if (mkdir(under_install_root(path).c_str(), kFolderMode) != 0 && errno != EEXIST) return;
      records_.insert(kPathRecord + path);
    }
  }

  // Copied beside the target and renamed over it: a copy that still runs from the old file
  // keeps it, and the target is never seen half written.
  bool copy_program(const fs::path& from, const std::string& to) {
    if (package_paths_.count(to)) {
      log_message("install: %s belongs to a package; remove the package to install another copy",
                  to.c_str());
      return false;
    }
    make_folders(fs::path(to).parent_path().string());
    const fs::path target = under_install_root(to);
    const fs::path temporary = target.string() + ".new";
    std::error_code ec;
    fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, ec);
    if (ec || chmod(temporary.c_str(), kProgramMode) != 0 ||
        std::rename(temporary.c_str(), target.c_str()) != 0) {
      fs::remove(temporary, ec);
      return false;
    }
    record(to);
    return true;
  }

  // The command `tolvi-host` for everyone: a link to the installed program. A package's link,
  // or another program already called so, stays as it is.
  void link_command(const std::string& program) {
    if (package_paths_.count(kCommandLink)) return;
    const fs::path link = under_install_root(kCommandLink);
    std::error_code ec;
    if (fs::is_symlink(link, ec)) {
      if (fs::read_symlink(link, ec) == fs::path(program)) record(kCommandLink);
      return;
    }
    if (fs::exists(link, ec)) {
      log_message("install: %s is another program; the installed one is %s", kCommandLink,
                  program.c_str());
      return;
    }
    make_folders(fs::path(kCommandLink).parent_path().string());
    fs::create_symlink(program, link, ec);
    if (!ec) record(kCommandLink);
  }

  // A package's file stays as the package left it (the menu entry it ships is the same).
  bool write_file(const std::string& path, const std::string& text, mode_t mode) {
    if (package_paths_.count(path)) return true;
    make_folders(fs::path(path).parent_path().string());
    const fs::path target = under_install_root(path);
    const fs::path temporary = target.string() + ".new";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << text;
      if (!out.flush()) return false;
    }
    if (chmod(temporary.c_str(), mode) != 0 ||
        std::rename(temporary.c_str(), target.c_str()) != 0) {
      std::error_code ec;
      fs::remove(temporary, ec);
      return false;
    }
    record(path);
    return true;
  }

  // Files and links are unlinked, folders removed only when empty (something else may have
  // put files there since). A package's paths are left to the package.
  bool unlink_path(const std::string& path) {
    if (package_paths_.count(path)) return false;
    const fs::path real = under_install_root(path);
    struct stat info {};
    if (lstat(real.c_str(), &info) != 0) return true;
    return S_ISDIR(info.st_mode) ? rmdir(real.c_str()) == 0 : unlink(real.c_str()) == 0;
  }
  void remove_path(const std::string& path) {
    if (unlink_path(path)) forget(kPathRecord + path);
  }

  void save_manifest() {
    if (records_.empty() && !exists(kManifest)) return;
    make_folders(kStateFolder);
    std::string text;
    for (const std::string& line : records_) text += line + "\n";
    const fs::path target = under_install_root(kManifest);
    const fs::path temporary = target.string() + ".new";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << text;
      if (!out.flush()) return;
    }
    std::rename(temporary.c_str(), target.c_str());
  }

  bool write_unit(const std::string& description,
                  const std::vector<std::chrono::milliseconds>& restart_delays) {
    std::string unit = "[Unit]\nDescription=" + description +
                       "\nAfter=network.target systemd-logind.service\n"
                       // Never give up restarting, as the service manager of Windows does not.
                       "StartLimitIntervalSec=0\n\n"
                       "[Service]\nType=notify\nExecStart=" +
                       service_command_ + "\nUser=root\nRestart=on-failure\n";
    if (!restart_delays.empty()) {
      // The first delay, growing over as many steps to the last one (systemd 254 and later;
      // older versions ignore the two step settings and keep the first delay).
      const auto seconds = [](std::chrono::milliseconds d) {
        return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + "s";
      };
      unit += "RestartSec=" + seconds(restart_delays.front()) + "\n";
      if (restart_delays.size() > 1) {
        unit += "RestartSteps=" + std::to_string(restart_delays.size() - 1) + "\n";
        unit += "RestartMaxDelaySec=" + seconds(restart_delays.back()) + "\n";
      }
    }
    unit += "\n[Install]\nWantedBy=multi-user.target\n";
    return write_file(kServiceUnitFile, unit, kFileMode);
  }

  // Of `paths`, those a package installed, as dpkg knows them (of the system under the install
  // root). None where there is no dpkg.
  static std::set<std::string> package_owned(const std::vector<std::string>& paths) {
    std::vector<std::string> argv{"dpkg"};
    if (install_root() != "/") argv.push_back("--root=" + install_root().string());
    argv.push_back("-S");
    argv.insert(argv.end(), paths.begin(), paths.end());
    std::string output;
    int exit_code = -1;
    std::set<std::string> owned;
    // Exit code 1 only says that some path belongs to no package; the lines still count.
    if (!run_command(argv, nullptr, kCommandTimeoutMs, output, exit_code)) return owned;
    const std::set<std::string> asked(paths.begin(), paths.end());
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      // "package[, package...]: /path"; notes about diversions have other shapes.
      const auto separator = line.find(": /");
      if (separator == std::string::npos) continue;
      const std::string path = line.substr(separator + 2);
      if (asked.count(path)) owned.insert(path);
    }
    return owned;
  }

  std::set<std::string> records_;
  std::set<std::string> package_paths_;
  std::set<std::string> settings_paths_before_;
  std::string service_command_;
};

}  // namespace

std::unique_ptr<Installer> make_installer() { return std::make_unique<SystemdInstaller>(); }

}  // namespace tolvi::platform
