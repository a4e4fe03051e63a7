#pragma once
#include <atomic>

namespace tolvi {

// The role this process plays; set once by the command-line dispatcher before any other work.
enum class RunMode { Tray = 0, Agent = 1, Service = 2, Command = 3 };

extern std::atomic<RunMode> run_mode;

}  // namespace tolvi
