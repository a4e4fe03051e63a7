#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

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
  // Blocks until the bulk queue holds at most `limit` bytes or the connection is closed.
  virtual void wait_bulk_below(std::uint64_t limit) = 0;
  // True once the connection to the client has ended: nothing sent arrives any more.
  virtual bool closed() const = 0;
};

}  // namespace tolvi
