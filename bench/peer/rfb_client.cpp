// A VNC client that only counts: connects to an RFB 3.8 server on this machine without a
// password, asks for Tight (JPEG quality 8, compression level 2, as a TigerVNC viewer on a fast
// link does) with ZRLE and Raw besides, and asks for the next update as soon as one has arrived.
// Nothing is decoded. After WARM seconds it counts SECONDS of updates, bytes and the time from
// each request to its complete update, prints them and leaves TAIL seconds later.
// Usage: peer_rfb_client PORT WARM SECONDS TAIL
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "peer/rfb_messages.h"
#include "platform/linux/unique_fd.h"

namespace {

using tolvi::bench::RfbStatus;
using tolvi::bench::RfbStep;
using tolvi::platform::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr int kJpegQuality = 8;
constexpr int kCompressionLevel = 2;
constexpr std::uint8_t kSecurityNone = 1;
constexpr double kConnectSeconds = 10;
constexpr int kPollMs = 50;

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

class Connection {
 public:
  bool open(int port) {
    const Clock::time_point start = Clock::now();
    while (seconds_between(start, Clock::now()) < kConnectSeconds) {
      UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!fd.valid()) return false;
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<std::uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const int on = 1;
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fd_ = std::move(fd);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  bool send(const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Appends what arrives within the poll interval; false when the server closed or failed.
  bool receive() {
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) return true;
    std::array<std::uint8_t, 1 << 16> chunk{};
    const ssize_t n = recv(fd_.get(), chunk.data(), chunk.size(), 0);
    if (n <= 0) return false;
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.begin() + n);
    received_ += static_cast<std::uint64_t>(n);
    return true;
  }

  // Parses the front of the buffer with `parse` until it is complete (or fails), reading more
  // as needed, for at most `limit`.
  template <typename Parse>
  RfbStep next(Parse&& parse, Clock::time_point limit) {
    for (;;) {
      RfbStep step = parse(std::span<const std::uint8_t>(buffer_));
      if (step.status == RfbStatus::kDone) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(step.consumed));
        return step;
      }
      if (step.status == RfbStatus::kError) return step;
      if (Clock::now() >= limit) return {RfbStatus::kNeedMore, 0, "time is up"};
      if (!receive()) return {RfbStatus::kError, 0, "the server closed the connection"};
    }
  }

  std::uint64_t received() const { return received_; }
  std::vector<std::uint8_t>& buffer() { return buffer_; }

 private:
  UniqueFd fd_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t received_ = 0;
};

int fail(const std::string& what) {
  std::printf("rfb client: %s\n", what.c_str());
  return 1;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: peer_rfb_client PORT WARM SECONDS TAIL\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const double warm = std::atof(argv[2]);
  const double seconds = std::atof(argv[3]);
  const double tail = std::atof(argv[4]);
  Connection c;
  if (!c.open(port)) return fail("cannot connect to port " + std::to_string(port));
  const Clock::time_point start = Clock::now();
  const Clock::time_point handshake_limit = start + std::chrono::seconds(10);

  // Version: the server's 12 bytes, then ours.
  RfbStep step = c.next(
      [](std::span<const std::uint8_t> in) {
        if (in.size() < 12) return RfbStep{};
        return RfbStep{RfbStatus::kDone, 12, {}};
      },
      handshake_limit);
  if (step.status != RfbStatus::kDone) return fail("no version: " + step.error);
  const std::string version = "RFB 003.008\n";
  if (!c.send(std::vector<std::uint8_t>(version.begin(), version.end()))) return fail("send");

  tolvi::bench::RfbSecurityTypes types;
  step = c.next([&](auto in) { return tolvi::bench::parse_security_types(in, types); },
                handshake_limit);
  if (step.status != RfbStatus::kDone) return fail("no security types: " + step.error);
  if (std::find(types.types.begin(), types.types.end(), kSecurityNone) == types.types.end()) {
    return fail("the server does not offer security type None" +
                (types.refusal.empty() ? "" : ": " + types.refusal));
  }
  if (!c.send({kSecurityNone})) return fail("send");
  tolvi::bench::RfbSecurityResult result;
  step = c.next([&](auto in) { return tolvi::bench::parse_security_result(in, result); },
                handshake_limit);
  if (step.status != RfbStatus::kDone || result.code != 0) {
    return fail("security failed: " + step.error + result.reason);
  }
  if (!c.send({1})) return fail("send");  // ClientInit: shared
  tolvi::bench::RfbServerInit init;
  step =
      c.next([&](auto in) { return tolvi::bench::parse_server_init(in, init); }, handshake_limit);
  if (step.status != RfbStatus::kDone) return fail("no ServerInit: " + step.error);
  std::printf("rfb: desktop %ux%u \"%s\"\n", static_cast<unsigned>(init.width),
              static_cast<unsigned>(init.height), init.name.c_str());

  const std::int32_t encodings[] = {
      tolvi::bench::kRfbTight,
      tolvi::bench::kRfbZrle,
      tolvi::bench::kRfbRaw,
      tolvi::bench::kRfbJpegQuality0 + kJpegQuality,
      tolvi::bench::kRfbCompressionLevel0 + kCompressionLevel,
      tolvi::bench::kRfbLastRect,
  };
  if (!c.send(tolvi::bench::rfb_set_pixel_format_32()) ||
      !c.send(tolvi::bench::rfb_set_encodings(encodings)) ||
      !c.send(tolvi::bench::rfb_update_request(false, init.width, init.height))) {
    return fail("send");
  }

  // Updates: each answered with the next incremental request at once.
  Clock::time_point requested = Clock::now();
  const Clock::time_point window_start =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warm));
  const Clock::time_point window_end = window_start + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds));
  const Clock::time_point end =
      window_end + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tail));
  std::uint64_t updates = 0, rectangles = 0, bytes_at_start = 0, bytes_at_end = 0;
  bool started = false, ended = false;
  std::vector<double> latencies;
  while (Clock::now() < end) {
    tolvi::bench::RfbServerMessage message;
    step = c.next([&](auto in) { return tolvi::bench::parse_server_message(in, message); }, end);
    const Clock::time_point now = Clock::now();
    if (!started && now >= window_start) {
      started = true;
      bytes_at_start = c.received() - c.buffer().size();
    }
    if (!ended && now >= window_end) {
      ended = true;
      bytes_at_end = c.received() - c.buffer().size();
    }
    if (step.status == RfbStatus::kError) return fail(step.error);
    if (step.status != RfbStatus::kDone) break;
    if (message.type != 0) continue;
    if (message.resized) {
      init.width = message.width;
      init.height = message.height;
    }
    if (started && !ended) {
      ++updates;
      rectangles += message.rectangles;
      latencies.push_back(seconds_between(requested, now) * 1000);
    }
    requested = Clock::now();
    if (!c.send(tolvi::bench::rfb_update_request(true, init.width, init.height))) {
      return fail("send");
    }
  }
  if (!ended) bytes_at_end = c.received() - c.buffer().size();
  std::printf(
      "stats: %llu updates in %.1f s, %.1f updates/s, %.0f bytes/s, %.1f rectangles/update, "
      "latency p50 %.1f ms p99 %.1f ms (request to complete update)\n",
      static_cast<unsigned long long>(updates), seconds, static_cast<double>(updates) / seconds,
      static_cast<double>(bytes_at_end - bytes_at_start) / seconds,
      updates ? static_cast<double>(rectangles) / static_cast<double>(updates) : 0.0,
      percentile(latencies, 0.5), percentile(latencies, 0.99));
  return 0;
}
