#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tolvi::platform {

// One value of the entry in the system's list of installed programs: a text or a number.
struct UninstallValue {
  std::string name;
  std::variant<std::string, std::uint32_t> value;
};

// What starting the installed service came to.
enum class ServiceStart {
  Started,
  Failed,
  NoServiceManager,  // registered for the next boot: no service manager runs here (containers)
};

// The machine-wide changes that installing and removing the host make, one operation per step,
// so the order of the steps is kept by the caller. Paths and texts are UTF-8. Operations whose
// failure the caller does not act on return nothing; the backend carries on as far as it can.
// Windows: the service control manager, the registry, netsh, the shell. Linux: a systemd unit,
// desktop entries, ufw or firewalld, all under the install root (TOLVI_INSTALL_ROOT, default
// "/"), and a manifest of what was written, so removal takes away exactly that.
class Installer {
 public:
  virtual ~Installer() = default;

  // Administrator (Windows: an elevated token; Linux: root).
  virtual bool is_elevated() = 0;
  // Runs this program again with administrator rights and `arguments`, waiting for it; true
  // when it ended with exit code 0.
  virtual bool run_elevated(const std::string& arguments) = 0;
  // Shown to the person who started the command (message box, or the error stream).
  virtual void show_message(const std::string& text, bool error) = 0;

  // Brackets one command's changes (Linux loads and finally settles its manifest).
  virtual void begin_changes() = 0;
  virtual void end_changes(bool removing) = 0;

  virtual bool open_service_manager() = 0;
  virtual void close_service_manager() = 0;
  // Stops an installed service (waiting for it to stop) and deletes it; nothing when none.
  virtual void stop_and_delete_service() = 0;
  // Ends the other running copies of the program, waiting a few seconds for each to go.
  // Windows: every process whose executable's file name `is_copy` accepts. Linux, where each
  // process's executable is known by its full path: only the processes that run the installed
  // executable (also one replaced since they started); `is_copy` is not asked.
  virtual void terminate_other_copies(
      const std::function<bool(std::string_view name)>& is_copy) = 0;
  virtual void pause(std::chrono::milliseconds time) = 0;

  // The paths given out here are the installed system's own (on Linux without the install
  // root, which the backend adds itself whenever it touches them).
  virtual std::string install_directory() = 0;
  virtual std::string installed_executable() = 0;
  // Empty when the system has no place for it.
  virtual std::string shortcut_path() = 0;
  // The file this process runs from, as the file system of this process names it.
  virtual std::string running_executable() = 0;
  // Whether the program already runs from the installed path (Windows: case-insensitive).
  virtual bool runs_installed_executable() = 0;
  // Size in bytes of an installed file, nothing when its attributes cannot be read.
  virtual std::optional<std::uint64_t> file_size(const std::string& path) = 0;

  // The delete-at-restart list: its stored UTF-16 units (data as read, possibly without its
  // final terminators), nothing when there is none. Writing nothing deletes the list.
  virtual std::optional<std::u16string> read_pending_renames() = 0;
  virtual bool write_pending_renames(const std::optional<std::u16string>& list) = 0;

  virtual void create_install_directory() = 0;
  // `from` as running_executable() gives it, `to` an installed path; overwrites.
  virtual bool copy_executable(const std::string& from, const std::string& to) = 0;

  // Registers the service that runs `command`; false when it cannot be created.
  virtual bool create_service(const std::string& command) = 0;
  // Description and restart-on-failure delays (reset after `reset_period` without failures).
  virtual void configure_service(const std::string& description,
                                 const std::vector<std::chrono::milliseconds>& restart_delays,
                                 std::chrono::seconds reset_period) = 0;
  virtual ServiceStart start_service() = 0;

  // The setting that lets services raise the secure attention sequence. Systems without one
  // answer false and are not asked to read or write it.
  virtual bool has_secure_attention_policy() = 0;
  virtual std::optional<std::uint32_t> read_secure_attention_policy() = 0;
  // Nothing deletes the value.
  virtual void write_secure_attention_policy(std::optional<std::uint32_t> value) = 0;

  // Inbound TCP to the installed executable (Windows) or to `port` (Linux).
  virtual void delete_firewall_rule(const std::string& rule_name) = 0;
  virtual void add_firewall_rule(const std::string& rule_name, const std::string& program,
                                 std::uint16_t port) = 0;

  virtual void write_uninstall_entry(const std::vector<UninstallValue>& values) = 0;
  virtual void delete_uninstall_entry() = 0;

  virtual void create_shortcut(const std::string& path, const std::string& target,
                               const std::string& description) = 0;
  virtual void delete_file(const std::string& path) = 0;

  // Starts the installed tray application for the signed-in user, not elevated.
  virtual void start_tray_for_user(const std::string& executable) = 0;

  // Removes the installed executable; when it is in use (the running uninstaller), removes it
  // and the install folder shortly after this process has exited.
  virtual void remove_installed_executable() = 0;
  virtual void remove_install_directory() = 0;
};

// The installer of this build.
std::unique_ptr<Installer> make_installer();

}  // namespace tolvi::platform
