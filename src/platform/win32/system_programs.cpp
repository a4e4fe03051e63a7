#include "platform/win32/system_programs.h"

#include <windows.h>

namespace tolvi::platform {
namespace {

// GetSystemDirectoryW and GetWindowsDirectoryW answer with the units written (without the
// terminator), or with the size needed when the buffer is too small, or 0 on failure.
template <typename Query>
std::wstring folder_program(Query query, std::wstring_view file_name) {
  std::wstring folder(MAX_PATH, L'\0');
  UINT length = query(folder.data(), static_cast<UINT>(folder.size()));
  if (length >= folder.size()) {
    folder.resize(length);
    length = query(folder.data(), static_cast<UINT>(folder.size()));
  }
  if (length == 0 || length >= folder.size()) return std::wstring();
  folder.resize(length);
  if (folder.back() != L'\\') folder += L'\\';
  return folder.append(file_name);
}

}  // namespace

std::wstring system_program(std::wstring_view file_name) {
  return folder_program(GetSystemDirectoryW, file_name);
}

std::wstring windows_program(std::wstring_view file_name) {
  return folder_program(GetWindowsDirectoryW, file_name);
}

std::wstring command_line_of(const std::wstring& program, std::wstring_view arguments) {
  std::wstring line = L"\"" + program + L"\"";
  if (!arguments.empty()) line.append(L" ").append(arguments);
  return line;
}

}  // namespace tolvi::platform
