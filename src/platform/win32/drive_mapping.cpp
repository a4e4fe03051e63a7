// The client's shared folder on Windows: the WebClient service mounts the tunnel's WebDAV
// server as a drive letter with `net use`, run as the user signed in at the console, and File
// Explorer shows the folder's name as the drive's label.
#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "base/win32/unique_handle.h"
#include "net_use_output.h"
#include "platform/folder_mount.h"
#include "platform/text.h"
#include "platform/win32/child_process.h"
#include "platform/win32/registry_key.h"
#include "platform/win32/system_programs.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {

namespace {

constexpr DWORD kCommandTimeoutMs = 60000;
constexpr DWORD kUnmapTimeoutMs = 15000;
constexpr DWORD kNoFileSizeLimit = 0xFFFFFFFF;
constexpr DWORD kWebClientAccess = 0x34;  // query status, start, stop
constexpr int kServicePolls = 50;
constexpr DWORD kServicePollMs = 100;
constexpr DWORD kPipePiece = 1024;
constexpr DWORD kPipePollMs = 20;
constexpr char kNoUserText[] = "Sign in on the Windows PC to see the shared folder there.";
constexpr char kFailedText[] =
    "Windows couldn't open the shared folder. Make sure the WebClient service isn't disabled on "
    "this PC.";

bool is_local_system() {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  const UniqueHandle token(opened);
  alignas(TOKEN_USER) unsigned char buffer[256];
  DWORD size = 0;
  return GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size) &&
         IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid);
}

// Runs a program of the system folder with `arguments` as the console user (from LocalSystem)
// or as this process's user, with its standard output and error collected. False when it could
// not be started.
bool run_as_console_user(std::wstring_view program_name, const std::wstring& arguments,
                         std::string& output, DWORD& exit_code, DWORD timeout_ms) {
  output.clear();
  exit_code = 0;
  UniqueHandle token;
  if (is_local_system()) {
    HANDLE user = nullptr;
    if (!WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &user)) {
      return false;  // nobody signed in at the console
    }
    token.reset(user);
  }
  const std::wstring program = system_program(program_name);
  if (program.empty()) return false;
  // Only the pipe's write end may be inherited, and the child gets only that one handle.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_pipe = nullptr, write_pipe = nullptr;
  if (!CreatePipe(&read_pipe, &write_pipe, &inherit, 0)) return false;
  const UniqueHandle read_end(read_pipe);
  UniqueHandle write_end(write_pipe);
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  const ChildProcess child =
      start_with_output(token.get(), program, command_line_of(program, arguments), write_end.get());
  // The child holds its own copy: the pipe reports its end once the child's copy is closed.
  write_end.reset();
  if (!child) {
    log_message("share: could not start command (%lu)", static_cast<unsigned long>(child.error));
    return false;
  }
  // The time-out covers the whole run: a program that keeps its output open (or a child of it
  // that inherited the pipe) cannot hold the mapping thread, and with it the session, for ever.
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  char piece[kPipePiece];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // closed
    if (available > 0) {
      DWORD got = 0;
      if (!ReadFile(read_end.get(), piece, sizeof piece, &got, nullptr) || got == 0) break;
      output.append(piece, got);
      continue;
    }
    if (WaitForSingleObject(child.process.get(), 0) == WAIT_OBJECT_0) {
      // Ended: what it wrote last is in the pipe already.
      if (PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) &&
          available > 0) {
        continue;
      }
      break;
    }
    if (GetTickCount64() >= deadline) {
      TerminateProcess(child.process.get(), 1);
      break;
    }
    Sleep(kPipePollMs);
  }
  const ULONGLONG now = GetTickCount64();
  WaitForSingleObject(child.process.get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0);
  exit_code = 1;
  GetExitCodeProcess(child.process.get(), &exit_code);
  return true;
}

// Lifts WebClient's file size limit and makes sure the service runs; skipped silently without
// the rights to change its parameters.
void prepare_webclient() {
  RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SYSTEM\\CurrentControlSet\\Services\\WebClient\\Parameters", 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key.handle) != ERROR_SUCCESS) {
    return;
  }
  DWORD limit = 0, size = sizeof limit, type = 0;
  bool limit_changed = false;
  if (RegQueryValueExW(key.handle, L"FileSizeLimitInBytes", nullptr, &type,
                       reinterpret_cast<BYTE*>(&limit), &size) != ERROR_SUCCESS ||
      limit != kNoFileSizeLimit) {
    const DWORD value = kNoFileSizeLimit;
    limit_changed =
        RegSetValueExW(key.handle, L"FileSizeLimitInBytes", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
  }
  key.close();
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return;
  SC_HANDLE service = OpenServiceW(manager, L"WebClient", kWebClientAccess);
  if (!service) {
    CloseServiceHandle(manager);
    return;
  }
  SERVICE_STATUS status{};
  bool known = QueryServiceStatus(service, &status);
  const auto poll_until = [&](DWORD state) {
    for (int i = 0; i < kServicePolls && known && status.dwCurrentState != state; ++i) {
      Sleep(kServicePollMs);
      known = QueryServiceStatus(service, &status);
    }
  };
  if (limit_changed && known && status.dwCurrentState == SERVICE_RUNNING) {
    // The new limit takes effect at the service's next start.
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    known = QueryServiceStatus(service, &status);
    poll_until(SERVICE_STOPPED);
  }
  bool running = known && status.dwCurrentState == SERVICE_RUNNING;
  if (!running) {
    StartServiceW(service, 0, nullptr);
    known = QueryServiceStatus(service, &status);
    poll_until(SERVICE_RUNNING);
    running = known && status.dwCurrentState == SERVICE_RUNNING;
  }
  log_message("share: WebClient service %s", running ? "running" : "not running");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

class DriveMapper : public FolderMounter {
 public:
  FolderMountResult mount(const FolderMountRequest& request) override {
    prepare_webclient();
    const std::u16string label = to_utf16(request.label);
    const std::wstring arguments = L"use * \"" +
                                   to_wide(webdav_share_path(request.port, request.token, label)) +
                                   L"\" /persistent:no";
    std::string output;
    DWORD code = 0;
    if (!run_as_console_user(L"net.exe", arguments, output, code, kCommandTimeoutMs)) {
      return {FolderMountOutcome::NoUser, {}, {}};
    }
    const char letter = drive_letter_in(output);
    if (code != 0 || letter == 0) {
      log_message("share: net use failed (%lu): %s", static_cast<unsigned long>(code),
                  output.c_str());
      return {};
    }
    drive_ = std::wstring(1, static_cast<wchar_t>(letter)) + L":";
    const std::u16string key = mount_points_label_key(request.port, request.token, label);
    run_as_console_user(L"reg.exe",
                        L"add \"" + to_wide(key) + L"\" /v _LabelFromReg /t REG_SZ /d \"" +
                            to_wide(label) + L"\" /f",
                        output, code, kCommandTimeoutMs);
    label_key_ = to_wide(key);
    const std::string name = std::string(1, letter) + ":";
    return {FolderMountOutcome::Mounted, name, "is drive " + name + " in File Explorer"};
  }

  void unmount() override {
    if (drive_.empty()) return;
    std::string output;
    DWORD code = 0;
    run_as_console_user(L"net.exe", L"use " + drive_ + L" /delete /y", output, code,
                        kUnmapTimeoutMs);
    if (!label_key_.empty()) {
      run_as_console_user(L"reg.exe", L"delete \"" + label_key_ + L"\" /f", output, code,
                          kUnmapTimeoutMs);
      label_key_.clear();
    }
    drive_.clear();
  }

  // A loopback TCP connection carries no peer credentials on Windows, so the listener can't
  // tell which account opened it: every local program is accepted, and the share token in the
  // path stays the lock.
  bool allows_peer(const Socket&, std::string&) const override { return true; }

  std::string no_user_text() const override { return kNoUserText; }
  std::string failed_text() const override { return kFailedText; }

 private:
  std::wstring drive_;
  std::wstring label_key_;
};

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

char drive_letter_in(const std::string& output) {
  if (output.size() < 2) return 0;
  for (std::size_t i = 0; i + 1 < output.size(); ++i) {
    const char c = output[i];
    if (c >= 'A' && c <= 'Z' && output[i + 1] == ':' &&
        (i == 0 || !is_ascii_letter(output[i - 1]))) {
      return c;
    }
  }
  return 0;
}

std::u16string mount_points_label_key(unsigned port, const std::string& token,
                                      const std::u16string& label) {
  return u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\##"
         u"localhost@" +
         to_utf16(std::to_string(port)) + u"#" + to_utf16(token) + u"#" + label;
}

std::u16string webdav_share_path(unsigned port, const std::string& token,
                                 const std::u16string& label) {
  return u"\\\\localhost@" + to_utf16(std::to_string(port)) + u"\\" + to_utf16(token) + u"\\" +
         label;
}

std::unique_ptr<FolderMounter> make_folder_mounter() { return std::make_unique<DriveMapper>(); }

int test_run_as_user() {
  std::string output;
  DWORD code = 0;
  const bool started =
      run_as_console_user(L"cmd.exe", L"/c whoami & net use", output, code, kCommandTimeoutMs);
  log_message("test-run-as-user: system=%d started=%d exit=%lu\n%s", is_local_system() ? 1 : 0,
              started ? 1 : 0, started ? static_cast<unsigned long>(code) : 0ul, output.c_str());
  return started ? 0 : 1;
}

// `net use /persistent:no` drives do not outlive the signed-in user's logon; nothing to clean.
void clean_stale_folder_mounts() {}

}  // namespace tolvi::platform
