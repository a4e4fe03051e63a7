// Events shared by name between the service and its agent ("Global\..." kernel events), and
// waiting on several handles at once.
#include <windows.h>

#include <vector>

#include "base/win32/unique_handle.h"
#include "platform/service.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {
namespace {

class Win32Event : public SignalEvent {
 public:
  explicit Win32Event(HANDLE handle) : handle_(handle) {}

  std::intptr_t wait_handle() const override {
    return reinterpret_cast<std::intptr_t>(handle_.get());
  }
  void set() override { SetEvent(handle_.get()); }
  void reset() override { ResetEvent(handle_.get()); }

 private:
  UniqueHandle handle_;
};

}  // namespace

std::unique_ptr<SignalEvent> create_event(EventReset reset, const std::string& name) {
  const std::wstring wide_name = to_wide(name);
  HANDLE handle = CreateEventW(nullptr, reset == EventReset::Manual ? TRUE : FALSE, FALSE,
                               name.empty() ? nullptr : wide_name.c_str());
  if (!handle) return nullptr;
  return std::make_unique<Win32Event>(handle);
}

std::unique_ptr<SignalEvent> open_event(const std::string& name) {
  // Waiting (the agent's quit watcher) and setting (a Ctrl+Alt+Del request).
  HANDLE handle = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, to_wide(name).c_str());
  if (!handle) return nullptr;
  return std::make_unique<Win32Event>(handle);
}

int wait_for_any(std::span<Waitable* const> objects, std::uint32_t timeout_ms) {
  // WaitForMultipleObjects refuses an array holding the same handle twice: wait on each handle
  // once and answer with the first position it had.
  std::vector<HANDLE> handles;
  std::vector<int> first_position;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const HANDLE handle = reinterpret_cast<HANDLE>(objects[i]->wait_handle());
    bool seen = false;
    for (HANDLE known : handles) seen = seen || known == handle;
    if (seen) continue;
    handles.push_back(handle);
    first_position.push_back(static_cast<int>(i));
  }
  const DWORD result =
      WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                             timeout_ms == kWaitForever ? INFINITE : timeout_ms);
  if (result == WAIT_TIMEOUT) return kWaitTimedOut;
  if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + handles.size()) {
    const int position = first_position[result - WAIT_OBJECT_0];
    objects[position]->waited();
    return position;
  }
  return kWaitFailed;
}

}  // namespace tolvi::platform
