#include "platform/linux/x11_clipboard_reader.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <vector>

#include "platform/linux/latin1_text.h"

namespace tolvi::platform {
namespace {

// Longest wait for another owner's answer (and for each INCR chunk of it).
constexpr std::chrono::milliseconds kConvertTimeout{2000};
// Another owner's text is read up to this size; a larger one is not taken.
constexpr std::size_t kMaxReadBytes = 64u * 1024 * 1024;

// Frees what Xlib allocated.
struct XFreeDeleter {
  void operator()(void* p) const {
    if (p) XFree(p);
  }
};

}  // namespace

X11SelectionReader::X11SelectionReader(X11Connection& connection, const ClipboardWindow& window,
                                       X11EventWait& wait)
    : x_(connection), window_(window), wait_(wait) {
  for (std::size_t i = 0; i < kConversionProperties; ++i) {
    const std::string name = "TOLVI_CLIPBOARD_" + std::to_string(i);
    properties_[i] = XInternAtom(x_.display(), name.c_str(), False);
  }
  property_ = properties_[0];
}

std::optional<std::string> X11SelectionReader::read_text() {
  Display* d = x_.display();
  const Window owner = XGetSelectionOwner(d, window_.clipboard);
  if (owner == None) return std::nullopt;
  // A text whose owner gave the selection up while we read it may have been cut short (an
  // owner that ends ends its transfers too); the new owner's text is read on its own notice.
  const auto same_owner = [&] { return XGetSelectionOwner(d, window_.clipboard) == owner; };
  // Ask what the owner offers first: an image or a file list has no text target, and then
  // nothing is read. An owner that does not answer TARGETS is asked for text directly.
  std::vector<Atom> wanted = {window_.utf8, XA_STRING};
  if (std::optional<PropertyValue> targets = convert(window_.targets)) {
    if (targets->type == XA_ATOM && targets->format == 32) {
      const Atom* offered = reinterpret_cast<const Atom*>(targets->bytes.data());
      const std::size_t count = targets->bytes.size() / sizeof(Atom);
      const auto has = [&](Atom a) {
        return std::find(offered, offered + count, a) != offered + count;
      };
      wanted.clear();
      for (Atom a : {window_.utf8, XA_STRING, window_.text}) {
        if (has(a)) wanted.push_back(a);
      }
    }
  }
  for (Atom target : wanted) {
    std::optional<PropertyValue> value = convert(target);
    if (!value || value->format != 8) continue;
    if (!same_owner()) return std::nullopt;
    if (value->type == window_.utf8) return std::move(value->bytes);
    if (value->type == XA_STRING) return latin1_to_utf8(value->bytes);
    if (value->type == window_.compound_text) return compound_to_utf8(*value);
  }
  return std::nullopt;
}

// Reads and deletes our property; nothing when it does not exist.
std::optional<X11SelectionReader::PropertyValue> X11SelectionReader::take_property() {
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* raw = nullptr;
  if (XGetWindowProperty(x_.display(), window_.window, property_, 0, LONG_MAX / 4, True,
                         AnyPropertyType, &type, &format, &items, &after, &raw) != Success) {
    return std::nullopt;
  }
  std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
  if (type == None) return std::nullopt;
  const std::size_t unit = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
  PropertyValue value{type, format, {}};
  if (data) value.bytes.assign(reinterpret_cast<const char*>(data.get()), items * unit);
  return value;
}

// The selection converted to `target` in our property, INCR transfers included.
std::optional<X11SelectionReader::PropertyValue> X11SelectionReader::convert(Atom target) {
  Display* d = x_.display();
  // Each conversion gets the next of a few properties: an owner still sending chunks of a
  // transfer we gave up writes into the old one, never into this answer.
  next_property_ = (next_property_ + 1) % kConversionProperties;
  property_ = properties_[next_property_];
  XDeleteProperty(d, window_.window, property_);
  XConvertSelection(d, window_.clipboard, target, property_, window_.window, CurrentTime);
  XEvent event;
  const auto answered = [&](const XEvent& e) {
    return e.type == SelectionNotify && e.xselection.requestor == window_.window &&
           e.xselection.selection == window_.clipboard;
  };
  if (!wait_.next(answered, event, kConvertTimeout) || event.xselection.property == None) {
    return std::nullopt;
  }
  std::optional<PropertyValue> value = take_property();
  if (!value || value->type != window_.incr) return value;
  // Deleting the INCR property (done above) asks for the first chunk. Notifications of
  // properties already gone (the INCR one itself) are skipped; an empty chunk ends it.
  PropertyValue whole{None, 8, {}};
  const auto new_value = [&](const XEvent& e) {
    return e.type == PropertyNotify && e.xproperty.window == window_.window &&
           e.xproperty.atom == property_ && e.xproperty.state == PropertyNewValue;
  };
  for (;;) {
    if (!wait_.next(new_value, event, kConvertTimeout)) return std::nullopt;
    std::optional<PropertyValue> chunk = take_property();
    if (!chunk) continue;
    if (chunk->bytes.empty()) return whole;
    whole.type = chunk->type;
    whole.format = chunk->format;
    whole.bytes += chunk->bytes;
    if (whole.bytes.size() > kMaxReadBytes) return std::nullopt;
  }
}

std::optional<std::string> X11SelectionReader::compound_to_utf8(const PropertyValue& value) {
  XTextProperty property{};
  property.value = reinterpret_cast<unsigned char*>(const_cast<char*>(value.bytes.data()));
  property.encoding = value.type;
  property.format = 8;
  property.nitems = value.bytes.size();
  char** list = nullptr;
  int count = 0;
  if (Xutf8TextPropertyToTextList(x_.display(), &property, &list, &count) < Success) {
    return std::nullopt;
  }
  std::string text;
  for (int i = 0; i < count; ++i) text += list[i];
  XFreeStringList(list);
  return text;
}

}  // namespace tolvi::platform
