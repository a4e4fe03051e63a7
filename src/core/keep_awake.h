#pragma once

namespace tolvi {

// Keeps the machine and the display awake between begin() and end(), both called by the
// serving session's client thread.
class KeepAwake {
 public:
  virtual ~KeepAwake() = default;
  virtual void begin() = 0;
  virtual void end() = 0;
};

}  // namespace tolvi
