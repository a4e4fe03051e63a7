#include "share/folder_forwarder.h"

#include <utility>

#include "base/little_endian.h"
#include "base/log.h"
#include "base/thread_start.h"
#include "protocol/host_messages.h"
#include "protocol/message_types.h"
#include "share/folder_names.h"

namespace tolvi {

namespace {

constexpr std::size_t kIdBytes = 4;
constexpr char kListenFailedText[] = "The shared folder couldn't be opened on this PC.";

}  // namespace

ForwardedSharedFolder::ForwardedSharedFolder(FolderLink& link,
                                             std::unique_ptr<platform::FolderMounter> mounter,
                                             std::size_t pending_limit,
                                             std::size_t connection_limit)
    : link_(link),
      mounter_(std::move(mounter)),
      pending_limit_(pending_limit),
      connection_limit_(connection_limit) {}

ForwardedSharedFolder::~ForwardedSharedFolder() { stop_shared_folder(); }

void ForwardedSharedFolder::handle_folder_share(const std::vector<std::uint8_t>& payload) {
  std::optional<FolderShareMessage> message = read_folder_share(payload);
  if (!message) return;
  {
    std::lock_guard<std::mutex> guard(mapping_lock_);
    if (mapping_stopping_) return;
    // One not yet started is replaced: only the client's latest announcement counts.
    mapping_request_ = std::move(*message);
    if (!mapping_thread_.joinable()) mapping_thread_ = start_thread([this] { mapping_loop(); });
  }
  mapping_wake_.notify_all();
}

void ForwardedSharedFolder::mapping_loop() {
  std::unique_lock<std::mutex> guard(mapping_lock_);
  for (;;) {
    mapping_busy_ = false;
    mapping_wake_.notify_all();
    mapping_wake_.wait(guard, [&] { return mapping_stopping_ || mapping_request_; });
    if (mapping_stopping_) return;
    const FolderShareMessage request = std::move(*mapping_request_);
    mapping_request_.reset();
    mapping_busy_ = true;
    guard.unlock();
    mapping_job(request);
    guard.lock();
  }
}

void ForwardedSharedFolder::wait_for_mapping() {
  std::unique_lock<std::mutex> guard(mapping_lock_);
  mapping_wake_.wait(guard,
                     [&] { return mapping_stopping_ || (!mapping_busy_ && !mapping_request_); });
}

std::size_t ForwardedSharedFolder::live_connections() {
  std::lock_guard<std::mutex> guard(lock_);
  return live_.size();
}

void ForwardedSharedFolder::mapping_job(const FolderShareMessage& request) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    refused_peers_.clear();
    over_limit_logged_ = false;
  }
  unmap_shared_folder();
  if (request.name.empty()) return;  // the client stopped sharing
  if (!start_listener()) {
    send_share_status(false, kListenFailedText);
    return;
  }
  map_shared_folder(request.read_only, request.token, request.name);
}

void ForwardedSharedFolder::map_shared_folder(bool read_only, const std::string& token,
                                              const std::string& name) {
  platform::FolderMountRequest request;
  request.port = port_;
  request.token = token;
  request.label = folder_label(name);
  request.read_only = read_only;
  const platform::FolderMountResult result = mounter_->mount(request);
  switch (result.outcome) {
    case platform::FolderMountOutcome::NoUser:
      send_share_status(false, mounter_->no_user_text());
      return;
    case platform::FolderMountOutcome::Failed:
      send_share_status(false, mounter_->failed_text());
      return;
    case platform::FolderMountOutcome::Mounted:
      break;
  }
  mapped_ = result.name;
  log_message("share: mapped drive %s%s", mapped_.c_str(), read_only ? " (read-only)" : "");
  send_share_status(true, mounted_text(request.label, result.where, read_only));
}

void ForwardedSharedFolder::unmap_shared_folder() {
  if (mapped_.empty()) return;
  mounter_->unmount();
  log_message("share: unmapped %s", mapped_.c_str());
  mapped_.clear();
}

void ForwardedSharedFolder::send_share_status(bool success, const std::string& text) {
  link_.send(code(MessageType::FolderStatus), write_folder_status(success, text));
}

bool ForwardedSharedFolder::start_listener() {
  // Under the lock: the stop, once it has set `stopping_`, owns the listener and its thread.
  std::lock_guard<std::mutex> guard(lock_);
  if (stopping_) return false;
  if (listener_.valid()) return true;  // one port for the whole session
  int error = 0;
  platform::Socket listener = platform::listen_loopback(0, kFolderListenBacklog, error);
  const std::uint16_t port = listener.valid() ? listener.local_port() : 0;
  if (!listener.valid() || port == 0) {
    if (listener.valid()) error = platform::last_net_error();
    log_message("share: listen failed (%d)", error);
    return false;
  }
  listener_ = std::move(listener);
  port_ = port;
  accept_thread_ = start_thread([this] { accept_loop(); });
  log_message("share: forwarding 127.0.0.1:%u", static_cast<unsigned>(port_));
  return true;
}

void ForwardedSharedFolder::accept_loop() {
  for (;;) {
    platform::Socket socket = platform::accept_connection(listener_);
    if (!socket.valid()) return;
    {
      // First: the stop's own wake-up connection must end the loop whatever else holds.
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;
    }
    // With the client gone nobody would answer: the local program learns it at once (the
    // mount's own clean-up at session end would otherwise wait for its time-outs).
    if (link_.closed()) continue;
    // The mount's source names the share token, and other accounts can read it: the token
    // alone must not let them in.
    std::string peer;
    if (!mounter_->allows_peer(socket, peer)) {
      // Said once for each kind of peer (an account, or a socket nobody holds any more), and
      // for a bounded number of them, so one account's flood cannot fill the log.
      bool first = false;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (refused_peers_.size() < kMaxRefusedPeersLogged) {
          first = refused_peers_.insert(peer).second;
        }
      }
      if (first) {
        log_message("share: refused a forwarded connection from %s (further ones not logged)",
                    peer.c_str());
      }
      continue;
    }
    socket.set_no_delay(true);
    auto sock = std::make_shared<Sock>();
    sock->socket = std::move(socket);
    std::uint32_t id = 0;
    bool over_limit = false;
    std::vector<std::shared_ptr<Sock>> ended;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;  // the socket closes with `sock`
      if (live_.size() >= connection_limit_) {
        over_limit = !over_limit_logged_;
        over_limit_logged_ = true;
      } else {
        id = next_id_++;
        open_.emplace(id, sock);
        live_.emplace(id, sock);
      }
      ended.swap(ended_);
    }
    for (const std::shared_ptr<Sock>& done : ended) join_pumps(*done);
    if (id == 0) {
      if (over_limit) {
        log_message("share: %zu forwarded connections are open, further ones are closed",
                    connection_limit_);
      }
      continue;
    }
    // On the main queue before the reader exists: the client hears of the connection before
    // any of its data.
    link_.send(code(MessageType::FolderOpen), write_folder_open(id));
    sock->reader = start_thread([this, id, sock] { reader(id, sock); });
    sock->writer = start_thread([this, id, sock] { writer(id, sock); });
    pump_ended(id, sock);  // this thread's share: the handles are stored
  }
}

void ForwardedSharedFolder::pump_ended(std::uint32_t id, const std::shared_ptr<Sock>& sock) {
  {
    std::lock_guard<std::mutex> guard(sock->lock);
    if (--sock->running > 0) return;
    // Both directions have ended: nothing uses the socket any more.
    sock->socket = platform::Socket();
  }
  // The last to end cannot join its own thread: it leaves the connection for the next one to
  // end (or the accept thread, or the stop) and joins those that ended before it. They have
  // passed their last locked step, so the joins return at once.
  std::vector<std::shared_ptr<Sock>> ended;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;  // the stop joins every connection it took
    live_.erase(id);
    ended.swap(ended_);
    ended_.push_back(sock);
  }
  for (const std::shared_ptr<Sock>& done : ended) join_pumps(*done);
}

void ForwardedSharedFolder::join_pumps(Sock& sock) {
  if (sock.reader.joinable()) sock.reader.join();
  if (sock.writer.joinable()) sock.writer.join();
}

void ForwardedSharedFolder::reader(std::uint32_t id, std::shared_ptr<Sock> sock) {
  for (;;) {
    // Read straight into the frame the sender seals and writes: no copy on the way.
    std::vector<std::uint8_t> frame = link_.bulk_frame(kIdBytes + kFolderReadBytes);
    std::uint8_t* const payload = frame.data() + kPlainHeaderBytes;
    store_le<std::uint32_t>(payload, id);
    const long got = sock->socket.receive_some(payload + kIdBytes, kFolderReadBytes);
    if (got <= 0) break;
    link_.wait_bulk_below(kFolderBulkWaitBytes);
    if (link_.closed()) {
      sock->socket.interrupt();
      break;
    }
    link_.send_bulk_frame(code(MessageType::FolderData), std::move(frame),
                          kIdBytes + static_cast<std::size_t>(got));
  }
  const std::vector<std::uint8_t> closing = write_folder_close(id);
  link_.send_bulk(code(MessageType::FolderClose), closing.data(), closing.size());
  {
    std::lock_guard<std::mutex> guard(lock_);
    open_.erase(id);  // later client messages for this id are ignored
  }
  {
    std::lock_guard<std::mutex> guard(sock->lock);
    sock->local_closed = true;
    sock->wake.notify_all();
  }
  pump_ended(id, sock);
}

void ForwardedSharedFolder::writer(std::uint32_t id, std::shared_ptr<Sock> sock) {
  for (;;) {
    std::vector<std::uint8_t> chunk;
    {
      std::unique_lock<std::mutex> guard(sock->lock);
      sock->wake.wait(
          guard, [&] { return !sock->pending.empty() || sock->peer_closed || sock->local_closed; });
      if (sock->pending.empty()) {
        // Everything the client sent before its FolderClose is written; the local program now
        // sees the end of the response.
        if (sock->peer_closed && !sock->local_closed) sock->socket.finish_sending();
        break;
      }
      chunk = std::move(sock->pending.front());
      sock->pending.pop_front();
      sock->pending_bytes -= chunk.size();
    }
    if (chunk.empty()) continue;
    const platform::SendPart part{chunk.data(), chunk.size()};
    sock->socket.send_all(&part, 1);  // on failure the rest of this chunk is dropped
  }
  pump_ended(id, sock);
}

void ForwardedSharedFolder::handle_folder_traffic(std::uint8_t type,
                                                  const std::vector<std::uint8_t>& payload) {
  if (payload.size() < kIdBytes) return;
  const std::uint32_t id = load_le<std::uint32_t>(payload.data());
  std::shared_ptr<Sock> sock;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = open_.find(id);
    if (it == open_.end()) return;
    sock = it->second;
  }
  std::lock_guard<std::mutex> guard(sock->lock);
  if (type == code(MessageType::FolderClose)) {
    sock->peer_closed = true;
  } else if (type == code(MessageType::FolderData)) {
    if (sock->local_closed) return;
    const std::size_t bytes = payload.size() - kIdBytes;
    if (sock->pending_bytes + bytes > pending_limit_) {
      // The local program does not read what the client sends: end the connection as if the
      // program had closed it. Its reader sees the end and tells the client.
      log_message("share: connection %u closed, %zu bytes waiting for the local program",
                  static_cast<unsigned>(id), sock->pending_bytes);
      sock->pending.clear();
      sock->pending_bytes = 0;
      sock->local_closed = true;
      sock->socket.interrupt();
    } else {
      sock->pending.emplace_back(payload.begin() + kIdBytes, payload.end());
      sock->pending_bytes += bytes;
    }
  } else {
    return;
  }
  sock->wake.notify_all();
}

void ForwardedSharedFolder::stop_shared_folder() {
  bool mounting = false;
  {
    std::lock_guard<std::mutex> guard(mapping_lock_);
    mapping_stopping_ = true;
    mapping_request_.reset();
    mounting = mapping_busy_;
  }
  mapping_wake_.notify_all();
  if (mounting) {
    // A mount in progress talks through the tunnel and, with the client gone, would wait out
    // its time-outs: the forwarding ends first, so it fails at once; then whatever it mounted
    // is removed.
    stop_forwarding();
    if (mapping_thread_.joinable()) mapping_thread_.join();
    unmap_shared_folder();
  } else {
    // Nothing is being mounted: the mount goes first, while the tunnel can still carry what
    // it writes back to a client that is still there.
    if (mapping_thread_.joinable()) mapping_thread_.join();
    unmap_shared_folder();
    stop_forwarding();
  }
}

void ForwardedSharedFolder::stop_forwarding() {
  std::vector<std::shared_ptr<Sock>> socks;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    for (auto& [id, sock] : live_) socks.push_back(std::move(sock));
    live_.clear();
    socks.insert(socks.end(), ended_.begin(), ended_.end());
    ended_.clear();
    open_.clear();
  }
  if (listener_.valid()) {
    listener_.interrupt();
    // Some socket layers do not wake a thread blocked in accept on shutdown: one connection
    // does, and the accept loop drops it because the share is stopping.
    if (accept_thread_.joinable()) platform::connect_to("127.0.0.1", port_);
  }
  if (accept_thread_.joinable()) accept_thread_.join();
  listener_ = platform::Socket();
  for (const std::shared_ptr<Sock>& sock : socks) {
    {
      std::lock_guard<std::mutex> guard(sock->lock);
      sock->socket.interrupt();
      sock->local_closed = true;
      sock->wake.notify_all();
    }
    join_pumps(*sock);
    std::lock_guard<std::mutex> guard(sock->lock);
    sock->socket = platform::Socket();
  }
}

}  // namespace tolvi
