#pragma once
#include <sys/types.h>

#include <filesystem>
#include <string_view>
#include <vector>

namespace tolvi::platform {

// The processes listed in `proc_folder` (the system's /proc, or one under the install root)
// whose executable is `program`, also when that file has been replaced or removed since they
// started, leaving out `self`. Only the kernel's own record of the executable counts: a process
// whose link cannot be read (a kernel thread) or that merely calls itself so is not one.
std::vector<pid_t> processes_running(const std::filesystem::path& proc_folder,
                                     std::string_view program, pid_t self);

}  // namespace tolvi::platform
