#pragma once
#include <cstdint>
#include <string>

namespace tolvi {

// Remembers the display-mode and scaling changes made for clients and undoes them. One
// instance per process; only the serving session's client thread and exit paths use it.
class DisplayController {
 public:
  virtual ~DisplayController() = default;
  // The output whose mode is matched (named by the capture device).
  virtual void set_device_name(const std::string& name) = 0;
  // Switches the display mode and scaling to suit a client view of width x height at `scale`;
  // true when it changed either.
  virtual bool apply_client_display(std::int32_t width, std::int32_t height, double scale) = 0;
  virtual void restore() = 0;
};

}  // namespace tolvi
