// Moves the calling thread to the desktop that receives input (the secure desktop of the
// sign-in and lock screens, or the user's default one).
#include <windows.h>

#include "platform/input.h"

namespace tolvi::platform {
namespace {

// Desktop names are read into zero-filled buffers of this many bytes.
constexpr DWORD kDesktopNameBytes = 256;

std::wstring desktop_name(HDESK desktop) {
  wchar_t name[kDesktopNameBytes / sizeof(wchar_t)] = {};
  if (desktop) GetUserObjectInformationW(desktop, UOI_NAME, name, kDesktopNameBytes, nullptr);
  name[kDesktopNameBytes / sizeof(wchar_t) - 1] = L'\0';
  return name;
}

}  // namespace

bool follow_input_desktop(unsigned long& thread_id, std::wstring& name) {
  HDESK input = OpenInputDesktop(0, FALSE, GENERIC_ALL);
  if (!input) return false;
  const DWORD thread = GetCurrentThreadId();
  // The thread's own desktop handle belongs to the system: never closed here.
  HDESK current = GetThreadDesktop(thread);
  const std::wstring input_name = desktop_name(input);
  if (input_name != desktop_name(current) && SetThreadDesktop(input)) {
    // The opened handle stays in use as the thread's desktop.
    thread_id = thread;
    name = input_name;
    return true;
  }
  CloseDesktop(input);
  return false;
}

}  // namespace tolvi::platform

namespace tolvi::platform {

// Only the service can raise the secure attention sequence on Windows.
bool press_secure_attention_keys() { return false; }

}  // namespace tolvi::platform
