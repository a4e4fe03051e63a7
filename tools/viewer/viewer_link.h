#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "ffmpeg/ffmpeg_holders.h"
#include "stream_messages.h"
#include "viewer_logic.h"

namespace tolvi::client {
class FolderRelay;
class StreamReceiver;
}  // namespace tolvi::client

namespace tolvi::viewer {

// One connection to a host, run on its own thread: connect, authenticate, ask for the stream,
// then receive and decode every frame, keeping only the newest picture worth showing for the
// window (late ones are decoded, not shown), and ask the host for a lower frame rate while
// this computer cannot decode at the stream's rate. The window thread sends
// input through send() and takes pictures, pointer shapes and texts out.
class ViewerLink {
 public:
  enum class State { Connecting, Streaming, WrongPassword, Unreachable, HungUp, Failed, Stopped };

  struct Target {
    std::string host;
    std::uint16_t port = 0;
    std::string password;
    std::string share_folder;  // served to the host while connected; empty: nothing shared
    bool share_read_only = false;
  };
  // wake: called from the link's thread when something new is there to take.
  ViewerLink(Target target, client::StreamRequest request, std::function<void()> wake);
  ~ViewerLink();  // stops and joins
  ViewerLink(const ViewerLink&) = delete;
  ViewerLink& operator=(const ViewerLink&) = delete;

  State state() const { return state_.load(); }
  std::string message() const;  // why it failed, for people
  std::string computer_name() const;

  // One message to the host once streaming; false when it could not go.
  bool send(std::uint8_t type, const std::vector<std::uint8_t>& payload = {});
  // A new stream request (window resized); sent when streaming, kept for later otherwise.
  void request_stream(const client::StreamRequest& request);

  // The newest picture since the last call, or null; with its capture time (the host's clock)
  // and the times it arrived and was decoded here (monotonic microseconds).
  struct PictureTimes {
    std::uint64_t capture_us = 0;
    std::uint64_t receipt_us = 0;
    std::uint64_t decoded_us = 0;
  };
  ffmpeg::FramePtr take_picture(PictureTimes* times = nullptr);
  // The newest pointer shape payload since the last call.
  bool take_cursor(std::vector<std::uint8_t>& payload);
  // Texts the host sent (clipboard) since the last call.
  bool take_clipboard(std::string& text);
  // The newest shared-folder status ("ok: ..." / "failed: ...") since the last call.
  bool take_folder_status(std::string& text);

  struct Figures : LinkCounters {
    std::uint64_t late = 0;  // of `dropped`: late pictures never offered to the window
    std::uint32_t stream_w = 0;
    std::uint32_t stream_h = 0;
    bool hardware = false;     // decoding through VAAPI
    std::uint16_t asked_fps = 0;  // not 0: the lower frame rate asked for
  };
  Figures figures() const;

 private:
  void run();
  // Connects and authenticates; on success the connection is set up and streaming.
  bool connect();
  // Starts serving the shared folder, when one was given.
  void share(client::FolderRelay& relay);
  // Receives and handles messages until the connection ends or the link stops.
  void dispatch(client::FolderRelay& relay);
  // One message of the stream; false when the stream broke.
  bool on_stream_message(client::StreamReceiver& receiver, std::uint8_t type,
                         const std::vector<std::uint8_t>& payload, std::uint64_t receipt_us);
  // Once a second: the decoder's second goes to the frame-rate governor.
  void second_passed();
  // The request as sent: the window's, at the frame rate the governor allows (send lock held).
  void send_stream_config();
  void finish(State state, std::string message);
  void send_ping();
  void set_folder_status(std::string text);

  Target target_;  // the password is wiped when the link goes
  const std::function<void()> wake_;
  std::atomic<State> state_{State::Connecting};
  std::atomic<bool> stop_{false};
  std::unique_ptr<client::ClientConnection> connection_;
  std::mutex send_mutex_;  // senders take turns; also guards request_ and connection_ setup

  mutable std::mutex mutex_;  // everything below
  client::StreamRequest request_;
  std::string message_;
  std::string computer_name_;
  ffmpeg::FramePtr picture_;
  PictureTimes picture_times_;
  std::vector<std::uint8_t> cursor_;
  bool cursor_new_ = false;
  std::vector<std::string> clipboard_;
  std::string folder_status_;
  bool folder_status_new_ = false;
  Figures figures_;
  // The link thread's own: which pictures are shown, the frame rate asked for, and the
  // counters of the second that runs.
  PresentationGate gate_;
  FrameRateGovernor governor_{60};  // under send_mutex_
  FrameRateGovernor::Second second_;
  std::uint64_t second_start_us_ = 0;

  std::thread thread_;
};

}  // namespace tolvi::viewer
