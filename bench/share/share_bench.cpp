// Shared-folder figures, each next to a baseline measured in the same run. Reports, asserts
// nothing.
//   tunnel throughput: 1 GiB from a local program through the forwarder, a sealed session and
//   the client's relay into a local sink, against 1 GiB over raw loopback TCP
//   video latency: queue-to-receipt p50/p99 of 1080p60-sized frames on the main queue, alone
//   and while a 1 GiB tunnel transfer runs on the bulk queue
// `bench_share throughput` measures the throughput alone (for a profiler).
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/little_endian.h"
#include "client_connection.h"
#include "core/connection.h"
#include "platform/net.h"
#include "protocol/message_types.h"
#include "share/folder_forwarder.h"

namespace {

using namespace tolvi;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint64_t kTransferBytes = 1ull << 30;
constexpr std::size_t kWriteBytes = 256 * 1024;
// 1080p60 at about 20 Mbit/s: 42 KB a frame, one every 16.7 ms.
constexpr std::size_t kFrameBytes = 42 * 1024;
constexpr auto kFrameInterval = std::chrono::microseconds(16667);
constexpr int kFrames = 300;
constexpr std::uint8_t kVideoType = 0x21;

double seconds_since(SteadyClock::time_point t) {
  return std::chrono::duration<double>(SteadyClock::now() - t).count();
}

// CPU time of the whole process (every thread), user and system apart.
struct CpuTime {
  double user = 0, system = 0;
  static CpuTime now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
            usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6};
  }
  CpuTime operator-(const CpuTime& o) const { return {user - o.user, system - o.system}; }
};

// One transfer: wall time, and CPU seconds per GiB moved.
struct Transfer {
  double seconds = 0;
  CpuTime cpu;
};

void print_transfer(const char* what, const Transfer& t) {
  const double gib = static_cast<double>(kTransferBytes) / (1u << 30);
  std::printf("  %-34s %7.1f MiB/s   CPU %.2f s/GiB (user %.2f, system %.2f)\n", what,
              (kTransferBytes >> 20) / t.seconds, (t.cpu.user + t.cpu.system) / gib,
              t.cpu.user / gib, t.cpu.system / gib);
}

class ConnectionLink : public FolderLink {
 public:
  explicit ConnectionLink(Connection& c) : c_(c) {}
  void send(std::uint8_t type, const std::vector<std::uint8_t>& p) override { c_.send(type, p); }
  void send_bulk(std::uint8_t type, const std::uint8_t* data, std::size_t length) override {
    c_.send_bulk(type, data, length);
  }
  std::vector<std::uint8_t> bulk_frame(std::size_t payload_bytes) override {
    return c_.bulk_frame(payload_bytes);
  }
  void send_bulk_frame(std::uint8_t type, std::vector<std::uint8_t> frame,
                       std::size_t payload_length) override {
    c_.send_bulk_frame(type, std::move(frame), payload_length);
  }
  void wait_bulk_below(std::uint64_t limit) override { c_.wait_bulk_below(limit); }
  bool closed() const override { return c_.closed(); }

 private:
  Connection& c_;
};

class NoMount : public platform::FolderMounter {
 public:
  platform::FolderMountResult mount(const platform::FolderMountRequest&) override {
    return {platform::FolderMountOutcome::Mounted, "-", "-"};
  }
  void unmount() override {}
  bool allows_peer(const platform::Socket&, std::string&) const override { return true; }
  std::string no_user_text() const override { return {}; }
  std::string failed_text() const override { return {}; }
};

// Writes `bytes` into a fresh connection to `port` and closes it.
void local_program(std::uint16_t port, std::uint64_t bytes) {
  platform::Socket s = platform::connect_to("127.0.0.1", port);
  std::vector<std::uint8_t> block(kWriteBytes, 0x5a);
  for (std::uint64_t sent = 0; sent < bytes;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - sent));
    const platform::SendPart part{block.data(), n};
    if (!s.send_all(&part, 1)) return;
    sent += n;
  }
}

// Reads everything from a socket; the byte count.
std::uint64_t drain(platform::Socket& s) {
  std::vector<std::uint8_t> buffer(kWriteBytes);
  std::uint64_t total = 0;
  for (;;) {
    const long got = s.receive_some(buffer.data(), buffer.size());
    if (got <= 0) return total;
    total += static_cast<std::uint64_t>(got);
  }
}

Transfer raw_loopback() {
  int error = 0;
  platform::Socket listener = platform::listen_loopback(0, 1, error);
  const std::uint16_t port = listener.local_port();
  const CpuTime cpu = CpuTime::now();
  const SteadyClock::time_point start = SteadyClock::now();
  std::thread writer([&] { local_program(port, kTransferBytes); });
  platform::Socket in = platform::accept_connection(listener);
  drain(in);
  writer.join();
  return {seconds_since(start), CpuTime::now() - cpu};
}

// A sealed host connection with the forwarder on one side, the client's relay on the other:
// FolderData goes into a sink socket whose reader counts the bytes; VideoFrame-sized messages
// carry their queueing time and their latency is recorded.
struct Rig {
  platform::Socket host_end, client_end;
  std::unique_ptr<Connection> connection;
  std::unique_ptr<client::ClientConnection> client;
  std::unique_ptr<ConnectionLink> link;
  std::unique_ptr<ForwardedSharedFolder> folder;
  platform::Socket sink_listener;
  std::atomic<std::uint64_t> sunk{0};
  std::atomic<bool> transfer_done{false};
  std::vector<double> latencies_ms;
  std::mutex latency_lock;
  std::thread client_thread, sink_thread;

  Rig() {
    platform::loopback_pair(host_end, client_end);
    host_end.set_no_delay(true);
    client_end.set_no_delay(true);
    std::uint8_t h2c[RecordKey::kKeyBytes], c2h[RecordKey::kKeyBytes];
    std::memset(h2c, 1, sizeof h2c);
    std::memset(c2h, 2, sizeof c2h);
    connection = std::make_unique<Connection>(std::move(host_end));
    connection->install_keys(h2c, c2h);
    client = std::make_unique<client::ClientConnection>(std::move(client_end));
    client->install_keys(c2h, h2c);
    link = std::make_unique<ConnectionLink>(*connection);
    folder = std::make_unique<ForwardedSharedFolder>(*link, std::make_unique<NoMount>());
    folder->start_listener();
    int error = 0;
    sink_listener = platform::listen_loopback(0, 1, error);
    client_thread = std::thread([this] { client_loop(); });
  }
  ~Rig() {
    folder->stop_shared_folder();
    connection->close();
    if (client_thread.joinable()) client_thread.join();
    if (sink_thread.joinable()) sink_thread.join();
  }
  void client_loop() {
    std::map<std::uint32_t, platform::Socket> sinks;
    std::uint8_t type = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t length = 0;
    // As the client's folder relay does: FolderData goes from the receive buffer to the socket,
    // with the data for the same connection already received behind it.
    while (client->receive_view(type, payload, length)) {
      if (type == kVideoType) {
        std::uint64_t queued = load_le<std::uint64_t>(payload);
        std::lock_guard<std::mutex> guard(latency_lock);
        latencies_ms.push_back((monotonic_us() - queued) / 1000.0);
      } else if (type == code(MessageType::FolderOpen)) {
        const std::uint32_t id = load_le<std::uint32_t>(payload);
        sinks[id] = platform::connect_to("127.0.0.1", sink_listener.local_port());
        sink_thread = std::thread([this] {
          platform::Socket in = platform::accept_connection(sink_listener);
          sunk = drain(in);
          transfer_done = true;
        });
      } else if (type == code(MessageType::FolderData)) {
        platform::SendPart parts[platform::kMaxSendParts];
        parts[0] = {payload + 4, length - 4};
        const std::size_t count =
            1 + client->receive_following(type, payload, 4, parts + 1, std::size(parts) - 1);
        sinks[load_le<std::uint32_t>(payload)].send_all(parts, count);
      } else if (type == code(MessageType::FolderClose)) {
        sinks[load_le<std::uint32_t>(payload)].finish_sending();
      }
    }
  }
};

void video(Rig& rig, const std::atomic<bool>* keep_going) {
  std::vector<std::uint8_t> frame(kFrameBytes, 0x33);
  SteadyClock::time_point next = SteadyClock::now();
  for (int i = 0; i < kFrames || (keep_going && *keep_going); ++i) {
    std::this_thread::sleep_until(next);
    next += kFrameInterval;
    store_le<std::uint64_t>(frame.data(), monotonic_us());
    rig.connection->send(kVideoType, frame);
    if (!keep_going && i + 1 >= kFrames) break;
  }
}

// Prints the figures; the p99 (0 without samples).
double report_latency(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) return 0;
  const double p99 = ms[ms.size() * 99 / 100];
  std::printf("  %-34s p50 %7.2f ms   p99 %7.2f ms   (%zu frames)\n", what, ms[ms.size() / 2],
              p99, ms.size());
  return p99;
}

constexpr double kThroughputGoal = 0.5;  // of raw loopback TCP, at least
constexpr double kLatencyGoalMs = 10;    // added to the idle p99, at most

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
  const bool throughput_only = argc > 1 && std::strcmp(argv[1], "throughput") == 0;
  platform::net_startup();
  std::printf("shared folder tunnel, %llu MiB\n",
              static_cast<unsigned long long>(kTransferBytes >> 20));
  const Transfer raw = raw_loopback();
  print_transfer("raw loopback TCP", raw);

  {
    Rig rig;
    const CpuTime cpu = CpuTime::now();
    const SteadyClock::time_point start = SteadyClock::now();
    local_program(rig.folder->port(), kTransferBytes);
    while (!rig.transfer_done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Transfer tunnel{seconds_since(start), CpuTime::now() - cpu};
    print_transfer("forwarded (sealed session, relay)", tunnel);
    std::printf("  tunnel %.2fx raw (%llu bytes arrived)\n", raw.seconds / tunnel.seconds,
                static_cast<unsigned long long>(rig.sunk.load()));
    std::printf("  goal: tunnel >= %.2fx raw: %s\n", kThroughputGoal,
                verdict(raw.seconds / tunnel.seconds >= kThroughputGoal));
  }
  if (throughput_only) return 0;

  std::printf("video on the main queue, %zu-byte frames at 60 fps\n", kFrameBytes);
  double idle_p99 = 0;
  {
    Rig rig;
    video(rig, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> guard(rig.latency_lock);
    idle_p99 = report_latency("alone", rig.latencies_ms);
  }
  {
    Rig rig;
    std::atomic<bool> transferring{true};
    std::thread program([&] {
      local_program(rig.folder->port(), kTransferBytes);
      while (!rig.transfer_done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      transferring = false;
    });
    video(rig, &transferring);
    program.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> guard(rig.latency_lock);
    const double busy_p99 = report_latency("while 1 GiB goes through the tunnel", rig.latencies_ms);
    std::printf("  goal: p99 during the transfer <= idle p99 + %.0f ms (%.2f ms): %s\n",
                kLatencyGoalMs, idle_p99 + kLatencyGoalMs,
                verdict(busy_p99 <= idle_p99 + kLatencyGoalMs));
  }
  return 0;
}
