#include "base/log_target.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "base/linux/install_root.h"

namespace tolvi {
namespace {

// $XDG_STATE_HOME, or ~/.local/state when it is unset or not absolute.
std::filesystem::path user_state_home() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return state;
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && home[0] ? home : ".") / ".local" / "state";
}

}  // namespace

LocalTime local_time_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return LocalTime{
      local.tm_year + 1900, local.tm_mon + 1,          local.tm_mday, local.tm_hour, local.tm_min,
      local.tm_sec,         int(now.tv_nsec / 1000000)};
}

std::filesystem::path data_folder(DataFolder which) {
  const std::filesystem::path folder = which == DataFolder::Machine
                                           ? under_install_root("/var/log/tolvi")
                                           : user_state_home() / "tolvi";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  return folder;
}

std::FILE* open_log_append(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "ae");
}

bool log_still_at(std::FILE* file, const std::filesystem::path& path) {
  struct stat open_file {
  }, named{};
  return fstat(fileno(file), &open_file) == 0 && stat(path.c_str(), &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

bool move_log_aside(const std::filesystem::path& from, const std::filesystem::path& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace tolvi
