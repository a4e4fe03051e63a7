#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/capture.h"
#include "video/client_config.h"

namespace tolvi {

// What a session's capture loop needs from the session: the configuration hand-over from the
// receive thread, and its connection (messages out, the main queue's backlog, the congestion
// limit, closing).
class StreamHost {
 public:
  virtual ~StreamHost() = default;

  // Takes the pending configuration (true when there was one). Any thread may have stored it.
  virtual bool take_pending_config(ClientConfig& out) = 0;
  // Consumes the client's key-frame request.
  virtual bool take_keyframe_request() = 0;
  // The configuration the pipeline was last built for; capture-loop thread only.
  virtual ClientConfig& current_config() = 0;
  // The captured output's desktop rectangle, each time the duplication is (re)opened: where
  // the client's pointer positions land. Client thread.
  virtual void set_input_target(const platform::DesktopRect&) {}

  // Queues one message; any thread (the encoder's sink may call it from its own thread).
  virtual void send_message(std::uint8_t type, const std::uint8_t* data, std::size_t length) = 0;
  virtual std::uint64_t main_backlog() = 0;
  virtual std::uint64_t congestion_limit() = 0;
  virtual void set_congestion_limit(std::uint64_t bytes) = 0;
  virtual void close_connection() = 0;
  virtual bool connection_closed() = 0;
};

}  // namespace tolvi
