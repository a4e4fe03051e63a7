#include "tray/tray_menu.h"

#include <gtest/gtest.h>

#include "base/run_mode.h"
#include "fakes/fake_settings_backend.h"
#include "tray/fake_tray_toolkit.h"
#include "tray/password_rules.h"
#include "tray/status_report.h"
#include "tray/tray_application.h"
#include "tray/tray_picture.h"

namespace tolvi {
namespace {

using platform::MessageAnswer;
using platform::MessageIcon;
using Kind = platform::TrayMenuEntry::Kind;

// One line per entry: "-" separator, "#text" greyed, "[id] text" command with "*" when checked.
std::vector<std::string> render(const std::vector<platform::TrayMenuEntry>& menu) {
  std::vector<std::string> lines;
  for (const auto& e : menu) {
    switch (e.kind) {
      case Kind::Separator:
        lines.push_back("-");
        break;
      case Kind::Label:
        lines.push_back("#" + e.text);
        break;
      case Kind::Command:
        lines.push_back("[" + std::to_string(e.id) + "]" + (e.checked ? "* " : " ") + e.text);
        break;
    }
  }
  return lines;
}

TEST(TrayMenu, EntriesPerMode) {
  TrayMenuState user;
  user.port = 5960;
  user.addresses = {"192.168.1.20", "10.0.0.7"};
  user.start_at_login = true;
  EXPECT_EQ(render(build_tray_menu(user)),
            (std::vector<std::string>{
                "#Tolvi Host \u2014 port 5960", "#    192.168.1.20", "#    10.0.0.7",
                "#No client connected", "#Running for this user only", "-", "[1] Copy Password",
                "[2] Show Password", "[3] Set Password\u2026", "-", "[4] Match client resolution",
                "[5]* Start at login", "[6] Open Log", "-",
                "[8] Install as Service (works at sign-in screen)\u2026",
                "[10] About Tolvi Host\u2026", "[7] Quit Tolvi Host"}));

  TrayMenuState service;
  service.port = 6000;
  service.service_mode = true;
  service.allow_resolution_change = true;
  service.start_at_login = true;  // never shown beside the service
  service.status = {"", "Port 6000 is in use"};
  EXPECT_EQ(
      render(build_tray_menu(service)),
      (std::vector<std::string>{
          "#Tolvi Host \u2014 port 6000", "#Port 6000 is in use",
          "#Running as a service (works at sign-in)", "-", "[1] Copy Password", "[2] Show Password",
          "[3] Set Password\u2026", "-", "[4]* Match client resolution", "[6] Open Log", "-",
          "[9] Remove Service\u2026", "[10] About Tolvi Host\u2026", "[7] Hide Tray Icon"}));
}

class TrayCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_mode = RunMode::Tray;
    backend.of(SettingsScope::User)["Port"] = std::uint32_t{5960};
    context.toolkit = &toolkit;
    context.settings = &store;
    context.run_elevated = [this](const std::string& args, bool wait) {
      elevated.push_back(args + (wait ? " (wait)" : ""));
      return elevated_ok;
    };
    context.restore_display = [this] { log.push_back("restore"); };
    context.quit = [this] { log.push_back("quit"); };
    context.log_file_path = [] { return std::filesystem::path("/home/u/tolvi-host.log"); };
    context.machine_log_file_path = [] { return std::filesystem::path("/var/log/tolvi.log"); };
    context.generate_password = [] { return std::string("generated"); };
  }
  void install() { backend.of(SettingsScope::Machine)["Installed"] = std::uint32_t{1}; }

  FakeSettingsBackend backend;
  SettingsStore store{backend};
  FakeTrayToolkit toolkit;
  TrayCommandContext context;
  std::vector<std::string> elevated, log;
  bool elevated_ok = true;
};

TEST_F(TrayCommandTest, PasswordCommands) {
  const std::string password = store.load_password();
  run_tray_command(context, TrayCommand::CopyPassword);
  run_tray_command(context, TrayCommand::ShowPassword);
  EXPECT_EQ(toolkit.clipboard, std::vector<std::string>{password});
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, password);
  EXPECT_EQ(toolkit.boxes[0].title, "Tolvi Host password");

  // Per-user host: the form in this process; its checks are the shared rules.
  toolkit.forms = {std::string("new-secret"), std::nullopt};
  run_tray_command(context, TrayCommand::SetPassword);
  EXPECT_EQ(store.load_password(), "new-secret");
  EXPECT_EQ(toolkit.last_form.check("abc", "abc"), std::string(kTooShort));
  EXPECT_EQ(toolkit.last_form.generate(), "generated");
  run_tray_command(context, TrayCommand::SetPassword);  // cancelled: unchanged
  EXPECT_EQ(store.load_password(), "new-secret");
  EXPECT_TRUE(elevated.empty());

  // A failed save says so and keeps the old password.
  backend.fail_protect = true;
  toolkit.forms = {std::string("another1")};
  run_tray_command(context, TrayCommand::SetPassword);
  EXPECT_EQ(toolkit.boxes.back().text, kPasswordNotSaved);
  EXPECT_EQ(toolkit.boxes.back().icon, MessageIcon::Error);
  backend.fail_protect = false;
  EXPECT_EQ(store.load_password(), "new-secret");
}

TEST_F(TrayCommandTest, InsideThePasswordFormASecondFormIsRefusedAndQuitEndsTheProcess) {
  // The form's loop delivers the icon's clicks: the menu opens inside it.
  TrayApplication tray(
      context, [] { return true; }, [] { return std::vector<std::string>{}; });
  tray.start();
  toolkit.choices = {menu_id(TrayCommand::SetPassword), menu_id(TrayCommand::SetPassword),
                     menu_id(TrayCommand::Quit)};
  std::vector<std::string> log_at_form_end;
  toolkit.while_form_open = [&] {
    toolkit.activate();  // Set Password… again: the open form comes forward, no second one
    EXPECT_EQ(toolkit.forms_shown, 1);
    EXPECT_EQ(toolkit.forms_raised, 1);
    toolkit.activate();  // Quit
    log_at_form_end = log;
  };
  toolkit.activate();  // Set Password…
  // Quit ended the process while the form was still open, not through the loop's quit request
  // (which the form's loop would take for its own).
  EXPECT_EQ(log_at_form_end, (std::vector<std::string>{"restore", "quit"}));
  EXPECT_TRUE(toolkit.icon_removed);
  EXPECT_EQ(toolkit.loop_quits, 0);
  EXPECT_EQ(toolkit.forms_shown, 1);

  // Once the form has closed, Set Password… opens one again.
  toolkit.choices = {menu_id(TrayCommand::SetPassword)};
  toolkit.activate();
  EXPECT_EQ(toolkit.forms_shown, 2);
  EXPECT_EQ(toolkit.forms_raised, 1);
}

TEST_F(TrayCommandTest, InstalledHostChangesPasswordThroughElevatedCopy) {
  install();  // installed, service missing: still elevated
  run_tray_command(context, TrayCommand::SetPassword);
  elevated_ok = false;
  run_tray_command(context, TrayCommand::SetPassword);
  EXPECT_EQ(elevated, (std::vector<std::string>{"--password-dialog", "--password-dialog"}));
  ASSERT_EQ(toolkit.boxes.size(), 1u);  // only the refusal is shown
  EXPECT_EQ(toolkit.boxes[0].icon, MessageIcon::Warning);
  EXPECT_TRUE(toolkit.forms.empty());
}

// Beside the service the person's account may not read the machine password: Copy and Show ask
// an elevated copy for it, and say when there is none rather than show an empty box.
TEST_F(TrayCommandTest, InstalledHostShowsThePasswordThroughElevatedCopy) {
  install();
  context.service_mode = true;
  std::optional<std::string> elevated_password = "machine-pw";
  int asked = 0;
  context.read_password_elevated = [&] {
    ++asked;
    return elevated_password;
  };
  run_tray_command(context, TrayCommand::CopyPassword);
  run_tray_command(context, TrayCommand::ShowPassword);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(toolkit.clipboard, std::vector<std::string>{"machine-pw"});
  ASSERT_EQ(toolkit.boxes.size(), 1u);
  EXPECT_EQ(toolkit.boxes[0].text, "machine-pw");

  elevated_password.reset();  // refused, or no password at all
  run_tray_command(context, TrayCommand::ShowPassword);
  run_tray_command(context, TrayCommand::CopyPassword);
  ASSERT_EQ(toolkit.boxes.size(), 3u);
  EXPECT_EQ(toolkit.boxes[1].text, kNoPasswordStatus);
  EXPECT_EQ(toolkit.boxes[1].icon, MessageIcon::Warning);
  EXPECT_EQ(toolkit.clipboard.size(), 1u);
}

// A tray that runs the host on an installed machine whose password is missing: the icon says
// so (the host refuses everyone meanwhile) until a password is set, then the error goes.
TEST_F(TrayCommandTest, HostWithoutPasswordShowsAnErrorUntilOneIsSet) {
  store_status({});
  install();
  TrayApplication tray(
      context, [] { return false; }, [] { return std::vector<std::string>{}; });
  tray.start();
  ASSERT_FALSE(toolkit.posted.empty());
  for (auto& work : toolkit.posted) work();
  EXPECT_EQ(toolkit.pictures.back(), draw_tray_picture(16, StatusKind::Error));
  EXPECT_EQ(toolkit.tips.back(), std::string("Tolvi Host \u2014 ") + kNoPasswordStatus);
  EXPECT_EQ(toolkit.timer_period, kStatusPollPeriod);

  backend.put_secret(SettingsScope::Machine, "Password", "owner-pw");  // the elevated form
  toolkit.posted.clear();
  toolkit.timer();
  for (auto& work : toolkit.posted) work();
  EXPECT_EQ(toolkit.pictures.back(), draw_tray_picture(16, StatusKind::Waiting));

  // Another error is never hidden nor cleared by the password check.
  report_error_status("Port 5960 is in use");
  backend.of(SettingsScope::Machine).erase("Password");
  toolkit.timer();
  EXPECT_EQ(error_status(), "Port 5960 is in use");
  set_status_listener(nullptr);
  store_status({});
}

TEST_F(TrayCommandTest, SettingsTogglesPerMode) {
  ASSERT_TRUE(store.allow_resolution_change());  // on unless switched off
  run_tray_command(context, TrayCommand::MatchResolution);
  EXPECT_FALSE(store.allow_resolution_change());
  run_tray_command(context, TrayCommand::MatchResolution);
  EXPECT_TRUE(store.allow_resolution_change());
  run_tray_command(context, TrayCommand::StartAtLogin);
  EXPECT_TRUE(store.start_at_login());
  run_tray_command(context, TrayCommand::StartAtLogin);
  EXPECT_FALSE(store.start_at_login());

  context.service_mode = true;
  run_tray_command(context, TrayCommand::MatchResolution);  // currently on: asks to switch off
  store.set_allow_resolution_change(false);
  run_tray_command(context, TrayCommand::MatchResolution);
  EXPECT_EQ(elevated, (std::vector<std::string>{"--set-match 0 (wait)", "--set-match 1 (wait)"}));
}

TEST_F(TrayCommandTest, LogQuitInstallRemoveAbout) {
  run_tray_command(context, TrayCommand::OpenLog);
  context.service_mode = true;
  run_tray_command(context, TrayCommand::OpenLog);
  EXPECT_EQ(toolkit.opened,
            (std::vector<std::string>{"/home/u/tolvi-host.log", "/var/log/tolvi.log"}));

  run_tray_command(context, TrayCommand::Quit);
  EXPECT_TRUE(toolkit.icon_removed);
  run_tray_command(context, TrayCommand::InstallService);
  EXPECT_EQ(log, (std::vector<std::string>{"restore", "quit", "restore"}));

  toolkit.answers = {MessageAnswer::Cancel, MessageAnswer::Ok, MessageAnswer::Ok};
  run_tray_command(context, TrayCommand::RemoveService);  // cancelled
  elevated_ok = false;
  run_tray_command(context, TrayCommand::RemoveService);  // refused: warning
  EXPECT_EQ(elevated, (std::vector<std::string>{"--install", "--uninstall"}));
  EXPECT_EQ(toolkit.boxes.size(), 3u);
  EXPECT_EQ(toolkit.boxes[2].icon, MessageIcon::Warning);

  toolkit.answers = {MessageAnswer::No, MessageAnswer::Yes};
  run_tray_command(context, TrayCommand::About);
  run_tray_command(context, TrayCommand::About);
  EXPECT_EQ(toolkit.boxes.back().title, "About Tolvi Host");
  EXPECT_EQ(toolkit.boxes.back().text.rfind("Tolvi Host\nVersion 1.0 (6)\n\nLets you reach", 0),
            0u);
  EXPECT_EQ(toolkit.opened.back(), kProductWebPage);
  EXPECT_EQ(toolkit.opened.size(), 3u);
}

TEST_F(TrayCommandTest, ApplicationFollowsTheStatus) {
  store_status({});
  TrayApplication tray(
      context, [] { return true; }, [] { return std::vector<std::string>{}; });
  tray.start();
  ASSERT_EQ(toolkit.tips.size(), 1u);
  EXPECT_EQ(toolkit.pictures.back(), draw_tray_picture(16, StatusKind::Waiting));
  // A session thread reports; the redraw is posted to the toolkit's thread.
  report_client_status("192.168.1.20");
  ASSERT_EQ(toolkit.posted.size(), 1u);
  toolkit.posted[0]();
  EXPECT_EQ(toolkit.tips.back(), "Tolvi Host \u2014 connected: 192.168.1.20");
  EXPECT_EQ(toolkit.pictures.back(), draw_tray_picture(16, StatusKind::Connected));
  toolkit.activate();
  ASSERT_EQ(toolkit.menus.size(), 1u);
  EXPECT_EQ(toolkit.menus[0][1].text, "Connected: 192.168.1.20");  // no addresses
  set_status_listener(nullptr);
  store_status({});
}

TEST_F(TrayCommandTest, ServiceModePollsTheAgentStatus) {
  store_status({});
  context.service_mode = true;
  bool running = true;
  TrayApplication tray(
      context, [&] { return running; }, [] { return std::vector<std::string>{}; });
  store.save_status("error: Port 5960 is in use");
  tray.start();  // first poll at once
  EXPECT_EQ(toolkit.timer_period, kStatusPollPeriod);
  EXPECT_EQ(toolkit.tips.back(), "Tolvi Host \u2014 Port 5960 is in use");
  EXPECT_EQ(toolkit.pictures.back(), draw_tray_picture(16, StatusKind::Error));
  const std::size_t drawn = toolkit.tips.size();
  toolkit.timer();  // same reading: no redraw
  EXPECT_EQ(toolkit.tips.size(), drawn);
  store.save_status("192.168.1.20");
  toolkit.timer();
  EXPECT_EQ(toolkit.tips.back(), "Tolvi Host \u2014 connected: 192.168.1.20");
  running = false;
  toolkit.timer();
  EXPECT_EQ(toolkit.tips.back(), "Tolvi Host \u2014 Service is not running");
  store_status({});
}

}  // namespace
}  // namespace tolvi
