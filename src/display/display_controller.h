#pragma once

namespace tolvi {

// Remembers the display-mode and scaling changes made for clients and undoes them. One
// instance per process; only the serving session's client thread and exit paths use it.
class DisplayController {
 public:
  virtual ~DisplayController() = default;
  virtual void restore() = 0;
};

}  // namespace tolvi
