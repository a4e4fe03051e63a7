// Process entry on Linux: rebuilds the raw command line the rest of the program reads.
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/dispatch.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  tolvi::platform::prepare_process_start();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return tolvi::process_entry(tolvi::join_command_line(args));
}
