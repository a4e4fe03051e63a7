// A stand-in for `tolvi-host --test-host PORT PASSWORD` while the application does not route
// that mode to the host server yet: same arguments, same overrides, same server.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/host_server.h"
#include "settings/run_mode.h"
#include "settings/settings_store.h"

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "--test-host") return 2;
  tolvi::run_mode.store(tolvi::RunMode::Command);
  tolvi::port_override = static_cast<std::uint16_t>(std::atoi(argv[2]));
  tolvi::password_override = argv[3];
  if (tolvi::port_override == 0 || tolvi::password_override.size() < 6) return 2;
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::minutes(10));
    std::_Exit(0);
  }).detach();
  tolvi::run_host_server();
  return 1;
}
