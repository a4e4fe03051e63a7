#pragma once
// What the log needs of the system: local time, the log's folder, a log file that another
// process may move aside while it is open. Each system's answer is in base/linux/log_target.cpp
// and base/win32/log_target.cpp.
#include <cstdio>
#include <filesystem>

namespace tolvi {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The local wall-clock time now.
LocalTime local_time_now();

enum class DataFolder {
  Machine,  // shared by the service and its agent
  User,     // the tray application and one-shot commands
};

// The product's log folder of that kind, created when missing. The path is returned even when
// it could not be created; opening the file then fails and the log stays on stderr.
std::filesystem::path data_folder(DataFolder which);

// Opens `path` for appending in text mode (CR LF line ends on Windows); nullptr on failure.
// Another process may move the file aside while it is open.
std::FILE* open_log_append(const std::filesystem::path& path);

// Whether `file` is still the file at `path`: false once another process writing the same log
// has moved it aside (or removed it).
bool log_still_at(std::FILE* file, const std::filesystem::path& path);

// Renames the log `from` to `to`, replacing an older `to`; false when it could not.
bool move_log_aside(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace tolvi
