// The clipboard on X11: the CLIPBOARD selection of the session's display, on a connection of
// its own. A small unmapped window owns the selection while it holds the client's text and
// answers other programs' requests for it (TARGETS, UTF8_STRING, STRING, TEXT; INCR in chunks
// for texts larger than one request). XFixes reports every change of owner, ours included,
// which is the change notification. Reading another owner's text converts the selection into
// a property of our window, INCR transfers included. Posted texts and stop wake the event
// loop through an eventfd polled beside the X connection.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboard.h"
#include "platform/linux/latin1_text.h"
#include "platform/linux/unique_fd.h"
#include "platform/linux/x11_backends.h"
#include "platform/linux/x11_connection.h"

namespace tolvi::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Longest wait for another owner's answer (and for each INCR chunk of it).
constexpr std::chrono::milliseconds kConvertTimeout{2000};
// An INCR transfer to a requestor that stops taking chunks is given up after this.
constexpr std::chrono::milliseconds kTransferTimeout{10000};
// While INCR transfers are open the loop wakes this often to give up stale ones.
constexpr int kTransferCheckMs = 1000;
// Largest property we write in one request; larger texts go as INCR. Below the core
// protocol's request limit (262,140 bytes) so every requestor can read it in one go.
constexpr std::size_t kMaxChunkBytes = 256 * 1024;
constexpr std::size_t kRequestOverheadBytes = 1024;
// Another owner's text is read up to this size; a larger one is not taken.
constexpr std::size_t kMaxReadBytes = 64u * 1024 * 1024;
// Properties our conversions rotate through (see convert()).
constexpr std::size_t kConversionProperties = 8;

// An eventfd that wakes the loop.
class WakeFd {
 public:
  WakeFd() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(fd_.get(), &one, sizeof one);
  }
  void drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd_.get(), &count, sizeof count);
  }

 private:
  UniqueFd fd_;
};

// Frees what Xlib allocated.
struct XFreeDeleter {
  void operator()(void* p) const {
    if (p) XFree(p);
  }
};

// A property as read from our window.
struct PropertyValue {
  Atom type = None;
  int format = 0;
  std::string bytes;  // format 32 items are longs, as Xlib returns them
};

// One of our texts going to a requestor in INCR chunks.
struct Transfer {
  Window requestor;
  Atom property;
  Atom type;
  std::shared_ptr<const std::string> data;
  std::size_t offset = 0;
  bool finished = false;  // the closing empty chunk is written
  SteadyClock::time_point last_activity;
};

class X11ClipboardWatcher : public ClipboardWatcher {
 public:
  explicit X11ClipboardWatcher(std::unique_ptr<X11Connection> x) : x_(std::move(x)) {}

  bool set_up() {
    Display* d = x_->display();
    int error_base = 0;
    int major = 5, minor = 0;
    if (!wake_.valid() || !XFixesQueryExtension(d, &xfixes_event_base_, &error_base) ||
        !XFixesQueryVersion(d, &major, &minor)) {
      return false;
    }
    window_ = XCreateSimpleWindow(d, x_->root(), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, window_, PropertyChangeMask);
    clipboard_ = XInternAtom(d, "CLIPBOARD", False);
    targets_ = XInternAtom(d, "TARGETS", False);
    utf8_ = XInternAtom(d, "UTF8_STRING", False);
    text_ = XInternAtom(d, "TEXT", False);
    compound_text_ = XInternAtom(d, "COMPOUND_TEXT", False);
    incr_ = XInternAtom(d, "INCR", False);
    for (std::size_t i = 0; i < kConversionProperties; ++i) {
      const std::string name = "TOLVI_CLIPBOARD_" + std::to_string(i);
      properties_[i] = XInternAtom(d, name.c_str(), False);
    }
    property_ = properties_[0];
    XFixesSelectSelectionInput(d, window_, clipboard_,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    const std::size_t request_bytes =
        static_cast<std::size_t>(XMaxRequestSize(d)) * 4 - kRequestOverheadBytes;
    chunk_bytes_ = std::min(kMaxChunkBytes, request_bytes);
    return x_->sync_errors() == 0 && !x_->broken();
  }

  ~X11ClipboardWatcher() override {
    if (window_ == None || x_->broken()) return;
    Display* d = x_->display();
    // Give the selection up explicitly, so its holders see it go now and not only when the
    // window does.
    if (XGetSelectionOwner(d, clipboard_) == window_) {
      XSetSelectionOwner(d, clipboard_, None, CurrentTime);
    }
    XDestroyWindow(d, window_);
    x_->sync_errors();
  }

  bool run(ClipboardEvents& events) override {
    Display* d = x_->display();
    for (;;) {
      if (x_->broken()) return false;
      if (stop_.load()) return true;
      if (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        handle(event, events);
        continue;
      }
      if (std::optional<std::string> text = take_posted()) {
        events.on_posted_text(*text);
        continue;
      }
      expire_transfers();
      pollfd fds[2] = {{x_->fd(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
      poll(fds, 2, transfers_.empty() ? -1 : kTransferCheckMs);
      if (fds[1].revents & POLLIN) wake_.drain();
    }
  }

  bool post_text(std::string text) override {
    {
      std::lock_guard<std::mutex> guard(posted_lock_);
      posted_.push_back(std::move(text));
    }
    wake_.signal();
    return true;
  }

  void stop() override {
    stop_.store(true);
    wake_.signal();
  }

  std::optional<std::string> read_text() override {
    if (owned_) return *own_text_;
    Display* d = x_->display();
    if (XGetSelectionOwner(d, clipboard_) == None) return std::nullopt;
    // Ask what the owner offers first: an image or a file list has no text target, and then
    // nothing is read. An owner that does not answer TARGETS is asked for text directly.
    std::vector<Atom> wanted = {utf8_, XA_STRING};
    if (std::optional<PropertyValue> targets = convert(targets_)) {
      if (targets->type == XA_ATOM && targets->format == 32) {
        const Atom* offered = reinterpret_cast<const Atom*>(targets->bytes.data());
        const std::size_t count = targets->bytes.size() / sizeof(Atom);
        const auto has = [&](Atom a) {
          return std::find(offered, offered + count, a) != offered + count;
        };
        wanted.clear();
        for (Atom a : {utf8_, XA_STRING, text_}) {
          if (has(a)) wanted.push_back(a);
        }
      }
    }
    for (Atom target : wanted) {
      std::optional<PropertyValue> value = convert(target);
      if (!value || value->format != 8) continue;
      if (value->type == utf8_) return std::move(value->bytes);
      if (value->type == XA_STRING) return latin1_to_utf8(value->bytes);
      if (value->type == compound_text_) return compound_to_utf8(*value);
    }
    return std::nullopt;
  }

  bool write_text(const std::string& text) override {
    Display* d = x_->display();
    XSetSelectionOwner(d, clipboard_, window_, CurrentTime);
    if (XGetSelectionOwner(d, clipboard_) != window_) return false;
    own_text_ = std::make_shared<const std::string>(text);
    owned_ = true;
    return true;
  }

 private:
  std::optional<std::string> take_posted() {
    std::lock_guard<std::mutex> guard(posted_lock_);
    if (posted_.empty()) return std::nullopt;
    std::string text = std::move(posted_.front());
    posted_.pop_front();
    return text;
  }

  void handle(XEvent& event, ClipboardEvents& events) {
    if (event.type == xfixes_event_base_ + XFixesSelectionNotify) {
      const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
      if (notify.selection != clipboard_) return;
      if (notify.owner != window_) owned_ = false;
      events.on_clipboard_changed();
      return;
    }
    switch (event.type) {
      case SelectionClear:
        if (event.xselectionclear.selection == clipboard_) owned_ = false;
        break;
      case SelectionRequest:
        serve(event.xselectionrequest);
        break;
      case PropertyNotify:
        if (event.xproperty.state == PropertyDelete) {
          continue_transfer(event.xproperty.window, event.xproperty.atom);
        }
        break;
      case DestroyNotify:
        std::erase_if(transfers_, [&](const Transfer& t) {
          return t.requestor == event.xdestroywindow.window;
        });
        break;
      default:
        break;
    }
  }

  // Answers another program's request for our text.
  void serve(const XSelectionRequestEvent& request) {
    Display* d = x_->display();
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
    if (request.selection == clipboard_ && owned_) {
      if (request.target == targets_) {
        const Atom offered[] = {targets_, utf8_, XA_STRING, text_};
        XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(offered), 4);
        reply.property = property;
      } else if (request.target == utf8_ || request.target == text_) {
        send_text(request.requestor, property, utf8_, own_text_);
        reply.property = property;
      } else if (request.target == XA_STRING) {
        send_text(request.requestor, property, XA_STRING,
                  std::make_shared<const std::string>(utf8_to_latin1(*own_text_)));
        reply.property = property;
      }
    }
    XSendEvent(d, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
  }

  void send_text(Window requestor, Atom property, Atom type,
                 std::shared_ptr<const std::string> data) {
    Display* d = x_->display();
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
    XChangeProperty(d, requestor, property, incr_, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&size), 1);
    std::erase_if(transfers_, [&](const Transfer& t) {
      return t.requestor == requestor && t.property == property;
    });
    transfers_.push_back(
        {requestor, property, type, std::move(data), 0, false, SteadyClock::now()});
  }

  void continue_transfer(Window requestor, Atom property) {
    auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
      return t.requestor == requestor && t.property == property;
    });
    if (it == transfers_.end()) return;
    if (it->finished) {
      transfers_.erase(it);
      if (std::none_of(transfers_.begin(), transfers_.end(),
                       [&](const Transfer& t) { return t.requestor == requestor; })) {
        XSelectInput(x_->display(), requestor, NoEventMask);
      }
      return;
    }
    const std::size_t length = std::min(chunk_bytes_, it->data->size() - it->offset);
    XChangeProperty(x_->display(), requestor, property, it->type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(it->data->data() + it->offset),
                    static_cast<int>(length));
    it->offset += length;
    it->finished = length == 0;
    it->last_activity = SteadyClock::now();
  }

  void expire_transfers() {
    const SteadyClock::time_point now = SteadyClock::now();
    std::erase_if(transfers_,
                  [&](const Transfer& t) { return now - t.last_activity > kTransferTimeout; });
  }

  // Waits for the next event of our window that `match` accepts (other events stay queued
  // for the loop). False on time-out, stop or a lost connection.
  template <typename Match>
  bool wait_for(Match match, XEvent& out) {
    Display* d = x_->display();
    const SteadyClock::time_point deadline = SteadyClock::now() + kConvertTimeout;
    struct Filter {
      Match* match;
      static Bool call(Display*, XEvent* event, XPointer self) {
        return (*reinterpret_cast<Filter*>(self)->match)(*event) ? True : False;
      }
    } filter{&match};
    for (;;) {
      if (XCheckIfEvent(d, &out, &Filter::call, reinterpret_cast<XPointer>(&filter))) return true;
      if (x_->broken() || stop_.load()) return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{x_->fd(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
      poll(fds, 2, static_cast<int>(left.count()));
      if (fds[1].revents & POLLIN) wake_.drain();
    }
  }

  // Reads and deletes our property; nothing when it does not exist.
  std::optional<PropertyValue> take_property() {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(x_->display(), window_, property_, 0, LONG_MAX / 4, True,
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
  std::optional<PropertyValue> convert(Atom target) {
    Display* d = x_->display();
    // Each conversion gets the next of a few properties: an owner still sending chunks of a
    // transfer we gave up writes into the old one, never into this answer.
    next_property_ = (next_property_ + 1) % kConversionProperties;
    property_ = properties_[next_property_];
    XDeleteProperty(d, window_, property_);
    XConvertSelection(d, clipboard_, target, property_, window_, CurrentTime);
    XEvent event;
    const auto answered = [&](const XEvent& e) {
      return e.type == SelectionNotify && e.xselection.requestor == window_ &&
             e.xselection.selection == clipboard_;
    };
    if (!wait_for(answered, event) || event.xselection.property == None) return std::nullopt;
    std::optional<PropertyValue> value = take_property();
    if (!value || value->type != incr_) return value;
    // Deleting the INCR property (done above) asks for the first chunk. Notifications of
    // properties already gone (the INCR one itself) are skipped; an empty chunk ends it.
    PropertyValue whole{None, 8, {}};
    const auto new_value = [&](const XEvent& e) {
      return e.type == PropertyNotify && e.xproperty.window == window_ &&
             e.xproperty.atom == property_ && e.xproperty.state == PropertyNewValue;
    };
    for (;;) {
      if (!wait_for(new_value, event)) return std::nullopt;
      std::optional<PropertyValue> chunk = take_property();
      if (!chunk) continue;
      if (chunk->bytes.empty()) return whole;
      whole.type = chunk->type;
      whole.format = chunk->format;
      whole.bytes += chunk->bytes;
      if (whole.bytes.size() > kMaxReadBytes) return std::nullopt;
    }
  }

  std::optional<std::string> compound_to_utf8(const PropertyValue& value) {
    XTextProperty property{};
    property.value = reinterpret_cast<unsigned char*>(const_cast<char*>(value.bytes.data()));
    property.encoding = value.type;
    property.format = 8;
    property.nitems = value.bytes.size();
    char** list = nullptr;
    int count = 0;
    if (Xutf8TextPropertyToTextList(x_->display(), &property, &list, &count) < Success) {
      return std::nullopt;
    }
    std::string text;
    for (int i = 0; i < count; ++i) text += list[i];
    XFreeStringList(list);
    return text;
  }

  std::unique_ptr<X11Connection> x_;
  WakeFd wake_;
  std::atomic<bool> stop_{false};
  std::mutex posted_lock_;
  std::deque<std::string> posted_;

  Window window_ = None;
  int xfixes_event_base_ = 0;
  Atom clipboard_ = None, targets_ = None, utf8_ = None, text_ = None, compound_text_ = None,
       incr_ = None, property_ = None;
  Atom properties_[kConversionProperties] = {};
  std::size_t next_property_ = 0;
  std::size_t chunk_bytes_ = kMaxChunkBytes;
  bool owned_ = false;
  std::shared_ptr<const std::string> own_text_ = std::make_shared<const std::string>();
  std::vector<Transfer> transfers_;
};

}  // namespace

std::unique_ptr<ClipboardWatcher> make_x11_clipboard_watcher(const std::string& display_name) {
  std::unique_ptr<X11Connection> connection = X11Connection::open(display_name);
  if (!connection) return nullptr;
  auto watcher = std::make_unique<X11ClipboardWatcher>(std::move(connection));
  if (!watcher->set_up()) return nullptr;
  return watcher;
}

}  // namespace tolvi::platform
