#include "folder_relay.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "base/little_endian.h"
#include "base/percent_encoding.h"
#include "platform/random.h"
#include "protocol/host_messages.h"
#include "protocol/message_types.h"

extern char** environ;

namespace tolvi::client {

namespace {

constexpr std::size_t kTokenBytes = 16;
constexpr std::size_t kIdBytes = 4;
constexpr std::size_t kRelayReadBytes = 32768;
constexpr int kServerStartTries = 100;
constexpr auto kServerStartPause = std::chrono::milliseconds(100);

std::string hex(const std::uint8_t* bytes, std::size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out;
}

void append_field(std::vector<std::uint8_t>& out, const std::string& text) {
  append_le<std::uint16_t>(out, static_cast<std::uint16_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

std::vector<std::uint8_t> unshare_payload() {
  std::vector<std::uint8_t> out{0};
  append_field(out, "");
  append_field(out, "");
  return out;
}

std::string default_share_name(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

std::string folder_status_text(const std::vector<std::uint8_t>& payload) {
  if (payload.empty()) return "";
  return std::string(payload[0] ? "ok: " : "failed: ") +
         std::string(payload.begin() + 1, payload.end());
}

FolderRelay::~FolderRelay() {
  for (auto& [id, link] : links_) link->socket.interrupt();
  for (auto& [id, link] : links_) {
    if (link->reader.joinable()) link->reader.join();
  }
  if (server_ > 0) {
    kill(server_, SIGTERM);
    waitpid(server_, nullptr, 0);
  }
}

bool FolderRelay::start(const std::string& folder, const std::string& name, bool read_only,
                        std::string& error) {
  std::uint8_t token[kTokenBytes];
  if (!random_bytes(token, sizeof token)) {
    error = "no random bytes for the share token";
    return false;
  }
  token_ = hex(token, sizeof token);
  name_ = name;
  read_only_ = read_only;
  // A free loopback port for the server (taken back from the system just before rclone binds it).
  int listen_error = 0;
  {
    platform::Socket probe = platform::listen_loopback(0, 1, listen_error);
    if (!probe.valid()) {
      error = "no free loopback port";
      return false;
    }
    port_ = probe.local_port();
  }
  // rclone reads the base path decoded: the name as it is, under the token.
  std::vector<std::string> args = {"rclone",           "serve",
                                   "webdav",           folder,
                                   "--addr",           "127.0.0.1:" + std::to_string(port_),
                                   "--baseurl",        "/" + token_ + "/" + name,
                                   "--dir-cache-time", "1s",
                                   "--poll-interval",  "0",
                                   "--log-level",      "ERROR",
                                   "--config",         "/dev/null"};
  if (read_only) args.push_back("--read-only");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&server_, "rclone", nullptr, nullptr, argv.data(), environ) != 0) {
    server_ = -1;
    error = "cannot start rclone (Debian package rclone)";
    return false;
  }
  for (int i = 0; i < kServerStartTries; ++i) {
    if (platform::connect_to("127.0.0.1", port_).valid()) return true;
    int status = 0;
    if (waitpid(server_, &status, WNOHANG) == server_) {
      server_ = -1;
      error = "rclone serve webdav ended at start";
      return false;
    }
    std::this_thread::sleep_for(kServerStartPause);
  }
  error = "rclone serve webdav does not answer";
  return false;
}

std::vector<std::uint8_t> FolderRelay::share_payload() const {
  std::vector<std::uint8_t> out{static_cast<std::uint8_t>(read_only_ ? 1 : 0)};
  append_field(out, token_);
  append_field(out, percent_encode(name_));
  return out;
}

bool FolderRelay::send(std::uint8_t type, const std::vector<std::uint8_t>& payload) {
  std::lock_guard<std::mutex> guard(send_lock_);
  return connection_.send(type, payload);
}

bool FolderRelay::handle(std::uint8_t type, const std::uint8_t* payload, std::size_t length) {
  const bool open = type == code(MessageType::FolderOpen);
  const bool data = type == code(MessageType::FolderData);
  const bool close = type == code(MessageType::FolderClose);
  if (!open && !data && !close) return false;
  if (length < kIdBytes) return true;
  const std::uint32_t id = load_le<std::uint32_t>(payload);
  if (open) {
    auto link = std::make_unique<Link>();
    link->socket = platform::connect_to("127.0.0.1", port_);
    if (!link->socket.valid()) {
      send(code(MessageType::FolderClose), write_folder_close(id));
      return true;
    }
    link->socket.set_no_delay(true);
    Link* raw = link.get();
    links_[id] = std::move(link);
    raw->reader = std::thread([this, id, raw] { pump(id, raw); });
    return true;
  }
  const auto it = links_.find(id);
  if (it == links_.end()) return true;
  if (data) {
    // The data for this connection already whole behind this message goes with it in one
    // gathered write: one write (and one wake-up of the server) per 32 KiB costs more.
    platform::SendPart parts[platform::kMaxSendParts];
    std::size_t count = 0;
    if (length > kIdBytes) parts[count++] = {payload + kIdBytes, length - kIdBytes};
    count += connection_.receive_following(type, payload, kIdBytes, parts + count,
                                           platform::kMaxSendParts - count);
    if (count) it->second->socket.send_all(parts, count);
  } else {
    it->second->socket.finish_sending();
  }
  return true;
}

// Server -> host for one connection, then FolderClose.
void FolderRelay::pump(std::uint32_t id, Link* link) {
  std::vector<std::uint8_t> buffer(kIdBytes + kRelayReadBytes);
  store_le<std::uint32_t>(buffer.data(), id);
  for (;;) {
    const long got = link->socket.receive_some(buffer.data() + kIdBytes, kRelayReadBytes);
    if (got <= 0) break;
    // Straight from the read buffer: the connection copies it into its frame once.
    std::lock_guard<std::mutex> guard(send_lock_);
    if (!connection_.send(code(MessageType::FolderData), buffer.data(),
                          kIdBytes + static_cast<std::size_t>(got))) {
      return;
    }
  }
  send(code(MessageType::FolderClose), write_folder_close(id));
}

}  // namespace tolvi::client
