#pragma once
#include <X11/Xlib.h>

#include <cstddef>
#include <optional>
#include <string>

#include "platform/linux/x11_clipboard_window.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_event_wait.h"

namespace tolvi::platform {

// Reads another program's text from the CLIPBOARD selection: asks what it offers, converts the
// selection to the best text target in a property of our window and waits there for the
// answer (INCR transfers included) while the loop's other events stay queued. Used on the
// clipboard loop's thread only.
class X11SelectionReader {
 public:
  // The window's PropertyChangeMask must be selected: INCR chunks arrive as property changes.
  X11SelectionReader(X11Connection& connection, const ClipboardWindow& window, X11EventWait& wait);

  // The owner's text as UTF-8, or nothing when there is no owner, it offers no text, does not
  // answer in time or sends more than a text may hold.
  std::optional<std::string> read_text();

 private:
  // A property as read from our window.
  struct PropertyValue {
    Atom type = None;
    int format = 0;
    std::string bytes;  // format 32 items are longs, as Xlib returns them
  };
  // Properties the conversions rotate through (see convert()).
  static constexpr std::size_t kConversionProperties = 8;

  std::optional<PropertyValue> take_property();
  std::optional<PropertyValue> convert(Atom target);
  std::optional<std::string> compound_to_utf8(const PropertyValue& value);

  X11Connection& x_;
  const ClipboardWindow& window_;
  X11EventWait& wait_;
  Atom properties_[kConversionProperties] = {};
  std::size_t next_property_ = 0;
  Atom property_ = None;
};

}  // namespace tolvi::platform
