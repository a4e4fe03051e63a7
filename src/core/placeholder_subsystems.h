#pragma once
#include "core/host_environment.h"

namespace tolvi {

// Stand-ins where a platform lacks a facility; none claims a success it did not have.

// For a platform that cannot keep the display awake: says so.
class PlaceholderKeepAwake : public platform::KeepAwake {
 public:
  bool begin() override { return false; }
  void end() override {}
};

}  // namespace tolvi
