#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/folder_mount.h"
#include "platform/net.h"
#include "protocol/client_messages.h"
#include "protocol/limits.h"
#include "share/folder_link.h"
#include "share/folder_names.h"
#include "share/shared_folder.h"

namespace tolvi {

// Largest read from a forwarded local connection, and so the most bytes of one FolderData.
constexpr std::size_t kFolderReadBytes = 32768;
// The reader waits until the bulk queue holds at most this much before each FolderData: four
// times what the session socket keeps unsent, so the sender has frames ready while the reader
// waits for its next bytes (one socket's worth left both idle in turn: 8 % less throughput on
// loopback). Video never waits for this queue (the main queue goes first and the socket keeps
// little unsent); it bounds a session's queued folder data to 512 KiB.
constexpr std::uint64_t kFolderBulkWaitBytes = 4 * static_cast<std::uint64_t>(kSessionUnsentBytes);
// Listen backlog of the forwarding port.
constexpr int kFolderListenBacklog = 16;
// Client data waiting for one slow local program; beyond it the connection is closed.
constexpr std::size_t kFolderPendingLimit = 16u << 20;
// Forwarded connections alive at once in one session; a connection beyond it is closed at
// accept. Each costs two threads and a descriptor here and a relay on the client.
constexpr std::size_t kFolderConnectionLimit = 64;

// The session's shared folder: a loopback port whose every connection is tunnelled to the
// client's WebDAV server (FolderOpen, FolderData, FolderClose), and the mount of that server for
// the person at this computer (FolderShare, FolderStatus).
class ForwardedSharedFolder : public SharedFolder {
 public:
  ForwardedSharedFolder(FolderLink& link, std::unique_ptr<platform::FolderMounter> mounter,
                        std::size_t pending_limit = kFolderPendingLimit,
                        std::size_t connection_limit = kFolderConnectionLimit);
  ~ForwardedSharedFolder() override;
  ForwardedSharedFolder(const ForwardedSharedFolder&) = delete;
  ForwardedSharedFolder& operator=(const ForwardedSharedFolder&) = delete;

  // Receive thread. A FolderShare only hands its request to the mapping thread, which takes the
  // latest one when it is free: a mount waits for answers only this thread delivers.
  void handle_folder_share(const std::vector<std::uint8_t>& payload) override;
  void handle_folder_traffic(std::uint8_t type, const std::vector<std::uint8_t>& payload) override;
  // Client thread, at session end (and the destructor): every thread joined, every socket closed.
  void stop_shared_folder() override;

  // Opens the forwarding port once per session; true when it is listening.
  bool start_listener();
  std::uint16_t port() const { return port_; }
  // Waits until the mapping thread has nothing to do (tests).
  void wait_for_mapping();
  // Forwarded connections with a pump still running (tests).
  std::size_t live_connections();

 private:
  struct Sock {
    platform::Socket socket;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::vector<std::uint8_t>> pending;
    std::size_t pending_bytes = 0;
    bool peer_closed = false;
    bool local_closed = false;
    // The reader, the writer and the accept thread until it has stored their handles; the
    // last of them to end hands the connection on to be joined.
    int running = 3;
    std::thread reader;
    std::thread writer;
  };

  void mapping_loop();
  void mapping_job(const FolderShareMessage& request);
  void map_shared_folder(bool read_only, const std::string& token, const std::string& name);
  void unmap_shared_folder();
  void send_share_status(bool success, const std::string& text);
  void stop_forwarding();
  void accept_loop();
  void reader(std::uint32_t id, std::shared_ptr<Sock> sock);
  void writer(std::uint32_t id, std::shared_ptr<Sock> sock);
  void pump_ended(std::uint32_t id, const std::shared_ptr<Sock>& sock);
  static void join_pumps(Sock& sock);

  FolderLink& link_;
  std::unique_ptr<platform::FolderMounter> mounter_;
  const std::size_t pending_limit_;
  const std::size_t connection_limit_;

  std::mutex lock_;  // open_, live_, ended_, next_id_, stopping_, the *_logged_ flags
  // Connections whose reader still runs: client messages reach them.
  std::map<std::uint32_t, std::shared_ptr<Sock>> open_;
  // Connections with a pump still running, by id (so in acceptance order); they count against
  // the limit.
  std::map<std::uint32_t, std::shared_ptr<Sock>> live_;
  // Connections whose pumps have both ended and whose socket is closed, waiting for their
  // threads to be joined by the next connection that ends or is accepted, or by the stop.
  std::vector<std::shared_ptr<Sock>> ended_;
  std::uint32_t next_id_ = 1;
  bool stopping_ = false;
  // Refused connections are logged once per share (a misbehaving program would flood the log).
  // The peers whose refusal has been logged (at most kMaxRefusedPeersLogged).
  static constexpr std::size_t kMaxRefusedPeersLogged = 8;
  std::set<std::string> refused_peers_;
  bool over_limit_logged_ = false;

  platform::Socket listener_;
  std::uint16_t port_ = 0;
  std::thread accept_thread_;

  // Lock order: mapping_lock_ is never held together with lock_ or a connection's lock.
  std::mutex mapping_lock_;  // mapping_request_, mapping_busy_, mapping_stopping_
  std::condition_variable mapping_wake_;
  std::optional<FolderShareMessage> mapping_request_;  // the latest not yet started
  bool mapping_busy_ = false;
  bool mapping_stopping_ = false;
  std::thread mapping_thread_;
  // The current mount's name ("Z:", a mount point); empty when nothing is mounted. Touched by
  // the mapping thread, and by the client thread only after that thread was joined.
  std::string mapped_;
};

}  // namespace tolvi
