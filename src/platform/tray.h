#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvi::platform {

// The desktop toolkit under the tray application: a status icon with a tip, a popup menu,
// message boxes, the password form, the clipboard and opening files. Everything runs on the
// thread that calls run(), except post_to_main_thread().

// One line of the tray menu.
struct TrayMenuEntry {
  enum class Kind { Label, Separator, Command };
  Kind kind = Kind::Label;
  int id = 0;  // commands only
  std::string text;
  bool checked = false;  // commands shown with a check mark
  bool checkable = false;
};

enum class MessageIcon { Information, Warning, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo };
enum class MessageAnswer { Ok, Cancel, Yes, No };

// What the password form asks of its owner: whether a (first, second) entry may be saved
// (nothing) or why not (the text to show), and a generated password.
struct PasswordFormLogic {
  std::function<std::optional<std::string>(const std::string&, const std::string&)> check;
  std::function<std::string()> generate;
};

// Draws the icon's picture at the side the desktop asks for: size x size 0xAARRGGBB pixels.
using PictureSource = std::function<std::vector<std::uint32_t>(int size)>;

class TrayToolkit {
 public:
  virtual ~TrayToolkit() = default;

  // Shows the icon, or changes its picture and tip.
  virtual void set_icon(PictureSource picture, const std::string& tip) = 0;
  virtual void remove_icon() = 0;
  // The icon was clicked or chosen with the keyboard: `handler` runs on the toolkit's thread.
  virtual void on_activate(std::function<void()> handler) = 0;
  // The desktop session is ending (Windows says so to the window; elsewhere the process is
  // simply stopped): `handler` puts back what must not outlive the process.
  virtual void on_session_end(std::function<void()> handler) = 0;
  // Runs `handler` every `period` on the toolkit's thread.
  virtual void every(std::chrono::milliseconds period, std::function<void()> handler) = 0;
  // From any thread: runs `handler` soon on the toolkit's thread.
  virtual void post_to_main_thread(std::function<void()> handler) = 0;
  // Shows the menu at the pointer; `chosen` gets the command's id, or 0 when dismissed.
  virtual void show_menu(const std::vector<TrayMenuEntry>& entries,
                         std::function<void(int)> chosen) = 0;
  // Modal message box; `title` is the window title.
  virtual MessageAnswer message_box(const std::string& text, const std::string& title,
                                    MessageIcon icon, MessageButtons buttons) = 0;
  // The modal password form; the saved text when the user saved, else nothing. Its loop goes on
  // delivering the icon's events, so the menu can open while it runs.
  virtual std::optional<std::string> password_form(const PasswordFormLogic& logic) = 0;
  // Brings the open password form to the front; nothing when none is open.
  virtual void raise_password_form() = 0;
  // Offers `text` on the system clipboard for as long as this process lives or until another
  // owner takes it. False when the clipboard could not be taken.
  virtual bool copy_to_clipboard(const std::string& text) = 0;
  // Opens a file or a web page with the desktop's default application.
  virtual void open_with_default_application(const std::string& path_or_url) = 0;
  // Runs the toolkit's loop until quit(); returns then.
  virtual void run() = 0;
  virtual void quit() = 0;
};

// This build's toolkit on the current desktop; nothing when there is no desktop to show on.
std::unique_ptr<TrayToolkit> make_tray_toolkit();

// Holds the per-user single-instance claim for the life of the process. False when another
// copy of the tray application already holds it.
bool claim_tray_instance();

// The machine's IPv4 addresses on interfaces that are up, loopback left out, in the system's
// order, as dotted text.
std::vector<std::string> local_ipv4_addresses();

// The system service that runs the host: registered at all, and starting or running.
bool is_service_installed();
bool is_service_running();

}  // namespace tolvi::platform
