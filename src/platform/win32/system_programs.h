#pragma once
#include <string>
#include <string_view>

namespace tolvi::platform {

// Programs that come with Windows are started by their full path in the system folder, never
// by a bare name: the search for a bare name looks in the current folder and the starting
// program's folder first, so a planted netsh.exe beside a downloaded installer would run with
// its rights. Empty when the folder cannot be read (the caller then starts nothing).
std::wstring system_program(std::wstring_view file_name);
// The same in the Windows folder itself (explorer.exe lives there).
std::wstring windows_program(std::wstring_view file_name);

// A command line for `program` (quoted, for paths with blanks) followed by `arguments`.
std::wstring command_line_of(const std::wstring& program, std::wstring_view arguments);

}  // namespace tolvi::platform
