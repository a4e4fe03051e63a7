#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/sd_bus_holders.h"
#include "platform/linux/unique_fd.h"

namespace tolvi::platform {

// The screen cast of a running remote-desktop session.
struct MutterStream {
  std::string path;              // the stream's object path (pointer positions refer to it)
  std::uint32_t node = 0;        // its PipeWire node
  std::uint64_t generation = 0;  // which of this link's sessions it belongs to (from 1)
  std::int32_t width = 0;        // the monitor's size in stream pixels, 0 when not told
  std::int32_t height = 0;
};

// What the desktop's clipboard tells a listener; called on the link's bus thread, which must
// not be held up: a listener queues the news for its own thread.
class MutterSelectionListener {
 public:
  virtual ~MutterSelectionListener() = default;
  // Another program (or, with ours set, this session) took the clipboard; `has_text` when one
  // of its formats is text.
  virtual void on_selection_owner_changed(bool has_text, bool ours) = 0;
  // A program pastes what this session offered: answer with selection_write(serial).
  virtual void on_selection_transfer(const std::string& mime_type, std::uint32_t serial) = 0;
};

// GNOME's remote-desktop interface on the session bus (org.gnome.Mutter.RemoteDesktop) with a
// screen cast of the primary monitor tied to it. Capture, input and clipboard of one process
// share it, because mutter accepts input only for a stream of the same session and only from
// the bus connection that created it. One bus connection, used under one lock; a thread of
// its own reads the bus and delivers signals. Any thread may call any member.
class MutterRemoteDesktop {
 public:
  // The link of this process, made when nobody holds one. Null without a session bus.
  static std::shared_ptr<MutterRemoteDesktop> shared();
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  // The running session's stream; starts a session first when none runs. Null with `error`
  // when mutter refused or did not announce the stream in time.
  std::optional<MutterStream> stream(std::string& error);
  // True once the session of `generation` is over (mutter closed it, or mutter went away).
  bool closed(std::uint64_t generation);
  // Stops the session of `generation` if it still runs, so that stream() starts a new one.
  void end_session(std::uint64_t generation);

  // Input into the running session (no-ops without one); sent without waiting for replies,
  // in order. Positions are in the stream's pixels; buttons and keys evdev codes.
  void pointer_motion_absolute(double x, double y);
  void pointer_button(std::int32_t button, bool pressed);
  void pointer_axis(double dx, double dy, std::uint32_t flags);
  void pointer_axis_discrete(std::uint32_t axis, std::int32_t steps);
  void keyboard_keycode(std::uint32_t keycode, bool pressed);

  // The clipboard of the running session. enable_clipboard keeps `listener` (until
  // disable_clipboard) and turns the clipboard on again in every later session.
  bool enable_clipboard(MutterSelectionListener* listener);
  // Forgets `listener` (nothing when another one took its place) and turns the clipboard off.
  void disable_clipboard(MutterSelectionListener* listener);
  bool set_selection(const std::vector<std::string>& mime_types);
  // The pipe to write a transfer's data into; then selection_write_done.
  UniqueFd selection_write(std::uint32_t serial);
  void selection_write_done(std::uint32_t serial, bool success);
  // The pipe to read the clipboard's data of `mime_type` from.
  UniqueFd selection_read(const std::string& mime_type);

 private:
  explicit MutterRemoteDesktop(SdBus bus);

  bool start_session_locked(std::unique_lock<std::mutex>& guard, std::string& error);
  void stop_session_locked();
  bool enable_clipboard_locked();
  void wait_for_input_locked(std::unique_lock<std::mutex>& guard);
  void send_input_locked(const char* method, const char* signature, ...);
  void wake_pump();
  void pump();

  static int on_stream_added(sd_bus_message* message, void* self, sd_bus_error*);
  static int on_session_closed(sd_bus_message* message, void* self, sd_bus_error*);
  static int on_mutter_gone(sd_bus_message* message, void* self, sd_bus_error*);
  static int on_owner_changed(sd_bus_message* message, void* self, sd_bus_error*);
  static int on_transfer(sd_bus_message* message, void* self, sd_bus_error*);

  std::mutex lock_;
  std::condition_variable changed_;
  SdBus bus_;
  UniqueFd wake_;  // an eventfd that brings the bus thread round
  bool stopping_ = false;
  bool starting_ = false;  // a session is being started, its stream not yet announced
  // The running session: its objects, its stream and the signal subscriptions for them.
  std::string session_path_;
  std::string stream_path_;
  std::uint32_t node_ = 0;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  bool node_announced_ = false;
  bool session_closed_ = true;
  std::uint64_t generation_ = 0;
  std::vector<SdBusSlot> session_slots_;
  // Input waits until then (see kNewDeviceSettle).
  std::chrono::steady_clock::time_point input_ready_at_;
  SdBusSlot mutter_gone_slot_;
  MutterSelectionListener* selection_listener_ = nullptr;
  std::thread pump_thread_;
};

}  // namespace tolvi::platform
