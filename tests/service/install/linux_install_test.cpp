// The real program installs into a temporary install root and removes itself again. The
// helper programs it calls (systemctl, ufw, firewall-cmd) are stand-ins that write down how
// they were called.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "platform/installer.h"
#include "service/install/install_rules.h"
#include "support/xvfb_server.h"

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// Every path under `root` with a file's contents or a link's target ("/" for folders).
std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = "/" + fs::relative(entry.path(), root).string();
    if (entry.is_symlink()) {
      found[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      found[name] = "/";
    } else {
      found[name] = read(entry.path());
    }
  }
  return found;
}

class LinuxInstallTest : public ::testing::Test {
 protected:
  LinuxInstallTest() {
    fs::permissions(base, fs::perms::all);
    for (const char* tool : {"systemctl", "ufw", "firewall-cmd"}) {
      // "ufw status" and "firewall-cmd --state" answer from files the test writes.
      write(base / "bin" / tool, std::string("#!/bin/sh\necho \"") + tool + " $*\" >> '" +
                                     (base / "calls").string() +
                                     "'\n"
                                     "case \"$*\" in\n"
                                     "  status) cat '" +
                                     (base / "ufw-status").string() +
                                     "' 2>/dev/null;;\n"
                                     "  --state) [ -e '" +
                                     (base / "firewalld-running").string() +
                                     "' ] || exit 252;;\n"
                                     "esac\nexit 0\n");
      fs::permissions(base / "bin" / tool, fs::perms::owner_all | fs::perms::others_exec);
    }
    // dpkg answers for the paths listed in "dpkg-owned" as the package's, for no other (and
    // never from the real machine's database).
    write(base / "bin/dpkg",
          "#!/bin/sh\nstatus=0\nfor a in \"$@\"; do\n  case \"$a\" in /*)\n"
          "    if grep -qxF \"$a\" '" +
              (base / "dpkg-owned").string() +
              "' 2>/dev/null; then echo \"tolvi-host: $a\"; else status=1; fi;;\n"
              "  esac\ndone\nexit $status\n");
    fs::permissions(base / "bin/dpkg", fs::perms::owner_all | fs::perms::others_exec);
    fs::create_directories(root);
    // What the machine had before: kept as it is.
    write(root / "etc/hostname", "box\n");
    write(root / "usr/share/applications/other.desktop", "[Desktop Entry]\n");
    write(home / ".config/tolvi-host/settings", "AllowResolutionChange dword 0\n");
  }
  ~LinuxInstallTest() override { fs::remove_all(base); }

  // `environment`: more NAME=value words for the program's environment.
  int run(const std::string& args, const std::string& user_switch = "",
          const std::string& environment = "") {
    // Never acting for whoever ran the tests through sudo: the user scope is the fixture home.
    const std::string command = user_switch + " env -u DISPLAY -u SUDO_UID -u PKEXEC_UID " +
                                environment + " TOLVI_INSTALL_ROOT='" + root.string() + "' HOME='" +
                                home.string() + "' XDG_CONFIG_HOME= XDG_STATE_HOME= PATH='" +
                                (base / "bin").string() + ":/usr/bin:/bin' '" + program.string() +
                                "' " + args + " >>'" + (base / "out").string() + "' 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string calls() { return read(base / "calls"); }
  std::string output() { return read(base / "out"); }

  static fs::path make_base() {
    char pattern[] = "/tmp/tolvi-install-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) std::abort();  // never fall back to a root that is not ours
    return made;
  }

  const fs::path base = make_base();
  const fs::path root = base / "root";
  const fs::path home = base / "home";
  fs::path program = TOLVI_HOST_PATH;  // what run() starts
};

constexpr char kManifest[] =
    "firewall ufw 5960\n"
    "path /etc/systemd\n"
    "path /etc/systemd/system\n"
    "path /etc/systemd/system/multi-user.target.wants\n"
    "path /etc/systemd/system/multi-user.target.wants/tolvi-host.service\n"
    "path /etc/systemd/system/tolvi-host.service\n"
    "path /etc/tolvi-host\n"
    "path /etc/tolvi-host/settings\n"
    "path /etc/tolvi-host/settings.lock\n"
    "path /etc/xdg\n"
    "path /etc/xdg/autostart\n"
    "path /etc/xdg/autostart/tolvi-host.desktop\n"
    "path /opt\n"
    "path /opt/tolvi\n"
    "path /opt/tolvi/tolvi-display-guardian\n"
    "path /opt/tolvi/tolvi-host\n"
    "path /usr/bin\n"
    "path /usr/bin/tolvi-host\n"
    "path /usr/share/applications/tolvi-host.desktop\n"
    "path /var\n"
    "path /var/lib\n"
    "path /var/lib/tolvi-host\n"
    "path /var/lib/tolvi-host/machine.key\n"
    "path /var/lib/tolvi-host/uninstall-entry\n";

TEST_F(LinuxInstallTest, InstallsUnderTheRootAndUninstallsBackToNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "installing needs root (without it the command exits 5)";
  fs::create_directories(root / "run/systemd/system");  // as on a machine booted by systemd
  write(base / "ufw-status", "Status: active\n");
  const auto before = tree(root);

  ASSERT_EQ(run("--install --quiet"), 0) << output();
  EXPECT_EQ(read(root / "var/lib/tolvi-host/manifest"), kManifest);
  EXPECT_TRUE(read(root / "opt/tolvi/tolvi-host") == read(TOLVI_HOST_PATH));
  // The display guardian beside it, from beside the program that installed.
  const fs::path guardian = fs::path(TOLVI_HOST_PATH).parent_path() / "tolvi-display-guardian";
  ASSERT_TRUE(fs::exists(guardian));
  EXPECT_TRUE(read(root / "opt/tolvi/tolvi-display-guardian") == read(guardian));
  EXPECT_EQ(fs::status(root / "opt/tolvi/tolvi-display-guardian").permissions(), fs::perms(0755));
  // The command on every account's PATH.
  EXPECT_EQ(fs::read_symlink(root / "usr/bin/tolvi-host"), "/opt/tolvi/tolvi-host");
  const std::string unit = read(root / "etc/systemd/system/tolvi-host.service");
  for (const char* line : {"Type=notify\n", "ExecStart=\"/opt/tolvi/tolvi-host\" --service\n",
                           "User=root\n", "Restart=on-failure\n", "RestartSec=2s\n",
                           "RestartMaxDelaySec=10s\n", "WantedBy=multi-user.target\n",
                           "Description=Tolvi remote desktop host. Works at the login screen and "
                           "the lock screen.\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
  }
  // The package ships the same unit and menu entry the installer writes.
  EXPECT_EQ(unit, read(fs::path(TOLVI_PACKAGING_DIR) / "tolvi-host.service"));
  EXPECT_EQ(read(root / "usr/share/applications/tolvi-host.desktop"),
            read(fs::path(TOLVI_PACKAGING_DIR) / "tolvi-host.desktop"));
  EXPECT_EQ(
      fs::read_symlink(root / "etc/systemd/system/multi-user.target.wants/tolvi-host.service"),
      "/etc/systemd/system/tolvi-host.service");
  EXPECT_NE(
      read(root / "etc/xdg/autostart/tolvi-host.desktop").find("Exec=\"/opt/tolvi/tolvi-host\"\n"),
      std::string::npos);
  EXPECT_NE(
      read(root / "usr/share/applications/tolvi-host.desktop").find("Exec=/opt/tolvi/tolvi-host\n"),
      std::string::npos);
  EXPECT_NE(read(root / "var/lib/tolvi-host/uninstall-entry")
                .find("QuietUninstallString=\"/opt/tolvi/tolvi-host\" --uninstall --quiet\n"),
            std::string::npos);
  // The user's match setting moved to the machine.
  EXPECT_NE(read(root / "etc/tolvi-host/settings").find("AllowResolutionChange dword 0"),
            std::string::npos);
  // The unit is enabled by its link and systemd reloaded once.
  EXPECT_EQ(calls(),
            "systemctl daemon-reload\nufw status\nufw allow 5960/tcp comment Tolvi Host\n"
            "systemctl start tolvi-host.service\n");
  EXPECT_NE(output().find("installed service to /opt/tolvi/tolvi-host (started: 1)"),
            std::string::npos)
      << output();

  fs::remove(base / "calls");
  ASSERT_EQ(run("--uninstall --quiet"), 0) << output();
  EXPECT_EQ(tree(root), before);
  EXPECT_EQ(calls(),
            "systemctl stop tolvi-host.service\nsystemctl disable tolvi-host.service\n"
            "systemctl daemon-reload\nufw delete allow 5960/tcp\n");
  // Per-user settings stay.
  EXPECT_TRUE(fs::exists(home / ".config/tolvi-host/settings"));
}

TEST_F(LinuxInstallTest, ReinstallReplacesTheEarlierInstallWithoutLeftovers) {
  if (geteuid() != 0) GTEST_SKIP() << "installing needs root (without it the command exits 5)";
  const auto before = tree(root);
  write(base / "ufw-status", "Status: active\n");
  ASSERT_EQ(run("--install --quiet"), 0) << output();
  // No systemd here: enabled for the next boot, which counts as installed.
  EXPECT_NE(output().find("(started: 0)"), std::string::npos) << output();
  EXPECT_EQ(read(root / "var/lib/tolvi-host/manifest"), kManifest);

  // The second time only firewalld runs: the ufw opening goes, firewalld's comes.
  fs::remove(base / "ufw-status");
  write(base / "firewalld-running", "");
  fs::remove(base / "calls");
  // With both options the command line's order makes it an installation.
  ASSERT_EQ(run("--install --uninstall --quiet"), 0) << output();
  EXPECT_EQ(calls(),
            "ufw delete allow 5960/tcp\nufw status\nfirewall-cmd --state\n"
            "firewall-cmd --add-port=5960/tcp\nfirewall-cmd --permanent --add-port=5960/tcp\n");
  std::string manifest = kManifest;
  manifest.replace(0, manifest.find('\n'), "firewall firewalld 5960");
  EXPECT_EQ(read(root / "var/lib/tolvi-host/manifest"), manifest);

  fs::remove(base / "calls");
  ASSERT_EQ(run("--uninstall --quiet"), 0) << output();
  EXPECT_EQ(
      calls(),
      "firewall-cmd --remove-port=5960/tcp\nfirewall-cmd --permanent --remove-port=5960/tcp\n");
  EXPECT_EQ(tree(root), before);
}

TEST_F(LinuxInstallTest, QuietWithoutRootExitsFiveAndChangesNothing) {
  std::string user_switch;
  if (geteuid() == 0) {
    if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv";
    user_switch = "setpriv --reuid=nobody --regid=nogroup --clear-groups";
  }
  const auto before = tree(root);
  for (const char* args : {"--install --quiet", "--uninstall --quiet"}) {
    EXPECT_EQ(run(args, user_switch), 5) << args << ": " << output();
  }
  EXPECT_EQ(tree(root), before);
  EXPECT_EQ(calls(), "");
}

// Installed by the package, the program runs `--install --quiet` from where the package put it
// (the package's post-install step) and `--uninstall --quiet` before the package goes: the
// package's files (program, guardian, unit, menu entry) are neither taken into the manifest nor
// removed, the package's unit is the one enabled, and systemd is reloaded once.
TEST_F(LinuxInstallTest, APackagesFilesStayThePackages) {
  if (geteuid() != 0) GTEST_SKIP() << "installing needs root (without it the command exits 5)";
  fs::create_directories(root / "run/systemd/system");
  const fs::path built = fs::path(TOLVI_HOST_PATH).parent_path();
  const std::pair<const char*, fs::path> package[] = {
      {"/opt/tolvi/tolvi-host", built / "tolvi-host"},
      {"/opt/tolvi/tolvi-display-guardian", built / "tolvi-display-guardian"},
      {"/lib/systemd/system/tolvi-host.service",
       fs::path(TOLVI_PACKAGING_DIR) / "tolvi-host.service"},
      {"/usr/share/applications/tolvi-host.desktop",
       fs::path(TOLVI_PACKAGING_DIR) / "tolvi-host.desktop"},
  };
  std::string owned = "/opt/tolvi\n";
  for (const auto& [path, source] : package) {
    fs::create_directories((root / (path + 1)).parent_path());
    fs::copy_file(source, root / (path + 1));
    owned += std::string(path) + "\n";
  }
  write(base / "dpkg-owned", owned);
  const auto before = tree(root);
  program = root / "opt/tolvi/tolvi-host";

  ASSERT_EQ(run("--install --quiet"), 0) << output();
  EXPECT_FALSE(fs::exists(root / "etc/systemd/system/tolvi-host.service"));
  EXPECT_EQ(
      fs::read_symlink(root / "etc/systemd/system/multi-user.target.wants/tolvi-host.service"),
      "/lib/systemd/system/tolvi-host.service");
  const std::string manifest = read(root / "var/lib/tolvi-host/manifest");
  for (const auto& [path, source] : package) {
    EXPECT_EQ(manifest.find(path), std::string::npos) << path << " taken:\n" << manifest;
  }
  EXPECT_EQ(calls(),
            "systemctl daemon-reload\nufw status\nfirewall-cmd --state\n"
            "systemctl start tolvi-host.service\n");
  EXPECT_EQ(tree(root).at("/usr/share/applications/tolvi-host.desktop"),
            before.at("/usr/share/applications/tolvi-host.desktop"));

  ASSERT_EQ(run("--uninstall --quiet"), 0) << output();
  // Everything the installation added is gone; everything the package brought is there.
  EXPECT_EQ(tree(root), before);
}

// The NUL-separated strings of a /proc file.
std::vector<std::string> proc_strings(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> items;
  for (std::string item; std::getline(in, item, '\0');) items.push_back(item);
  return items;
}

// "Install as Service…" ends the person's tray with every other copy of the installed program;
// installing then starts the tray again for the person at the console, as that person, on the
// console's display, in a session of its own.
TEST_F(LinuxInstallTest, InstallingStartsTheTrayAgainForThePersonAtTheConsole) {
  if (geteuid() != 0) GTEST_SKIP() << "installing needs root (without it the command exits 5)";
  // Where logind has a seat, its session would be the console, not the fixture's display.
  if (fs::exists("/run/systemd/seats/seat0")) GTEST_SKIP() << "a real console session here";
  tolvi::testing::XvfbServer xvfb("640x480x24");
  ASSERT_FALSE(xvfb.display().empty());
  write(root / "etc/tolvi-host/console", xvfb.display() + "\n");
  // Run through pkexec for "nobody", who stands for the person.
  ASSERT_EQ(run("--install", "", "PKEXEC_UID=65534"), 0) << output();
  EXPECT_NE(output().find("install: tray started for nobody on " + xvfb.display()),
            std::string::npos)
      << output();

  const fs::path program = root / "opt/tolvi/tolvi-host";
  pid_t tray = 0;
  for (int i = 0; i < 100 && !tray; ++i) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      if (fs::read_symlink(entry.path() / "exe", ec) == program) {
        tray = static_cast<pid_t>(std::stol(entry.path().filename().string()));
      }
    }
    if (!tray) usleep(50000);
  }
  ASSERT_NE(tray, 0) << "no tray started from " << program;
  struct stat owner {};
  ASSERT_EQ(stat(("/proc/" + std::to_string(tray)).c_str(), &owner), 0);
  EXPECT_EQ(owner.st_uid, 65534u);
  EXPECT_EQ(getsid(tray), tray);
  EXPECT_EQ(proc_strings("/proc/" + std::to_string(tray) + "/cmdline"),
            std::vector<std::string>{program.string()});
  const auto environment = proc_strings("/proc/" + std::to_string(tray) + "/environ");
  for (const std::string& expected : {"DISPLAY=" + xvfb.display(), std::string("USER=nobody"),
                                      "TOLVI_INSTALL_ROOT=" + root.string()}) {
    EXPECT_NE(std::find(environment.begin(), environment.end(), expected), environment.end())
        << expected;
  }
  kill(tray, SIGKILL);
}

// Other copies are found in the process list under the install root: here a list of real
// processes, each given the executable the kernel would name. Only those that run the installed
// program end; a developer's build of the same name, a setup program, the guardian, a process
// that only calls itself so and this process itself stay.
TEST_F(LinuxInstallTest, OnlyProcessesOfTheInstalledProgramEnd) {
  const struct {
    const char* exe;  // nullptr: the link cannot be read, as for a kernel thread
    bool ends;
  } cases[] = {
      {"/opt/tolvi/tolvi-host", true},
      {"/opt/tolvi/tolvi-host (deleted)", true},  // replaced since it started
      {"DEVELOPER/tolvi-host", false},
      {"/opt/tolvi/tolvi-host-setup", false},
      {"/opt/tolvi/tolvi-display-guardian", false},
      {nullptr, false},
  };
  fs::copy_file("/bin/sleep", base / "sleep");
  std::vector<pid_t> pids;
  for (const auto& c : cases) {
    const pid_t pid = fork();
    if (pid == 0) {
      execl((base / "sleep").c_str(), "/opt/tolvi/tolvi-host", "60", nullptr);
      _exit(127);
    }
    const fs::path entry = root / "proc" / std::to_string(pid);
    fs::create_directories(entry);
    write(entry / "cmdline", std::string("/opt/tolvi/tolvi-host\0", 22));
    if (c.exe) {
      std::string target = c.exe;
      if (target.starts_with("DEVELOPER")) target.replace(0, 9, base.string());
      fs::create_symlink(target, entry / "exe");
    }
    pids.push_back(pid);
  }
  fs::create_directories(root / "proc/self");
  fs::create_directories(root / "proc" / std::to_string(getpid()));
  fs::create_symlink("/opt/tolvi/tolvi-host", root / "proc" / std::to_string(getpid()) / "exe");

  setenv("TOLVI_INSTALL_ROOT", root.c_str(), 1);
  tolvi::platform::make_installer()->terminate_other_copies(tolvi::is_other_copy_name);
  unsetenv("TOLVI_INSTALL_ROOT");
  for (std::size_t i = 0; i < pids.size(); ++i) {
    int status = 0;
    // Ended already: the call waits for each copy it ends.
    const bool ended = waitpid(pids[i], &status, WNOHANG) == pids[i];
    EXPECT_EQ(ended, cases[i].ends) << (cases[i].exe ? cases[i].exe : "no link");
    if (!ended) {
      kill(pids[i], SIGKILL);
      waitpid(pids[i], &status, 0);
    }
  }
}

}  // namespace
