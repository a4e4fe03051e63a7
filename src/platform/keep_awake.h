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
};

// For `display_name` (the X display on Linux, "" for $DISPLAY; ignored on Windows, where the
// request belongs to the thread that calls begin() and end()). Null when the platform cannot.
std::unique_ptr<KeepAwake> make_keep_awake(const std::string& display_name);

}  // namespace tolvi::platform
