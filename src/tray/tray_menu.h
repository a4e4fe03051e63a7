#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/product.h"
#include "platform/tray.h"
#include "settings/settings_store.h"
#include "tray/tray_status.h"

namespace tolvi {

// The menu's commands; each one's number is its menu entry's id.
enum class TrayCommand : int {
  None = 0,
  CopyPassword = 1,
  ShowPassword = 2,
  SetPassword = 3,
  MatchResolution = 4,
  StartAtLogin = 5,
  OpenLog = 6,
  Quit = 7,
  InstallService = 8,
  RemoveService = 9,
  About = 10,
};
constexpr int menu_id(TrayCommand command) { return static_cast<int>(command); }

constexpr char kProductWebPage[] = "https://tolvi.teaspoonforge.example/tolvi.html";
constexpr char kPasswordSavedLog[] = "password changed";
constexpr char kPasswordNotSaved[] = "The password couldn't be saved. Nothing was changed.";

// What the menu shows; read once, when the menu is opened.
struct TrayMenuState {
  std::uint16_t port = 0;
  std::vector<std::string> addresses;
  StatusSnapshot status;
  bool service_mode = false;
  bool allow_resolution_change = false;
  bool start_at_login = false;
};

std::vector<platform::TrayMenuEntry> build_tray_menu(const TrayMenuState& state);

std::string about_text();

// Everything the commands reach outside the settings store, so that they run in tests.
struct TrayCommandContext {
  platform::TrayToolkit* toolkit = nullptr;
  SettingsStore* settings = nullptr;
  bool service_mode = false;
  std::function<bool(const std::string& arguments, bool wait)> run_elevated;
  std::function<void()> restore_display;
  std::function<std::filesystem::path()> log_file_path;
  std::function<std::filesystem::path()> machine_log_file_path;
  // Ends the process once the serving session has wound down; does not return in the program.
  // Not a request to the toolkit's loop: Quit may be chosen while the password form's modal
  // loop runs, which would take such a request for its own.
  std::function<void()> quit;
  std::function<std::string()> generate_password;  // for the password form
  // The machine password through an elevated copy of the program, for a tray whose account may
  // not read the machine settings (Linux keeps them for root alone); unset where the tray reads
  // them itself. Nothing when the elevation was refused or failed.
  std::function<std::optional<std::string>()> read_password_elevated;
  // Whether this process's password form is open, shared by the copies of the context. The
  // form's loop still delivers the icon's clicks, so Set Password… can be chosen again from
  // inside it: the open form is then brought forward instead of a second one.
  std::shared_ptr<bool> password_form_open = std::make_shared<bool>(false);
};

// Carries out one menu command (0 does nothing).
void run_tray_command(const TrayCommandContext& context, TrayCommand command);

// The password form, then the save: true when a new password was saved. A failed save is
// shown to the user. Shared by "Set Password…" and the "--password-dialog" command.
bool change_password_with_form(platform::TrayToolkit& toolkit, SettingsStore& settings,
                               const std::function<std::string()>& generate_password);

}  // namespace tolvi
