#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/limits.h"

namespace tolvi {

// The forwarder's way to its client: the session's connection, seen through what the shared
// folder needs of it. Every call is safe from any thread.
class FolderLink {
 public:
  virtual ~FolderLink() = default;
  // Queues a message on the main queue (FolderOpen, FolderStatus).
  virtual void send(std::uint8_t type, const std::vector<std::uint8_t>& payload) = 0;
  // Queues a message on the bulk queue (FolderData and FolderClose from the host).
  virtual void send_bulk(std::uint8_t type, const std::uint8_t* data, std::size_t length) = 0;
  // A frame buffer with room for `payload_bytes` at kPlainHeaderBytes, for a reader that puts
  // its bytes straight where the sender takes them, and its queueing on the bulk queue with the
  // first `payload_length` payload bytes. By default a plain buffer and a copying send_bulk.
  virtual std::vector<std::uint8_t> bulk_frame(std::size_t payload_bytes) {
    return std::vector<std::uint8_t>(kPlainHeaderBytes + payload_bytes);
  }
  virtual void send_bulk_frame(std::uint8_t type, std::vector<std::uint8_t> frame,
                               std::size_t payload_length) {
    send_bulk(type, frame.data() + kPlainHeaderBytes, payload_length);
  }
  // Blocks until the bulk queue holds at most `limit` bytes or the connection is closed.
  virtual void wait_bulk_below(std::uint64_t limit) = 0;
  // True once the connection to the client has ended: nothing sent arrives any more.
  virtual bool closed() const = 0;
};

}  // namespace tolvi
