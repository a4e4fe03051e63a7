#pragma once
#include <string>

namespace tolvi {

// Runs the mode the command line asks for; returns its exit code, or -1 when no option applies.
int dispatch_command_line();

// The whole process: DPI awareness, the scaling command, --help/--version, the dispatcher,
// and the tray application when nothing else applies. Returns the exit code.
int process_entry(std::string raw_command_line);

// --test-host PORT PASSWORD: 2 for a bad port or password, otherwise runs the host.
int run_test_host();

}  // namespace tolvi
