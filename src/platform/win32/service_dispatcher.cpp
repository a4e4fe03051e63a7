// The service under the service control manager: the dispatcher runs on the calling thread,
// the main routine on the thread it creates, the control handler on the dispatcher's.
#include <windows.h>

#include <mutex>

#include "platform/service.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {
namespace {

constexpr DWORD kWaitHintMs = 5000;

ServiceRoutines& routines() {
  static ServiceRoutines held;
  return held;
}

std::wstring& service_name() {
  static std::wstring name;
  return name;
}

class ScmReporter : public ServiceStatusReporter {
 public:
  explicit ScmReporter(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
  void report(ServiceState state, std::uint32_t controls_accepted) override {
    // Each report is written whole before it is handed over: the handler and the main routine
    // both report.
    std::lock_guard<std::mutex> guard(lock_);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = static_cast<DWORD>(state);
    status.dwControlsAccepted = controls_accepted;
    status.dwWaitHint = kWaitHintMs;
    SetServiceStatus(handle_, &status);
  }

 private:
  SERVICE_STATUS_HANDLE handle_;
  std::mutex lock_;
};

DWORD WINAPI control_handler(DWORD control, DWORD event_type, void*, void*) {
  return routines().control(control, event_type);
}

void WINAPI service_entry(DWORD, wchar_t**) {
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(service_name().c_str(), control_handler, nullptr);
  if (!handle) return;
  ScmReporter reporter(handle);
  routines().main(reporter);
}

}  // namespace

bool run_service_dispatcher(const std::string& name, ServiceRoutines given) {
  routines() = std::move(given);
  service_name() = to_wide(name);
  SERVICE_TABLE_ENTRYW table[] = {{service_name().data(), service_entry}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != FALSE;
}

}  // namespace tolvi::platform
