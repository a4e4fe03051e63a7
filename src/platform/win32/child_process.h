#pragma once
#include <windows.h>

#include <string>

#include "base/win32/unique_handle.h"

namespace tolvi::platform {

// A started child: its process and main thread, closed with it; or why it did not start.
struct ChildProcess {
  UniqueHandle process;
  UniqueHandle thread;
  DWORD error = 0;  // the system's error code when there is no process
  explicit operator bool() const { return static_cast<bool>(process); }
};

// Starts the console program at `program` (a full path) with `command_line` and no window, its
// standard output and error on `output`, which must be inheritable. `output` is the only
// handle the child inherits: the host's sockets and whatever else of this process is
// inheritable stay here, so a child running as the signed-in person cannot take them over.
// With `token`, the child runs as that token's user (with that user's environment); null: as
// this process's user.
ChildProcess start_with_output(HANDLE token, const std::wstring& program, std::wstring command_line,
                               HANDLE output);

}  // namespace tolvi::platform
