#include "platform/process.h"

#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

#include <cstdio>

#include "base/win32/unique_handle.h"
#include "platform/text.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {

std::vector<std::string> split_command_line(std::string_view command_line) {
  std::vector<std::string> args;
  if (command_line.find_first_not_of(" \t") == std::string_view::npos) return args;
  // CommandLineToArgvW parses its first word as a program name, with other rules (no
  // backslash escapes, and leading blanks give an empty word). The text here holds only
  // arguments, so a stand-in program name goes first and its word is dropped.
  const std::wstring text = L"x " + to_wide(command_line);
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(text.c_str(), &count);
  if (!argv) return args;
  for (int i = 1; i < count; ++i) args.push_back(from_wide(argv[i]));
  LocalFree(argv);
  return args;
}

bool run_elevated(const std::string& arguments, bool wait) {
  // The "runas" verb makes Windows ask for administrator consent; a refusal fails the call.
  const std::wstring file = to_wide(module_path());
  const std::wstring parameters = to_wide(arguments);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) return false;
  bool ok = true;
  if (const UniqueHandle process(info.hProcess); process) {
    if (wait) WaitForSingleObject(process.get(), INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.get(), &exit_code);
    ok = exit_code == 0;
  }
  return !wait || ok;
}

std::optional<std::string> run_elevated_for_output(const std::string&) {
  return std::nullopt;  // machine-scope secrets open for every account: nothing to elevate for
}

bool started_from_terminal() { return false; }

namespace {

// A standard handle that leads somewhere: a file, a pipe or a console.
bool leads_somewhere(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle && handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

}  // namespace

void attach_parent_console() {
  const bool out = leads_somewhere(STD_OUTPUT_HANDLE);
  const bool err = leads_somewhere(STD_ERROR_HANDLE);
  if (out && err) return;  // redirected by the caller: keep that
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;  // started without a console
  // The C library's streams were set up without a console: point the ones that lead nowhere
  // at it. The console stays attached until the process ends.
  FILE* reopened = nullptr;
  if (!out) freopen_s(&reopened, "CONOUT$", "w", stdout);
  if (!err) freopen_s(&reopened, "CONOUT$", "w", stderr);
  // The console's prompt was printed when this program started (a GUI-subsystem program is not
  // waited for): begin on a line of its own.
  std::fputs("\n", out ? stderr : stdout);
}

void set_dpi_awareness() {
  // Looked up at run time: Windows 10 before version 1703 has no such export, and a static
  // import would keep the program from starting there. A failure is not fatal (Wine, for
  // one, refuses the per-monitor V2 context with ERROR_INVALID_PARAMETER).
  using SetContext = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return;
  const auto set_context = reinterpret_cast<SetContext>(
      reinterpret_cast<void*>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
  if (set_context) set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

unsigned long console_session_id() { return WTSGetActiveConsoleSessionId(); }

void exit_process(int code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace tolvi::platform
