#pragma once
#include "core/host_environment.h"

namespace tolvi {

// Stand-ins for subsystems this build does not have yet. None of them does anything a user
// could notice, and none claims a success it did not have.

class PlaceholderSharedFolder : public SharedFolder {
 public:
  void handle_folder_share(const std::vector<std::uint8_t>&) override {}
  void handle_folder_traffic(std::uint8_t, const std::vector<std::uint8_t>&) override {}
  void stop_shared_folder() override {}
};

// For a platform that cannot keep the display awake: says so.
class PlaceholderKeepAwake : public platform::KeepAwake {
 public:
  bool begin() override { return false; }
  void end() override {}
};

}  // namespace tolvi
