#include "platform/linux/x11_clipboard_owner.h"

#include <X11/Xatom.h>

#include <algorithm>

#include "platform/linux/latin1_text.h"

namespace tolvi::platform {
namespace {

// An INCR transfer to a requestor that stops taking chunks is given up after this.
constexpr std::chrono::milliseconds kTransferTimeout{10000};
// Largest property we write in one request; larger texts go as INCR. Below the core
// protocol's request limit (262,140 bytes) so every requestor can read it in one go.
constexpr std::size_t kMaxChunkBytes = 256 * 1024;
constexpr std::size_t kRequestOverheadBytes = 1024;

}  // namespace

X11SelectionOwner::X11SelectionOwner(X11Connection& connection, const ClipboardWindow& window)
    : x_(connection),
      window_(window),
      chunk_bytes_(std::min(kMaxChunkBytes,
                            static_cast<std::size_t>(XMaxRequestSize(connection.display())) * 4 -
                                kRequestOverheadBytes)) {}

bool X11SelectionOwner::take(const std::string& text, Time time) {
  Display* d = x_.display();
  XSetSelectionOwner(d, window_.clipboard, window_.window, time);
  if (XGetSelectionOwner(d, window_.clipboard) != window_.window) return false;
  text_ = std::make_shared<const std::string>(text);
  owned_ = true;
  owned_since_ = time;
  return true;
}

void X11SelectionOwner::give_up() {
  Display* d = x_.display();
  // At the time we took it: should another program have taken it since, the server keeps
  // theirs.
  if (XGetSelectionOwner(d, window_.clipboard) == window_.window) {
    XSetSelectionOwner(d, window_.clipboard, None, owned_since_);
  }
  owned_ = false;
}

void X11SelectionOwner::serve(const XSelectionRequestEvent& request) {
  Display* d = x_.display();
  XSelectionEvent reply{};
  reply.type = SelectionNotify;
  reply.display = d;
  reply.requestor = request.requestor;
  reply.selection = request.selection;
  reply.target = request.target;
  reply.time = request.time;
  reply.property = None;
  // Obsolete requestors name no property: the target's name is used.
  const Atom property = request.property == None ? request.target : request.property;
  if (request.selection == window_.clipboard && owned_) {
    if (request.target == window_.targets) {
      const Atom offered[] = {window_.targets, window_.utf8, XA_STRING, window_.text};
      XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offered), 4);
      reply.property = property;
    } else if (request.target == window_.utf8 || request.target == window_.text) {
      send_text(request.requestor, property, window_.utf8, text_);
      reply.property = property;
    } else if (request.target == XA_STRING) {
      send_text(request.requestor, property, XA_STRING,
                std::make_shared<const std::string>(utf8_to_latin1(*text_)));
      reply.property = property;
    }
  }
  XSendEvent(d, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
}

void X11SelectionOwner::send_text(Window requestor, Atom property, Atom type,
                                  std::shared_ptr<const std::string> data) {
  Display* d = x_.display();
  if (data->size() <= chunk_bytes_) {
    XChangeProperty(d, requestor, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(data->data()),
                    static_cast<int>(data->size()));
    return;
  }
  // INCR: announce the size; each time the requestor deletes the property, the next chunk
  // follows, and an empty one ends the transfer.
  XSelectInput(d, requestor, PropertyChangeMask | StructureNotifyMask);
  const long size = static_cast<long>(data->size());
  XChangeProperty(d, requestor, property, window_.incr, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&size), 1);
  std::erase_if(transfers_, [&](const Transfer& t) {
    return t.requestor == requestor && t.property == property;
  });
  transfers_.push_back({requestor, property, type, std::move(data), 0, false, SteadyClock::now()});
}

void X11SelectionOwner::property_deleted(Window requestor, Atom property) {
  auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
    return t.requestor == requestor && t.property == property;
  });
  if (it == transfers_.end()) return;
  if (it->finished) {
    transfers_.erase(it);
    if (std::none_of(transfers_.begin(), transfers_.end(),
                     [&](const Transfer& t) { return t.requestor == requestor; })) {
      XSelectInput(x_.display(), requestor, NoEventMask);
    }
    return;
  }
  const std::size_t length = std::min(chunk_bytes_, it->data->size() - it->offset);
  XChangeProperty(x_.display(), requestor, property, it->type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(it->data->data() + it->offset),
                  static_cast<int>(length));
  it->offset += length;
  it->finished = length == 0;
  it->last_activity = SteadyClock::now();
}

void X11SelectionOwner::window_destroyed(Window requestor) {
  std::erase_if(transfers_, [&](const Transfer& t) { return t.requestor == requestor; });
}

void X11SelectionOwner::expire_transfers() {
  const SteadyClock::time_point now = SteadyClock::now();
  std::erase_if(transfers_,
                [&](const Transfer& t) { return now - t.last_activity > kTransferTimeout; });
}

}  // namespace tolvi::platform
