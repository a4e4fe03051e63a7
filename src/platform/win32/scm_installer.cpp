// Installation on Windows: the service control manager, the registry (uninstall entry, the
// secure attention policy, the delete-at-restart list), netsh for the firewall, the shell link
// for the Start menu and the delayed delete of the running uninstaller.
#include <windows.h>
// windows.h first: the shell and Toolhelp headers need its types.
#include <knownfolders.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include "base/product.h"
#include "base/win32/unique_handle.h"
#include "platform/installer.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/win32/registry_key.h"
#include "platform/win32/system_programs.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {
namespace {

constexpr wchar_t kServiceDisplayName[] = L"Tolvi Host";
constexpr wchar_t kMessageTitle[] = L"Tolvi Host";
constexpr wchar_t kInstallFolderName[] = L"\\Tolvi";
constexpr wchar_t kExecutableName[] = L"\\tolvi-host.exe";
constexpr wchar_t kShortcutName[] = L"\\Tolvi Host.lnk";
constexpr wchar_t kFallbackProgramFiles[] = L"C:\\Program Files";
constexpr wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TolviHost";
constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
constexpr wchar_t kPolicyValue[] = L"SoftwareSASGeneration";
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenamesValue[] = L"PendingFileRenameOperations";

constexpr REGSAM kSetAccess = KEY_SET_VALUE | KEY_WOW64_64KEY;
constexpr DWORD kReadView = RRF_SUBKEY_WOW6464KEY;

// A stop is polled this often, this long apart (about ten seconds in all).
constexpr int kStopPolls = 50;
constexpr DWORD kStopPollMs = 200;
constexpr DWORD kCopyEndWaitMs = 3000;
constexpr DWORD kHiddenCommandWaitMs = 30000;

struct ServiceHandle {
  SC_HANDLE handle = nullptr;
  ServiceHandle() = default;
  explicit ServiceHandle(SC_HANDLE h) : handle(h) {}
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  ~ServiceHandle() { reset(); }
  void reset(SC_HANDLE h = nullptr) {
    if (handle) CloseServiceHandle(handle);
    handle = h;
  }
};

// A known folder's path, or nothing when the shell cannot say.
std::optional<std::wstring> known_folder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::optional<std::wstring> result;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) result = path;
  CoTaskMemFree(path);
  return result;
}

// Runs a console program of the system folder without a window and waits for it (at most
// 30 s); errors ignored.
void run_hidden_and_wait(std::wstring_view program_name, std::wstring_view arguments) {
  const std::wstring program = system_program(program_name);
  if (program.empty()) return;
  std::wstring writable = command_line_of(program, arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return;
  }
  const UniqueHandle process_handle(process.hProcess), thread_handle(process.hThread);
  WaitForSingleObject(process.hProcess, kHiddenCommandWaitMs);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
}

class ScmInstaller final : public Installer {
 public:
  bool is_elevated() override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const UniqueHandle owned(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = sizeof elevation;
    return GetTokenInformation(token, TokenElevation, &elevation, size, &size) &&
           elevation.TokenIsElevated != 0;
  }

  bool run_elevated(const std::string& arguments) override {
    return platform::run_elevated(arguments, true);
  }

  void show_message(const std::string& text, bool error) override {
    MessageBoxW(nullptr, to_wide(text).c_str(), kMessageTitle,
                (error ? MB_ICONERROR : MB_ICONINFORMATION) | MB_TOPMOST);
  }

  void begin_changes() override {}
  void end_changes(bool) override {}

  bool open_service_manager() override {
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return manager_.handle != nullptr;
  }
  void close_service_manager() override {
    service_.reset();
    manager_.reset();
  }

  void stop_and_delete_service() override {
    ServiceHandle service(OpenServiceW(manager_.handle, kServiceNameWide,
                                       DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service.handle) return;
    SERVICE_STATUS status{};
    if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
      for (int poll = 0; poll < kStopPolls; ++poll) {
        if (!QueryServiceStatus(service.handle, &status) ||
            status.dwCurrentState == SERVICE_STOPPED) {
          break;
        }
        Sleep(kStopPollMs);
      }
    }
    DeleteService(service.handle);
  }

  void terminate_other_copies(const std::function<bool(std::string_view)>& is_copy) override {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    const DWORD self = GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == self || !is_copy(from_wide(entry.szExeFile))) continue;
      const UniqueHandle process(
          OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
      if (!process) continue;
      if (TerminateProcess(process.get(), 0)) WaitForSingleObject(process.get(), kCopyEndWaitMs);
    }
  }

  void pause(std::chrono::milliseconds time) override { Sleep(static_cast<DWORD>(time.count())); }

  std::string install_directory() override {
    return from_wide(known_folder(FOLDERID_ProgramFiles).value_or(kFallbackProgramFiles) +
                     kInstallFolderName);
  }
  std::string installed_executable() override {
    return install_directory() + from_wide(kExecutableName);
  }
  std::string shortcut_path() override {
    const auto programs = known_folder(FOLDERID_CommonPrograms);
    return programs ? from_wide(*programs + kShortcutName) : std::string();
  }
  std::string running_executable() override { return to_utf8(module_path()); }

  bool runs_installed_executable() override {
    const std::u16string running = module_path();
    return _wcsicmp(to_wide(installed_executable()).c_str(),
                    reinterpret_cast<const wchar_t*>(running.c_str())) == 0;
  }

  std::optional<std::uint64_t> file_size(const std::string& path) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) {
      return std::nullopt;
    }
    return (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  std::optional<std::u16string> read_pending_renames() override {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue,
                     RRF_RT_REG_MULTI_SZ | kReadView, nullptr, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes == 0) {
      return std::nullopt;
    }
    // Rounded down to whole units, read into a zeroed buffer two units longer.
    const DWORD units = bytes / sizeof(wchar_t);
    std::wstring buffer(units + 2, L'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenamesValue,
                     RRF_RT_REG_MULTI_SZ | kReadView, nullptr, buffer.data(),
                     &got) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    const std::size_t length = std::min<std::size_t>(got / sizeof(wchar_t), units);
    return std::u16string(buffer.begin(), buffer.begin() + length);
  }

  bool write_pending_renames(const std::optional<std::u16string>& list) override {
    RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, kSetAccess, &key.handle) !=
        ERROR_SUCCESS) {
      return false;
    }
    if (!list) return RegDeleteValueW(key.handle, kPendingRenamesValue) == ERROR_SUCCESS;
    return RegSetValueExW(key.handle, kPendingRenamesValue, 0, REG_MULTI_SZ,
                          reinterpret_cast<const BYTE*>(list->data()),
                          static_cast<DWORD>(list->size() * sizeof(char16_t))) == ERROR_SUCCESS;
  }

  void create_install_directory() override {
    CreateDirectoryW(to_wide(install_directory()).c_str(), nullptr);  // may exist already
  }

  bool copy_executable(const std::string& from, const std::string& to) override {
    return CopyFileW(to_wide(from).c_str(), to_wide(to).c_str(), FALSE) != 0;
  }

  bool create_service(const std::string& command) override {
    service_.reset(CreateServiceW(manager_.handle, kServiceNameWide, kServiceDisplayName,
                                  SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, to_wide(command).c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
    return service_.handle != nullptr;
  }

  void configure_service(const std::string& description,
                         const std::vector<std::chrono::milliseconds>& restart_delays,
                         std::chrono::seconds reset_period) override {
    std::wstring text = to_wide(description);
    SERVICE_DESCRIPTIONW about{text.data()};
    ChangeServiceConfig2W(service_.handle, SERVICE_CONFIG_DESCRIPTION, &about);
    std::vector<SC_ACTION> actions;
    for (const auto delay : restart_delays) {
      actions.push_back({SC_ACTION_RESTART, static_cast<DWORD>(delay.count())});
    }
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = static_cast<DWORD>(reset_period.count());
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    ChangeServiceConfig2W(service_.handle, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  }

  ServiceStart start_service() override {
    return StartServiceW(service_.handle, 0, nullptr) ? ServiceStart::Started
                                                      : ServiceStart::Failed;
  }

  bool has_secure_attention_policy() override { return true; }

  std::optional<std::uint32_t> read_secure_attention_policy() override {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, kPolicyValue, RRF_RT_REG_DWORD | kReadView,
                     nullptr, &value, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    return value;
  }

  void write_secure_attention_policy(std::optional<std::uint32_t> value) override {
    RegKey key;
    if (!value) {
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, kSetAccess, &key.handle) ==
          ERROR_SUCCESS) {
        RegDeleteValueW(key.handle, kPolicyValue);
      }
      return;
    }
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, nullptr, 0, kSetAccess, nullptr,
                        &key.handle, nullptr) != ERROR_SUCCESS) {
      return;
    }
    const DWORD data = *value;
    RegSetValueExW(key.handle, kPolicyValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                   sizeof data);
  }

  void delete_firewall_rule(const std::string& rule_name) override {
    run_hidden_and_wait(L"netsh.exe",
                        L"advfirewall firewall delete rule name=\"" + to_wide(rule_name) + L"\"");
  }

  void add_firewall_rule(const std::string& rule_name, const std::string& program,
                         std::uint16_t) override {
    run_hidden_and_wait(L"netsh.exe",
                        L"advfirewall firewall add rule name=\"" + to_wide(rule_name) +
                            L"\" dir=in action=allow protocol=TCP program=\"" + to_wide(program) +
                            L"\" profile=private,domain enable=yes");
  }

  void write_uninstall_entry(const std::vector<UninstallValue>& values) override {
    RegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, kSetAccess, nullptr,
                        &key.handle, nullptr) != ERROR_SUCCESS) {
      return;
    }
    for (const auto& [name, value] : values) {
      const std::wstring value_name = to_wide(name);
      if (const auto* number = std::get_if<std::uint32_t>(&value)) {
        const DWORD data = *number;
        RegSetValueExW(key.handle, value_name.c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&data), sizeof data);
      } else {
        const std::wstring text = to_wide(std::get<std::string>(value));
        RegSetValueExW(key.handle, value_name.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));  // with its NUL
      }
    }
  }

  void delete_uninstall_entry() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kUninstallKey); }

  void create_shortcut(const std::string& path, const std::string& target,
                       const std::string& description) override {
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
      const std::wstring executable = to_wide(target);
      link->SetPath(executable.c_str());
      link->SetDescription(to_wide(description).c_str());
      link->SetIconLocation(executable.c_str(), 0);
      IPersistFile* file = nullptr;
      if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        file->Save(to_wide(path).c_str(), TRUE);
        file->Release();
      }
      link->Release();
    }
    if (SUCCEEDED(init)) CoUninitialize();
  }

  void delete_file(const std::string& path) override { DeleteFileW(to_wide(path).c_str()); }

  void start_tray_for_user(const std::string& executable) override {
    // Through Explorer: the tray then runs as the signed-in user, without elevation.
    const std::wstring explorer = windows_program(L"explorer.exe");
    if (explorer.empty()) return;
    ShellExecuteW(nullptr, L"open", explorer.c_str(), to_wide(executable).c_str(), nullptr,
                  SW_SHOWNORMAL);
  }

  void remove_installed_executable() override {
    const std::wstring executable = to_wide(installed_executable());
    if (DeleteFileW(executable.c_str())) return;
    // In use (the uninstaller is the installed program): a detached command deletes the file
    // and the folder once this process has gone; four pings take about three seconds.
    // cmd.exe looks for ping in its working folder first: the system folder.
    const std::wstring shell = system_program(L"cmd.exe");
    const std::wstring system_folder = system_program(L"");
    std::wstring command =
        command_line_of(shell, L"/d /c ping -n 4 127.0.0.1 >nul & del /f /q \"" + executable +
                                   L"\" & rmdir \"" + to_wide(install_directory()) + L"\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!shell.empty() && CreateProcessW(shell.c_str(), command.data(), nullptr, nullptr, FALSE,
                                         CREATE_NO_WINDOW | DETACHED_PROCESS, nullptr,
                                         system_folder.c_str(), &startup, &process)) {
      const UniqueHandle process_handle(process.hProcess), thread_handle(process.hThread);
      return;
    }
    // Next restart then (a later installation cancels it).
    MoveFileExW(executable.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }

  void remove_install_directory() override {
    // Fails harmlessly while the executable is still there; the delayed command removes it.
    RemoveDirectoryW(to_wide(install_directory()).c_str());
  }

 private:
  ServiceHandle manager_;
  ServiceHandle service_;
};

}  // namespace

std::unique_ptr<Installer> make_installer() { return std::make_unique<ScmInstaller>(); }

}  // namespace tolvi::platform
