// The console session on Windows and the agent started into it: the service's own token moved
// into that session, on the interactive desktop, and SendSAS from sas.dll.
#include <windows.h>
// windows.h first: userenv.h needs its types.
#include <userenv.h>

#include "base/log.h"
#include "base/win32/unique_handle.h"
#include "platform/service.h"
#include "platform/text.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {
namespace {

// TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT |
// TOKEN_ADJUST_SESSIONID
constexpr DWORD kAgentTokenRights = 0x18B;
constexpr const wchar_t* kAgentDesktop = L"winsta0\\default";

class Win32Agent : public AgentProcess {
 public:
  Win32Agent(HANDLE process, DWORD id) : process_(process), id_(id) {}

  std::intptr_t wait_handle() const override {
    return reinterpret_cast<std::intptr_t>(process_.get());
  }
  unsigned long id() const override { return id_; }
  bool ended(std::uint32_t timeout_ms) override {
    return WaitForSingleObject(process_.get(),
                               timeout_ms == kWaitForever ? INFINITE : timeout_ms) != WAIT_TIMEOUT;
  }
  void terminate() override { TerminateProcess(process_.get(), 0); }

 private:
  UniqueHandle process_;
  DWORD id_;
};

class Win32ConsoleSessions : public ConsoleSessions {
 public:
  unsigned long console_session() override { return WTSGetActiveConsoleSessionId(); }

  std::unique_ptr<AgentProcess> launch_agent(unsigned long session) override {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), kAgentTokenRights, &opened)) return nullptr;
    const UniqueHandle own(opened);
    HANDLE duplicate = nullptr;
    if (!DuplicateTokenEx(own.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                          &duplicate)) {
      return nullptr;
    }
    const UniqueHandle token(duplicate);
    DWORD session_id = session;
    if (!SetTokenInformation(token.get(), TokenSessionId, &session_id, sizeof session_id)) {
      return nullptr;
    }
    std::wstring command_line = L"\"" + to_wide(module_path()) + L"\" --agent";
    std::wstring desktop = kAgentDesktop;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop.data();
    void* environment = nullptr;
    CreateEnvironmentBlock(&environment, token.get(), FALSE);
    PROCESS_INFORMATION process{};
    // No handle is inherited: the agent opens what it needs itself.
    const BOOL created = CreateProcessAsUserW(
        token.get(), nullptr, command_line.data(), nullptr, nullptr, FALSE,
        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    if (environment) DestroyEnvironmentBlock(environment);
    if (!created) {
      log_message("CreateProcessAsUser failed (%lu)", static_cast<unsigned long>(error));
      return nullptr;
    }
    UniqueHandle thread(process.hThread);
    log_message("agent started in session %lu (pid %lu)", session,
                static_cast<unsigned long>(process.dwProcessId));
    return std::make_unique<Win32Agent>(process.hProcess, process.dwProcessId);
  }

  std::function<bool()> find_secure_attention() override {
    using SendSasEntry = VOID(WINAPI*)(BOOL);
    // From the system folder only, not the program's folder or the current one.
    HMODULE library = LoadLibraryExW(L"sas.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
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

// The agent runs with the service's rights and reads the machine settings itself.
std::unique_ptr<AgentChannel> take_service_channel() { return nullptr; }

std::unique_ptr<ConsoleSessions> make_console_sessions(std::function<void()>) {
  // Console and logon changes reach the service as session-change controls.
  return std::make_unique<Win32ConsoleSessions>();
}

}  // namespace tolvi::platform
