// The console session on Windows and the agent started into it: the service's own token moved
// into that session, on the interactive desktop, and SendSAS from sas.dll.
#include <windows.h>
#include <userenv.h>

#include "base/log.h"
#include "platform/service.h"
#include "platform/text.h"

namespace tolvi::platform {
namespace {

// TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT |
// TOKEN_ADJUST_SESSIONID
constexpr DWORD kAgentTokenRights = 0x18B;
constexpr const wchar_t* kAgentDesktop = L"winsta0\\default";

class Win32Agent : public AgentProcess {
 public:
  Win32Agent(HANDLE process, DWORD id) : process_(process), id_(id) {}
  ~Win32Agent() override { CloseHandle(process_); }
  Win32Agent(const Win32Agent&) = delete;
  Win32Agent& operator=(const Win32Agent&) = delete;

  std::intptr_t wait_handle() const override {
    return reinterpret_cast<std::intptr_t>(process_);
  }
  unsigned long id() const override { return id_; }
  bool ended(std::uint32_t timeout_ms) override {
    return WaitForSingleObject(process_, timeout_ms == kWaitForever ? INFINITE : timeout_ms) !=
           WAIT_TIMEOUT;
  }
  void terminate() override { TerminateProcess(process_, 0); }

 private:
  HANDLE process_;
  DWORD id_;
};

std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

class Win32ConsoleSessions : public ConsoleSessions {
 public:
  unsigned long console_session() override { return WTSGetActiveConsoleSessionId(); }

  std::unique_ptr<AgentProcess> launch_agent(unsigned long session) override {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), kAgentTokenRights, &own)) return nullptr;
    HANDLE token = nullptr;
    const BOOL duplicated = DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                                             TokenPrimary, &token);
    CloseHandle(own);
    if (!duplicated) return nullptr;
    DWORD session_id = session;
    if (!SetTokenInformation(token, TokenSessionId, &session_id, sizeof session_id)) {
      CloseHandle(token);
      return nullptr;
    }
    std::wstring command_line = L"\"" + wide(module_path()) + L"\" --agent";
    std::wstring desktop = kAgentDesktop;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop.data();
    void* environment = nullptr;
    CreateEnvironmentBlock(&environment, token, FALSE);
    PROCESS_INFORMATION process{};
    const BOOL created = CreateProcessAsUserW(
        token, nullptr, command_line.data(), nullptr, nullptr, FALSE,
        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    if (environment) DestroyEnvironmentBlock(environment);
    CloseHandle(token);
    if (!created) {
      log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(error));
      return nullptr;
    }
    CloseHandle(process.hThread);
    log_message("agent started in session %lu (pid %lu)", session,
                static_cast<unsigned long>(process.dwProcessId));
    return std::make_unique<Win32Agent>(process.hProcess, process.dwProcessId);
  }

  std::function<bool()> find_secure_attention() override {
    using SendSasEntry = VOID(WINAPI*)(BOOL);
    HMODULE library = LoadLibraryW(L"sas.dll");
    if (!library) return {};
    const auto entry =
        reinterpret_cast<SendSasEntry>(reinterpret_cast<void*>(GetProcAddress(library, "SendSAS")));
    if (!entry) return {};
    return [entry] {
      entry(FALSE);  // FALSE: the caller is a service
      return true;
    };
  }
};

}  // namespace

std::unique_ptr<ConsoleSessions> make_console_sessions(std::function<void()>) {
  // Console and logon changes reach the service as session-change controls.
  return std::make_unique<Win32ConsoleSessions>();
}

}  // namespace tolvi::platform
