// The install and removal steps, their order, exit codes and messages, over a fake system.
#include "service/install/installer.h"

#include <gtest/gtest.h>

#include "fakes/fake_settings_backend.h"

namespace tolvi {
namespace {

using platform::ServiceStart;
using Steps = std::vector<std::string>;

class FakeInstaller : public platform::Installer {
 public:
  // Set by the test.
  bool elevated = true;
  bool elevated_copy_succeeds = true;
  bool service_manager_opens = true;
  bool copy_succeeds = true;
  bool create_succeeds = true;
  bool running_installed = false;
  ServiceStart start = ServiceStart::Started;
  std::optional<std::uint32_t> policy;  // the system's policy value
  std::optional<std::u16string> pending;
  std::vector<std::string> processes{"tolvi-host.exe", "tolvi-host-setup.exe", "explorer.exe"};

  // Seen by the test.
  Steps steps;
  std::vector<std::pair<std::string, bool>> messages;
  std::vector<platform::UninstallValue> entry;

  bool is_elevated() override { return elevated; }
  bool run_elevated(const std::string& arguments) override {
    steps.push_back("run_elevated " + arguments);
    return elevated_copy_succeeds;
  }
  void show_message(const std::string& text, bool error) override {
    messages.emplace_back(text, error);
  }
  void begin_changes() override {}
  void end_changes(bool) override {}
  bool open_service_manager() override {
    steps.push_back("open_service_manager");
    return service_manager_opens;
  }
  void close_service_manager() override { steps.push_back("close_service_manager"); }
  void stop_and_delete_service() override { steps.push_back("stop_and_delete_service"); }
  void terminate_other_copies(const std::function<bool(std::string_view)>& is_copy) override {
    std::string ended;
    for (const auto& name : processes) {
      if (is_copy(name)) ended += " " + name;
    }
    steps.push_back("terminate_other_copies" + ended);
  }
  void pause(std::chrono::milliseconds time) override {
    steps.push_back("pause " + std::to_string(time.count()));
  }
  std::string install_directory() override { return "C:\\Program Files\\Tolvi"; }
  std::string installed_executable() override { return "C:\\Program Files\\Tolvi\\tolvi-host.exe"; }
  std::string shortcut_path() override { return "C:\\Start\\Tolvi Host.lnk"; }
  std::string running_executable() override { return "D:\\dl\\tolvi-host.exe"; }
  bool runs_installed_executable() override { return running_installed; }
  std::optional<std::uint64_t> file_size(const std::string&) override { return 1000000; }
  std::optional<std::u16string> read_pending_renames() override { return pending; }
  bool write_pending_renames(const std::optional<std::u16string>& list) override {
    steps.push_back(list ? "write_pending_renames" : "delete_pending_renames");
    pending = list;
    return true;
  }
  void create_install_directory() override { steps.push_back("create_install_directory"); }
  bool copy_executable(const std::string& from, const std::string& to) override {
    steps.push_back("copy " + from + " -> " + to);
    return copy_succeeds;
  }
  bool create_service(const std::string& command) override {
    steps.push_back("create_service " + command);
    return create_succeeds;
  }
  void configure_service(const std::string& description,
                         const std::vector<std::chrono::milliseconds>& delays,
                         std::chrono::seconds reset) override {
    std::string text =
        "configure_service " + description + " reset " + std::to_string(reset.count()) + " delays";
    for (auto d : delays) text += " " + std::to_string(d.count());
    steps.push_back(text);
  }
  ServiceStart start_service() override {
    steps.push_back("start_service");
    return start;
  }
  bool has_secure_attention_policy() override { return true; }
  std::optional<std::uint32_t> read_secure_attention_policy() override { return policy; }
  void write_secure_attention_policy(std::optional<std::uint32_t> value) override {
    steps.push_back(value ? "write_policy " + std::to_string(*value) : "delete_policy");
    policy = value;
  }
  void delete_firewall_rule(const std::string& name) override {
    steps.push_back("delete_firewall_rule " + name);
  }
  void add_firewall_rule(const std::string& name, const std::string& program,
                         std::uint16_t port) override {
    steps.push_back("add_firewall_rule " + name + " " + program + " " + std::to_string(port));
  }
  void write_uninstall_entry(const std::vector<platform::UninstallValue>& values) override {
    steps.push_back("write_uninstall_entry");
    entry = values;
  }
  void delete_uninstall_entry() override { steps.push_back("delete_uninstall_entry"); }
  void create_shortcut(const std::string& path, const std::string& target,
                       const std::string& description) override {
    steps.push_back("create_shortcut " + path + " -> " + target + " (" + description + ")");
  }
  void delete_file(const std::string& path) override { steps.push_back("delete_file " + path); }
  void start_tray_for_user(const std::string& exe) override {
    steps.push_back("start_tray " + exe);
  }
  void remove_installed_executable() override { steps.push_back("remove_installed_executable"); }
  void remove_install_directory() override { steps.push_back("remove_install_directory"); }
};

class InstallerTest : public ::testing::Test {
 protected:
  FakeInstaller system;
  FakeSettingsBackend backend;
  SettingsStore settings{backend};
  const std::string exe = "C:\\Program Files\\Tolvi\\tolvi-host.exe";
};

TEST_F(InstallerTest, InstallTakesItsStepsInOrder) {
  system.policy = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(install_host(system, settings, false), 0);
  EXPECT_NE(
      testing::internal::GetCapturedStderr().find("installed service to " + exe + " (started: 1)"),
      std::string::npos);
  const Steps expected{
      "open_service_manager",
      "stop_and_delete_service",
      "terminate_other_copies tolvi-host.exe",
      "pause 500",
      "create_install_directory",
      "copy D:\\dl\\tolvi-host.exe -> " + exe,
      "create_service \"" + exe + "\" --service",
      "configure_service Tolvi remote desktop host. Works at the sign-in screen, lock screen and "
      "UAC prompts. reset 3600 delays 2000 5000 10000",
      "write_policy 1",
      "delete_firewall_rule Tolvi Host",
      "add_firewall_rule Tolvi Host " + exe + " 5960",
      "write_uninstall_entry",
      "create_shortcut C:\\Start\\Tolvi Host.lnk -> " + exe +
          " (Lets you reach this PC from Tolvi on your iPhone, iPad or Mac.)",
      "start_service",
      "close_service_manager",
      "start_tray " + exe,
  };
  EXPECT_EQ(system.steps, expected);
  // Settings moved to the machine, the tray started there at every sign-in.
  EXPECT_TRUE(settings.is_installed());
  EXPECT_EQ(backend.run_entry[FakeSettingsBackend::index(SettingsScope::Machine)],
            "\"" + exe + "\"");
  EXPECT_EQ(std::get<std::uint32_t>(system.entry.back().value), 977u);
  ASSERT_EQ(system.messages.size(), 1u);
  EXPECT_EQ(system.messages[0].first,
            "Tolvi Host is installed as a service. It now runs at the sign-in screen and lock "
            "screen.");
}

TEST_F(InstallerTest, UninstallTakesItsStepsInOrder) {
  settings.migrate_settings_for_install();
  settings.set_machine_start_entry("x");
  EXPECT_EQ(uninstall_host(system, settings, false), 0);
  const Steps expected{
      "open_service_manager",
      "stop_and_delete_service",
      "close_service_manager",
      "terminate_other_copies tolvi-host.exe",
      "delete_firewall_rule Tolvi Host",
      "delete_policy",
      "delete_uninstall_entry",
      "delete_file C:\\Start\\Tolvi Host.lnk",
      "remove_installed_executable",
      "remove_install_directory",
  };
  EXPECT_EQ(system.steps, expected);
  EXPECT_FALSE(settings.is_installed());
  EXPECT_FALSE(backend.run_entry[FakeSettingsBackend::index(SettingsScope::Machine)]);
  ASSERT_EQ(system.messages.size(), 1u);
  EXPECT_EQ(system.messages[0].first, "The Tolvi Host service has been removed.");
}

TEST_F(InstallerTest, WithoutElevationQuietExitsFiveElseTheElevatedCopyDecides) {
  struct Case {
    bool quiet, copy_succeeds;
    int code;
    bool asked;
  };
  const Case cases[] = {{true, true, 5, false}, {false, true, 0, true}, {false, false, 1, true}};
  for (const Case& c : cases) {
    for (const bool install : {true, false}) {
      FakeInstaller fresh;
      fresh.elevated = false;
      fresh.elevated_copy_succeeds = c.copy_succeeds;
      const int code = install ? install_host(fresh, settings, c.quiet)
                               : uninstall_host(fresh, settings, c.quiet);
      EXPECT_EQ(code, c.code);
      const Steps asked{install ? "run_elevated --install" : "run_elevated --uninstall"};
      EXPECT_EQ(fresh.steps, c.asked ? asked : Steps{});
      EXPECT_TRUE(fresh.messages.empty());
    }
  }
  EXPECT_EQ(backend.writes, 0);
}

TEST_F(InstallerTest, FailuresStopWithTheirMessageUnlessQuiet) {
  struct Case {
    const char* what;
    void (*set)(FakeInstaller&);
    const char* message;  // nullptr: none
    const char* last_step;
  };
  const Case cases[] = {
      {"service manager", [](FakeInstaller& s) { s.service_manager_opens = false; },
       "Could not open the Service Control Manager.", "open_service_manager"},
      {"copy", [](FakeInstaller& s) { s.copy_succeeds = false; },
       "Could not copy to C:\\Program Files\\Tolvi\\tolvi-host.exe", "close_service_manager"},
      {"create", [](FakeInstaller& s) { s.create_succeeds = false; },
       "Could not create the service.", "close_service_manager"},
      {"start", [](FakeInstaller& s) { s.start = ServiceStart::Failed; },
       "Tolvi Host is installed as a service, but the service did not start. See the log.",
       "start_tray"},
  };
  for (const Case& c : cases) {
    for (const bool quiet : {false, true}) {
      FakeInstaller fresh;
      c.set(fresh);
      EXPECT_EQ(install_host(fresh, settings, quiet), 1) << c.what;
      if (!quiet && c.message) {
        ASSERT_FALSE(fresh.messages.empty()) << c.what;
        EXPECT_EQ(fresh.messages[0], std::make_pair(std::string(c.message), true)) << c.what;
      }
      if (quiet) {
        EXPECT_TRUE(fresh.messages.empty()) << c.what;
      } else {
        EXPECT_TRUE(fresh.steps.back().starts_with(c.last_step)) << c.what;
      }
    }
  }
}

TEST_F(InstallerTest, NoServiceManagerCountsAsInstalledForTheNextBoot) {
  system.start = ServiceStart::NoServiceManager;
  EXPECT_EQ(install_host(system, settings, true), 0);
  // Said as it is: nothing runs at the sign-in screen until the next boot.
  FakeInstaller told;
  told.start = ServiceStart::NoServiceManager;
  EXPECT_EQ(install_host(told, settings, false), 0);
  ASSERT_EQ(told.messages.size(), 1u);
  EXPECT_EQ(told.messages[0],
            std::make_pair(std::string("Tolvi Host is installed as a service. No service manager "
                                       "runs here now: it starts at the next boot."),
                           false));
}

TEST_F(InstallerTest, RunningFromTheInstalledPathCopiesNothingButRegistersAgain) {
  system.running_installed = true;
  EXPECT_EQ(install_host(system, settings, true), 0);
  for (const auto& step : system.steps) EXPECT_FALSE(step.starts_with("copy")) << step;
  EXPECT_NE(std::find(system.steps.begin(), system.steps.end(),
                      "create_service \"" + exe + "\" --service"),
            system.steps.end());
}

TEST_F(InstallerTest, SecureAttentionPolicyIsRecordedAndPutBack) {
  struct Case {
    std::optional<std::uint32_t> before;
    int installs;
    std::optional<std::uint32_t> installed, after_removal;
  };
  const Case cases[] = {
      {std::nullopt, 1, 1, std::nullopt},  // no value before: removal deletes it
      {3, 1, 3, 3},                        // services and ease of access already: unchanged
      {0, 1, 1, 0},
      {std::nullopt, 2, 1, 1},  // the second installation records the policy then in force
  };
  for (const Case& c : cases) {
    FakeInstaller fresh;
    FakeSettingsBackend store_backend;
    SettingsStore store(store_backend);
    fresh.policy = c.before;
    for (int i = 0; i < c.installs; ++i) install_host(fresh, store, true);
    EXPECT_EQ(fresh.policy, c.installed);
    uninstall_host(fresh, store, true);
    EXPECT_EQ(fresh.policy, c.after_removal);
  }
}

TEST_F(InstallerTest, PendingDeleteOfTheInstallFolderIsCancelledAndLogged) {
  using namespace std::string_literals;
  constexpr char kCancelled[] = "cancelled a pending delete of the previous install";
  system.pending = u"\\??\\C:\\Program Files\\Tolvi\\tolvi-host.exe\0\0a\0b\0\0"s;
  testing::internal::CaptureStderr();
  install_host(system, settings, true);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(kCancelled), std::string::npos);
  EXPECT_EQ(system.pending, u"a\0b\0\0"s);
  system.pending = u"\\??\\C:\\Program Files\\Tolvi\\tolvi-host.exe\0\0"s;
  system.steps.clear();
  install_host(system, settings, true);
  EXPECT_EQ(system.pending, std::nullopt);  // nothing left: the value goes
  system.steps.clear();
  testing::internal::CaptureStderr();
  install_host(system, settings, true);  // none left to cancel: nothing written
  EXPECT_EQ(testing::internal::GetCapturedStderr().find(kCancelled), std::string::npos);
  for (const auto& step : system.steps) EXPECT_EQ(step.find("pending"), std::string::npos);
}

}  // namespace
}  // namespace tolvi
