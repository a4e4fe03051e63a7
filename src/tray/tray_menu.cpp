#include "tray/tray_menu.h"

#include "base/log.h"
#include "base/secure_zero.h"
#include "tray/password_rules.h"

namespace tolvi {
namespace {

using platform::MessageAnswer;
using platform::MessageButtons;
using platform::MessageIcon;
using platform::TrayMenuEntry;
using Kind = TrayMenuEntry::Kind;

constexpr char kAddressIndent[] = "    ";
constexpr char kElevatedPasswordRefused[] =
    "Changing the password needs administrator permission. Choose Set Password again and click "
    "Yes in the Windows prompt.";
constexpr char kRemoveServiceQuestion[] =
    "Remove the Tolvi Host service? Tolvi will stop working at the sign-in screen.";
constexpr char kElevatedRemoveRefused[] =
    "Removing the service needs administrator permission. Choose Remove Service again and click "
    "Yes in the Windows prompt, or remove Tolvi Host in Settings > Apps > Installed apps.";
constexpr char kPasswordTitle[] = "Tolvi Host password";
constexpr char kAboutTitle[] = "About Tolvi Host";
constexpr char kWebSiteHost[] = "tolvi.teaspoonforge.example";
constexpr char kRightsNotice[] = "Copyright \u00A9 Teaspoon Forge. All rights reserved.";

TrayMenuEntry label(std::string text) { return {Kind::Label, 0, std::move(text), false, false}; }
TrayMenuEntry separator() { return {Kind::Separator, 0, {}, false, false}; }
TrayMenuEntry command(TrayCommand id, std::string text) {
  return {Kind::Command, menu_id(id), std::move(text), false, false};
}
TrayMenuEntry check(TrayCommand id, std::string text, bool on) {
  return {Kind::Command, menu_id(id), std::move(text), on, true};
}

// The password as the settings store has it, wiped when the command is done with it.
struct PasswordText {
  std::string text;
  ~PasswordText() { secure_zero(text.data(), text.size()); }
};

}  // namespace

std::vector<TrayMenuEntry> build_tray_menu(const TrayMenuState& state) {
  std::vector<TrayMenuEntry> menu;
  menu.push_back(label("Tolvi Host \u2014 port " + std::to_string(state.port)));
  for (const std::string& address : state.addresses)
    menu.push_back(label(kAddressIndent + address));
  menu.push_back(label(menu_status_line(state.status)));
  menu.push_back(label(state.service_mode ? "Running as a service (works at sign-in)"
                                          : "Running for this user only"));
  menu.push_back(separator());
  menu.push_back(command(TrayCommand::CopyPassword, "Copy Password"));
  menu.push_back(command(TrayCommand::ShowPassword, "Show Password"));
  menu.push_back(command(TrayCommand::SetPassword, "Set Password\u2026"));
  menu.push_back(separator());
  menu.push_back(check(TrayCommand::MatchResolution, "Match client resolution",
                       state.allow_resolution_change));
  if (!state.service_mode) {
    menu.push_back(check(TrayCommand::StartAtLogin, "Start at login", state.start_at_login));
  }
  menu.push_back(command(TrayCommand::OpenLog, "Open Log"));
  menu.push_back(separator());
  if (state.service_mode) {
    menu.push_back(command(TrayCommand::RemoveService, "Remove Service\u2026"));
  } else {
    menu.push_back(
        command(TrayCommand::InstallService, "Install as Service (works at sign-in screen)\u2026"));
  }
  menu.push_back(command(TrayCommand::About, "About Tolvi Host\u2026"));
  menu.push_back(
      command(TrayCommand::Quit, state.service_mode ? "Hide Tray Icon" : "Quit Tolvi Host"));
  return menu;
}

std::string about_text() {
  return std::string(kProductName) + "\nVersion " + kVersionText + "\n\n" + kProductDescription +
         "\n\nDeveloper: Teaspoon Forge\nWebsite: " + kWebSiteHost + "\n\n" + kRightsNotice +
         "\n\nOpen the Tolvi website?";
}

bool change_password_with_form(platform::TrayToolkit& toolkit, SettingsStore& settings,
                               const std::function<std::string()>& generate_password) {
  platform::PasswordFormLogic logic;
  logic.check = [](const std::string& first, const std::string& second) {
    return password_entry_problem(first, second);
  };
  logic.generate = generate_password;
  std::optional<std::string> text = toolkit.password_form(logic);
  if (!text) return false;
  const bool saved = settings.save_password(*text);
  secure_zero(text->data(), text->size());
  if (saved) {
    log_message("%s", kPasswordSavedLog);
    return true;
  }
  toolkit.message_box(kPasswordNotSaved, kProductName, MessageIcon::Error, MessageButtons::Ok);
  return false;
}

namespace {

// The password clients use: the store's, or through the elevated step where this account may not
// read an installed host's settings. Empty when there is none.
std::string current_password(const TrayCommandContext& context) {
  SettingsStore& settings = *context.settings;
  std::string password = settings.load_password();
  if (password.empty() && context.read_password_elevated &&
      (context.service_mode || settings.is_installed())) {
    if (auto elevated = context.read_password_elevated()) password = std::move(*elevated);
  }
  return password;
}

}  // namespace

void run_tray_command(const TrayCommandContext& context, TrayCommand command) {
  platform::TrayToolkit& toolkit = *context.toolkit;
  SettingsStore& settings = *context.settings;
  switch (command) {
    case TrayCommand::CopyPassword:
    case TrayCommand::ShowPassword: {
      PasswordText password{current_password(context)};
      if (password.text.empty()) {
        toolkit.message_box(kNoPasswordStatus, kProductName, MessageIcon::Warning,
                            MessageButtons::Ok);
      } else if (command == TrayCommand::CopyPassword) {
        toolkit.copy_to_clipboard(password.text);
      } else {
        toolkit.message_box(password.text, kPasswordTitle, MessageIcon::Information,
                            MessageButtons::Ok);
      }
      break;
    }
    case TrayCommand::SetPassword:
      // An installed host keeps its password machine-wide: only an elevated copy may change it.
      if (context.service_mode || settings.is_installed()) {
        if (!context.run_elevated("--password-dialog", false)) {
          toolkit.message_box(kElevatedPasswordRefused, kProductName, MessageIcon::Warning,
                              MessageButtons::Ok);
        }
      } else if (*context.password_form_open) {
        toolkit.raise_password_form();
      } else {
        *context.password_form_open = true;
        change_password_with_form(toolkit, settings, context.generate_password);
        *context.password_form_open = false;
      }
      break;
    case TrayCommand::MatchResolution:
      if (context.service_mode) {
        context.run_elevated(settings.allow_resolution_change() ? "--set-match 0" : "--set-match 1",
                             true);
      } else {
        settings.set_allow_resolution_change(!settings.allow_resolution_change());
      }
      break;
    case TrayCommand::StartAtLogin:
      settings.set_start_at_login(!settings.start_at_login());
      break;
    case TrayCommand::OpenLog: {
      const std::filesystem::path path =
          context.service_mode ? context.machine_log_file_path() : context.log_file_path();
      toolkit.open_with_default_application(path.string());
      break;
    }
    case TrayCommand::Quit:
      context.restore_display();
      toolkit.remove_icon();
      context.quit();
      break;
    case TrayCommand::InstallService:
      context.restore_display();
      context.run_elevated("--install", false);
      break;
    case TrayCommand::RemoveService:
      if (toolkit.message_box(kRemoveServiceQuestion, kProductName, MessageIcon::Question,
                              MessageButtons::OkCancel) == MessageAnswer::Ok &&
          !context.run_elevated("--uninstall", false)) {
        toolkit.message_box(kElevatedRemoveRefused, kProductName, MessageIcon::Warning,
                            MessageButtons::Ok);
      }
      break;
    case TrayCommand::About:
      if (toolkit.message_box(about_text(), kAboutTitle, MessageIcon::Information,
                              MessageButtons::YesNo) == MessageAnswer::Yes) {
        toolkit.open_with_default_application(kProductWebPage);
      }
      break;
    case TrayCommand::None:
    default:  // an id no menu entry has
      break;
  }
}

}  // namespace tolvi
