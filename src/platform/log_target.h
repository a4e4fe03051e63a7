#pragma once
#include <cstdio>
#include <filesystem>

namespace tolvi::platform {

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
std::FILE* open_log_append(const std::filesystem::path& path);

}  // namespace tolvi::platform
