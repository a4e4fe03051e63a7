#include "platform/linux/program_processes.h"

#include <algorithm>
#include <string>

namespace tolvi::platform {
namespace {

// What the kernel appends to the link of an executable that is no longer at its path.
constexpr std::string_view kDeleted = " (deleted)";

bool is_number(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<pid_t> processes_running(const std::filesystem::path& proc_folder,
                                     std::string_view program, pid_t self) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(proc_folder, ec)) {
    const std::string id = entry.path().filename().string();
    if (!is_number(id) || id.size() > 9) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(id));
    if (pid == self) continue;
    std::error_code unreadable;
    std::string target = std::filesystem::read_symlink(entry.path() / "exe", unreadable).string();
    if (unreadable) continue;
    if (target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
    if (target == program) found.push_back(pid);
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace tolvi::platform
