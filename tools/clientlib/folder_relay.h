#pragma once
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "platform/net.h"

namespace tolvi::client {

// The client's side of a shared folder: the folder served over WebDAV by `rclone serve webdav`
// on a private loopback port (under /TOKEN/NAME), and every connection the host opens through
// the tunnel (FolderOpen, FolderData, FolderClose) relayed to it.
class FolderRelay {
 public:
  // `connection` is shared with the caller's thread, which only receives while the relay runs;
  // every send goes through send_lock.
  FolderRelay(ClientConnection& connection, std::mutex& send_lock)
      : connection_(connection), send_lock_(send_lock) {}
  ~FolderRelay();
  FolderRelay(const FolderRelay&) = delete;
  FolderRelay& operator=(const FolderRelay&) = delete;

  // Starts the WebDAV server for `folder` and waits until it accepts connections. On failure
  // `error` says why.
  bool start(const std::string& folder, const std::string& name, bool read_only,
             std::string& error);
  // FolderShare announcing the served folder (token, percent-encoded name).
  std::vector<std::uint8_t> share_payload() const;
  const std::string& token() const { return token_; }

  // Takes FolderOpen, FolderData and FolderClose from the host; false for any other type. A
  // FolderData also takes the FolderData for the same connection that are already whole in
  // the connection's receive buffer (ClientConnection::receive_following), so the caller must
  // be the thread that receives, and the payload a view from it or a copy.
  bool handle(std::uint8_t type, const std::uint8_t* payload, std::size_t length);
  bool handle(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
    return handle(type, payload.data(), payload.size());
  }

 private:
  struct Link {
    platform::Socket socket;
    std::thread reader;
  };
  void pump(std::uint32_t id, Link* link);
  bool send(std::uint8_t type, const std::vector<std::uint8_t>& payload);

  ClientConnection& connection_;
  std::mutex& send_lock_;
  pid_t server_ = -1;
  std::uint16_t port_ = 0;
  std::string token_;
  std::string name_;
  bool read_only_ = false;
  std::map<std::uint32_t, std::unique_ptr<Link>> links_;
};

// The FolderShare that stops sharing: no token, empty name.
std::vector<std::uint8_t> unshare_payload();

// The name a folder is shared under when none is given: its last path component.
std::string default_share_name(std::string folder);

// A FolderStatus for people: "ok: TEXT" or "failed: TEXT"; empty for an empty payload.
std::string folder_status_text(const std::vector<std::uint8_t>& payload);

}  // namespace tolvi::client
