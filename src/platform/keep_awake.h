#pragma once
#include <memory>
#include <string>

namespace tolvi::platform {

// Keeps the display (and the machine) awake while a client is served: no screen saver, no
// display power-down. The request lasts from begin() to end() or destruction.
class KeepAwake {
 public:
  virtual ~KeepAwake() = default;
  // False when the request could not be made.
  virtual bool begin() = 0;
  virtual void end() = 0;
  // What the last begin() could not obtain although the rest holds, worth one log line (e.g.
  // "no logind, sleep not inhibited"); given once per object, empty afterwards and when
  // nothing is missing.
  virtual std::string take_shortfall() { return {}; }
};

// For `display_name` (the X display on Linux, "" for $DISPLAY; ignored on Windows, where the
// request belongs to the thread that calls begin() and end()). Null when the platform cannot.
std::unique_ptr<KeepAwake> make_keep_awake(const std::string& display_name);

}  // namespace tolvi::platform
