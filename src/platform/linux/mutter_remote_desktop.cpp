#include "platform/linux/mutter_remote_desktop.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "base/log.h"
#include "base/thread_start.h"

namespace tolvi::platform {
namespace {

constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
// The pointer comes as stream metadata, so that the client draws it itself.
constexpr std::uint32_t kCursorModeMetadata = 2;
// The primary monitor, for RecordMonitor.
constexpr const char* kPrimaryConnector = "";
// A desktop that does not answer within this time counts as gone.
constexpr std::uint64_t kCallTimeoutUs = 5000000;
// Mutter makes new virtual input devices for each session, and the first events of each new
// device are lost on the way to the programs: the first one to four key presses of a session,
// and a click that came within milliseconds of the session's first pointer motion (measured
// on mutter 43 with Xwayland programs, whatever the time since Start). Our reading: the first
// event of a device makes it the seat's current device, and mutter hands the programs that
// device's keymap and pointer focus anew; what follows at once arrives before that is done.
// Once a device has sent one event and this long has passed, nothing is lost. So each session
// sends a key that no layout maps (a program that gets it sees a key without a symbol) and a
// pointer motion there and back first, and the session's first real input waits until this
// long after them.
constexpr auto kNewDeviceSettle = std::chrono::milliseconds(200);
constexpr std::uint32_t kPrimingKey = KEY_UNKNOWN;
constexpr double kPrimingStep = 1.0;
// From Start to the stream's PipeWire node being announced.
constexpr auto kStreamAnnounceLimit = std::chrono::seconds(5);

std::mutex shared_lock;
std::weak_ptr<MutterRemoteDesktop> shared_link;

bool string_property(sd_bus* bus, const char* service, const std::string& path,
                     const char* interface, const char* name, std::string& value) {
  SdBusError error;
  char* text = nullptr;
  if (sd_bus_get_property_string(bus, service, path.c_str(), interface, name, error.get(), &text) <
      0) {
    return false;
  }
  value = text;
  std::free(text);
  return true;
}

// The monitor's size from the stream's Parameters ("size" (ii)); 0 x 0 when not told.
void read_stream_size(sd_bus* bus, const std::string& path, std::int32_t& width,
                      std::int32_t& height) {
  width = height = 0;
  SdBusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_get_property(bus, kScreenCastName, path.c_str(), kScreenCastStream, "Parameters",
                          error.get(), &raw, "a{sv}") < 0) {
    return;
  }
  SdBusMessage reply(raw);
  sd_bus_message* message = reply.get();
  if (sd_bus_message_enter_container(message, 'v', "a{sv}") <= 0) return;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(message, "s", &key);
    if (key && std::strcmp(key, "size") == 0 &&
        sd_bus_message_enter_container(message, 'v', "(ii)") > 0) {
      sd_bus_message_read(message, "(ii)", &width, &height);
      sd_bus_message_exit_container(message);
    } else {
      sd_bus_message_skip(message, "v");
    }
    sd_bus_message_exit_container(message);
  }
}

bool is_text_type(const char* type) {
  return std::strcmp(type, "text/plain;charset=utf-8") == 0 ||
         std::strcmp(type, "text/plain") == 0 || std::strcmp(type, "UTF8_STRING") == 0 ||
         std::strcmp(type, "STRING") == 0 || std::strcmp(type, "TEXT") == 0;
}

// Reads an a{sv} of SelectionOwnerChanged: whether a text type is offered and whether this
// session is the owner.
void read_selection_options(sd_bus_message* message, bool& has_text, bool& ours) {
  if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(message, "s", &key);
    const std::string name = key ? key : "";
    char type = 0;
    const char* contents = nullptr;
    sd_bus_message_peek_type(message, &type, &contents);
    const std::string inner = contents ? contents : "";
    // The types come as an array of strings, in some versions wrapped in a structure.
    if (name == "mime-types" && (inner == "as" || inner == "(as)") &&
        sd_bus_message_enter_container(message, 'v', inner.c_str()) > 0) {
      const bool wrapped = inner == "(as)";
      if (wrapped) sd_bus_message_enter_container(message, 'r', "as");
      char** types = nullptr;
      if (sd_bus_message_read_strv(message, &types) >= 0 && types) {
        for (char** text = types; *text; ++text) {
          if (is_text_type(*text)) has_text = true;
          std::free(*text);
        }
        std::free(types);
      }
      if (wrapped) sd_bus_message_exit_container(message);
      sd_bus_message_exit_container(message);
    } else if (name == "session-is-owner" &&
               sd_bus_message_enter_container(message, 'v', "b") > 0) {
      int value = 0;
      sd_bus_message_read(message, "b", &value);
      ours = value != 0;
      sd_bus_message_exit_container(message);
    } else {
      sd_bus_message_skip(message, "v");
    }
    sd_bus_message_exit_container(message);
  }
  sd_bus_message_exit_container(message);
}

}  // namespace

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::shared() {
  std::lock_guard<std::mutex> guard(shared_lock);
  if (auto link = shared_link.lock()) return link;
  SdBus bus = open_user_bus(kCallTimeoutUs);
  if (!bus) return nullptr;
  std::shared_ptr<MutterRemoteDesktop> link(new MutterRemoteDesktop(std::move(bus)));
  if (!link->wake_.valid()) return nullptr;
  shared_link = link;
  return link;
}

MutterRemoteDesktop::MutterRemoteDesktop(SdBus bus)
    : bus_(std::move(bus)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // mutter leaving the bus ends every session it had.
  const std::string match = std::string(
                                "type='signal',sender='org.freedesktop.DBus',member='"
                                "NameOwnerChanged',arg0='") +
                            kRemoteDesktopName + "'";
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_match(bus_.get(), &slot, match.c_str(), on_mutter_gone, this) >= 0) {
    mutter_gone_slot_.reset(slot);
  }
  if (wake_.valid()) pump_thread_ = start_thread([this] { pump(); });
}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_session_locked();
    stopping_ = true;
  }
  wake_pump();
  if (pump_thread_.joinable()) pump_thread_.join();
  session_slots_.clear();
  mutter_gone_slot_.reset();
}

std::optional<MutterStream> MutterRemoteDesktop::stream(std::string& error) {
  std::unique_lock<std::mutex> guard(lock_);
  // Another thread's start waits for the announcement with the lock given up.
  changed_.wait(guard, [this] { return !starting_; });
  if (session_closed_) {
    stop_session_locked();
    starting_ = true;
    const bool started = start_session_locked(guard, error);
    starting_ = false;
    changed_.notify_all();
    if (!started) {
      stop_session_locked();
      return std::nullopt;
    }
  }
  return MutterStream{stream_path_, node_, generation_, width_, height_};
}

bool MutterRemoteDesktop::closed(std::uint64_t generation) {
  std::lock_guard<std::mutex> guard(lock_);
  return generation != generation_ || session_closed_;
}

void MutterRemoteDesktop::end_session(std::uint64_t generation) {
  std::lock_guard<std::mutex> guard(lock_);
  if (generation == generation_) stop_session_locked();
}

bool MutterRemoteDesktop::start_session_locked(std::unique_lock<std::mutex>& guard,
                                               std::string& error) {
  sd_bus* bus = bus_.get();
  SdBusError call_error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, kRemoteDesktopName, kRemoteDesktopPath,
                         "org.gnome.Mutter.RemoteDesktop", "CreateSession", call_error.get(), &raw,
                         "") < 0) {
    error = std::string("CreateSession: ") + call_error.message();
    return false;
  }
  SdBusMessage reply(raw);
  const char* path = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &path) < 0) return false;
  session_path_ = path;
  ++generation_;
  session_closed_ = false;
  node_announced_ = false;
  node_ = 0;

  const auto subscribe = [&](const std::string& object, const char* interface, const char* member,
                             sd_bus_message_handler_t handler) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus, &slot, nullptr, object.c_str(), interface, member, handler,
                            this) >= 0) {
      session_slots_.emplace_back(slot);
    }
  };
  subscribe(session_path_, kRemoteDesktopSession, "Closed", on_session_closed);
  subscribe(session_path_, kRemoteDesktopSession, "SelectionOwnerChanged", on_owner_changed);
  subscribe(session_path_, kRemoteDesktopSession, "SelectionTransfer", on_transfer);

  std::string session_id;
  if (!string_property(bus, kRemoteDesktopName, session_path_, kRemoteDesktopSession, "SessionId",
                       session_id)) {
    error = "no SessionId";
    return false;
  }
  SdBusError cast_error;
  raw = nullptr;
  if (sd_bus_call_method(bus, kScreenCastName, kScreenCastPath, "org.gnome.Mutter.ScreenCast",
                         "CreateSession", cast_error.get(), &raw, "a{sv}", 1,
                         "remote-desktop-session-id", "s", session_id.c_str()) < 0) {
    error = std::string("ScreenCast.CreateSession: ") + cast_error.message();
    return false;
  }
  reply.reset(raw);
  const char* cast_path = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &cast_path) < 0) return false;
  const std::string cast_session = cast_path;

  SdBusError record_error;
  raw = nullptr;
  if (sd_bus_call_method(bus, kScreenCastName, cast_session.c_str(), kScreenCastSession,
                         "RecordMonitor", record_error.get(), &raw, "sa{sv}", kPrimaryConnector, 1,
                         "cursor-mode", "u", kCursorModeMetadata) < 0) {
    error = std::string("RecordMonitor: ") + record_error.message();
    return false;
  }
  reply.reset(raw);
  const char* stream_path = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &stream_path) < 0) return false;
  stream_path_ = stream_path;
  read_stream_size(bus, stream_path_, width_, height_);
  subscribe(stream_path_, kScreenCastStream, "PipeWireStreamAdded", on_stream_added);

  SdBusError start_error;
  if (sd_bus_call_method(bus, kRemoteDesktopName, session_path_.c_str(), kRemoteDesktopSession,
                         "Start", start_error.get(), nullptr, "") < 0) {
    error = std::string("Start: ") + start_error.message();
    return false;
  }
  send_input_locked("NotifyKeyboardKeycode", "ub", kPrimingKey, 1);
  send_input_locked("NotifyKeyboardKeycode", "ub", kPrimingKey, 0);
  send_input_locked("NotifyPointerMotionRelative", "dd", kPrimingStep, 0.0);
  send_input_locked("NotifyPointerMotionRelative", "dd", -kPrimingStep, 0.0);
  input_ready_at_ = std::chrono::steady_clock::now() + kNewDeviceSettle;
  // The announcement may already sit in the read queue: the bus thread delivers it.
  wake_pump();
  if (!changed_.wait_for(guard, kStreamAnnounceLimit,
                         [this] { return node_announced_ || session_closed_; }) ||
      session_closed_) {
    error = "the stream's PipeWire node was not announced";
    return false;
  }
  if (selection_listener_ && !enable_clipboard_locked()) {
    log_message("wayland: the clipboard could not be enabled in the new session");
  }
  return true;
}

void MutterRemoteDesktop::stop_session_locked() {
  if (!session_path_.empty() && !session_closed_) {
    SdBusError error;
    sd_bus_call_method(bus_.get(), kRemoteDesktopName, session_path_.c_str(), kRemoteDesktopSession,
                       "Stop", error.get(), nullptr, "");
  }
  session_slots_.clear();
  session_closed_ = true;
  session_path_.clear();
  stream_path_.clear();
  changed_.notify_all();
}

void MutterRemoteDesktop::wait_for_input_locked(std::unique_lock<std::mutex>& guard) {
  const auto ready_at = input_ready_at_;
  if (std::chrono::steady_clock::now() >= ready_at) return;
  guard.unlock();
  std::this_thread::sleep_until(ready_at);
  guard.lock();
}

void MutterRemoteDesktop::send_input_locked(const char* method, const char* signature, ...) {
  if (session_closed_ || session_path_.empty()) return;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus_.get(), &raw, kRemoteDesktopName, session_path_.c_str(),
                                     kRemoteDesktopSession, method) < 0) {
    return;
  }
  SdBusMessage message(raw);
  va_list arguments;
  va_start(arguments, signature);
  const int appended = sd_bus_message_appendv(message.get(), signature, arguments);
  va_end(arguments);
  if (appended < 0) return;
  sd_bus_message_set_expect_reply(message.get(), 0);
  sd_bus_send(bus_.get(), message.get(), nullptr);
}

void MutterRemoteDesktop::pointer_motion_absolute(double x, double y) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    wait_for_input_locked(guard);
    send_input_locked("NotifyPointerMotionAbsolute", "sdd", stream_path_.c_str(), x, y);
  }
  wake_pump();
}

void MutterRemoteDesktop::pointer_button(std::int32_t button, bool pressed) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    wait_for_input_locked(guard);
    send_input_locked("NotifyPointerButton", "ib", button, static_cast<int>(pressed));
  }
  wake_pump();
}

void MutterRemoteDesktop::pointer_axis(double dx, double dy, std::uint32_t flags) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    wait_for_input_locked(guard);
    send_input_locked("NotifyPointerAxis", "ddu", dx, dy, flags);
  }
  wake_pump();
}

void MutterRemoteDesktop::pointer_axis_discrete(std::uint32_t axis, std::int32_t steps) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    wait_for_input_locked(guard);
    send_input_locked("NotifyPointerAxisDiscrete", "ui", axis, steps);
  }
  wake_pump();
}

void MutterRemoteDesktop::keyboard_keycode(std::uint32_t keycode, bool pressed) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    wait_for_input_locked(guard);
    send_input_locked("NotifyKeyboardKeycode", "ub", keycode, static_cast<int>(pressed));
  }
  wake_pump();
}

bool MutterRemoteDesktop::enable_clipboard(MutterSelectionListener* listener) {
  std::lock_guard<std::mutex> guard(lock_);
  selection_listener_ = listener;
  return session_closed_ || enable_clipboard_locked();
}

bool MutterRemoteDesktop::enable_clipboard_locked() {
  SdBusError error;
  return sd_bus_call_method(bus_.get(), kRemoteDesktopName, session_path_.c_str(),
                            kRemoteDesktopSession, "EnableClipboard", error.get(), nullptr, "a{sv}",
                            0) >= 0;
}

void MutterRemoteDesktop::disable_clipboard(MutterSelectionListener* listener) {
  std::lock_guard<std::mutex> guard(lock_);
  if (selection_listener_ != listener) return;
  selection_listener_ = nullptr;
  if (session_closed_) return;
  SdBusError error;
  sd_bus_call_method(bus_.get(), kRemoteDesktopName, session_path_.c_str(), kRemoteDesktopSession,
                     "DisableClipboard", error.get(), nullptr, "");
}

bool MutterRemoteDesktop::set_selection(const std::vector<std::string>& mime_types) {
  std::lock_guard<std::mutex> guard(lock_);
  if (session_closed_) return false;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus_.get(), &raw, kRemoteDesktopName, session_path_.c_str(),
                                     kRemoteDesktopSession, "SetSelection") < 0) {
    return false;
  }
  SdBusMessage message(raw);
  sd_bus_message_open_container(message.get(), 'a', "{sv}");
  sd_bus_message_open_container(message.get(), 'e', "sv");
  sd_bus_message_append(message.get(), "s", "mime-types");
  sd_bus_message_open_container(message.get(), 'v', "as");
  sd_bus_message_open_container(message.get(), 'a', "s");
  for (const std::string& type : mime_types) {
    sd_bus_message_append(message.get(), "s", type.c_str());
  }
  sd_bus_message_close_container(message.get());
  sd_bus_message_close_container(message.get());
  sd_bus_message_close_container(message.get());
  if (sd_bus_message_close_container(message.get()) < 0) return false;
  SdBusError error;
  return sd_bus_call(bus_.get(), message.get(), 0, error.get(), nullptr) >= 0;
}

UniqueFd MutterRemoteDesktop::selection_write(std::uint32_t serial) {
  std::lock_guard<std::mutex> guard(lock_);
  if (session_closed_) return {};
  SdBusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus_.get(), kRemoteDesktopName, session_path_.c_str(),
                         kRemoteDesktopSession, "SelectionWrite", error.get(), &raw, "u",
                         serial) < 0) {
    return {};
  }
  SdBusMessage reply(raw);
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0) return {};
  // The descriptor belongs to the reply: keep a copy of our own.
  return UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

void MutterRemoteDesktop::selection_write_done(std::uint32_t serial, bool success) {
  std::lock_guard<std::mutex> guard(lock_);
  if (session_closed_) return;
  SdBusError error;
  sd_bus_call_method(bus_.get(), kRemoteDesktopName, session_path_.c_str(), kRemoteDesktopSession,
                     "SelectionWriteDone", error.get(), nullptr, "ub", serial,
                     static_cast<int>(success));
}

UniqueFd MutterRemoteDesktop::selection_read(const std::string& mime_type) {
  std::lock_guard<std::mutex> guard(lock_);
  if (session_closed_) return {};
  SdBusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus_.get(), kRemoteDesktopName, session_path_.c_str(),
                         kRemoteDesktopSession, "SelectionRead", error.get(), &raw, "s",
                         mime_type.c_str()) < 0) {
    return {};
  }
  SdBusMessage reply(raw);
  int fd = -1;
  if (sd_bus_message_read(reply.get(), "h", &fd) < 0) return {};
  return UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

void MutterRemoteDesktop::wake_pump() {
  const std::uint64_t one = 1;
  if (wake_.valid()) (void)!write(wake_.get(), &one, sizeof one);
}

// The bus thread: delivers signals (and whatever a call left in the read queue) and writes out
// what the input calls queued.
void MutterRemoteDesktop::pump() {
  for (;;) {
    pollfd waits[2] = {{-1, 0, 0}, {wake_.get(), POLLIN, 0}};
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;
      int processed = 0;
      while ((processed = sd_bus_process(bus_.get(), nullptr)) > 0) {
      }
      if (processed < 0) {
        // The bus is gone: so is every session on it.
        session_closed_ = true;
        changed_.notify_all();
      } else {
        waits[0].fd = sd_bus_get_fd(bus_.get());
        const int events = sd_bus_get_events(bus_.get());
        waits[0].events = static_cast<short>(events > 0 ? events : 0);
      }
    }
    if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
    if (waits[1].revents & POLLIN) {
      std::uint64_t count = 0;
      (void)!read(wake_.get(), &count, sizeof count);
    }
  }
}

int MutterRemoteDesktop::on_stream_added(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* link = static_cast<MutterRemoteDesktop*>(self);
  std::uint32_t node = 0;
  if (sd_bus_message_read(message, "u", &node) < 0) return 0;
  link->node_ = node;
  link->node_announced_ = true;
  link->changed_.notify_all();
  return 0;
}

int MutterRemoteDesktop::on_session_closed(sd_bus_message*, void* self, sd_bus_error*) {
  auto* link = static_cast<MutterRemoteDesktop*>(self);
  link->session_closed_ = true;
  link->changed_.notify_all();
  return 0;
}

int MutterRemoteDesktop::on_mutter_gone(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* link = static_cast<MutterRemoteDesktop*>(self);
  const char* name = nullptr;
  const char* old_owner = nullptr;
  const char* new_owner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &old_owner, &new_owner) < 0) return 0;
  if (old_owner && *old_owner) {
    link->session_closed_ = true;
    link->changed_.notify_all();
  }
  return 0;
}

int MutterRemoteDesktop::on_owner_changed(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* link = static_cast<MutterRemoteDesktop*>(self);
  bool has_text = false;
  bool ours = false;
  read_selection_options(message, has_text, ours);
  if (link->selection_listener_)
    link->selection_listener_->on_selection_owner_changed(has_text, ours);
  return 0;
}

int MutterRemoteDesktop::on_transfer(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* link = static_cast<MutterRemoteDesktop*>(self);
  const char* mime_type = nullptr;
  std::uint32_t serial = 0;
  if (sd_bus_message_read(message, "su", &mime_type, &serial) < 0) return 0;
  if (link->selection_listener_) {
    link->selection_listener_->on_selection_transfer(mime_type ? mime_type : "", serial);
  }
  return 0;
}

}  // namespace tolvi::platform
