// What unauthenticated and misbehaving peers cost the host, next to what a good client sees.
// Reports, asserts nothing; every attack is bounded in count and time and stays on loopback.
//   a good client's login time while 64 silent or trickling connections hold handshakes open
//   resident memory while 16 peers each send a 16 MiB frame before authenticating
//   a good client's login after 6 wrong passwords from its own address, and from another one
//   log bytes per second under a flood of connections that fail the handshake
//   memory queued for a peer that sends Pings and never reads the Pongs
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "core/connection.h"
#include "core/host_server.h"
#include "fakes/fake_host_environment.h"
#include "protocol/message_types.h"

namespace {

using namespace tolvi;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

double rss_mib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1048576.0);
}

struct Server {
  std::shared_ptr<FakeHostEnvironment> env = std::make_shared<FakeHostEnvironment>();
  std::unique_ptr<HostServer> server;
  std::thread loop;
  Server() {
    HostServerOptions options;
    options.port = 0;
    options.environment = env;
    options.self_test = [] { return true; };
    server = std::make_unique<HostServer>(std::move(options));
    if (!server->start()) std::exit(1);
    loop = std::thread([this] { server->accept_loop(); });
  }
  ~Server() {
    server->stop();
    loop.join();
  }
  std::uint16_t port() const { return server->port(); }
};

std::unique_ptr<client::ClientConnection> open(const Server& host, const char* address) {
  platform::Socket s = platform::connect_to(address, host.port());
  if (!s.valid()) return nullptr;
  auto c = std::make_unique<client::ClientConnection>(std::move(s));
  c->set_receive_timeout(20s);
  return c;
}

// Seconds until a good client is authenticated, or -1 when it was not within its 20 s.
double login_seconds(const Server& host, const char* address, const std::string& password) {
  const Clock::time_point start = Clock::now();
  auto c = open(host, address);
  if (!c) return -1;
  if (client::client_handshake(*c, password) != client::HandshakeResult::Authenticated) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void print_login(const char* what, double seconds) {
  if (seconds < 0) {
    std::printf("%s: not authenticated\n", what);
  } else {
    std::printf("%s: authenticated after %.3f s\n", what, seconds);
  }
}

// 64 connections that never answer the hello, or that announce a 64 MiB KeyExchange and send
// one byte of it every second.
void stallers() {
  for (bool trickle : {false, true}) {
    Server host;
    std::vector<std::unique_ptr<client::ClientConnection>> held;
    for (int i = 0; i < 64; ++i) {
      held.push_back(open(host, "127.0.0.1"));
      if (trickle && held.back()) {
        std::vector<std::uint8_t> header{code(MessageType::KeyExchange)};
        put_u32(header, 0x4000000);
        held.back()->send_raw(header.data(), header.size());
      }
    }
    std::atomic<bool> stop{false};
    std::thread trickler([&] {
      while (trickle && !stop.load()) {
        for (auto& c : held) {
          if (c) c->send_raw("x", 1);
        }
        std::this_thread::sleep_for(1s);
      }
    });
    std::this_thread::sleep_for(200ms);
    char what[96];
    std::snprintf(what, sizeof what, "good client beside 64 %s connections",
                  trickle ? "trickling" : "silent");
    print_login(what, login_seconds(host, "127.0.0.1", host.env->password));
    stop.store(true);
    trickler.join();
  }
}

// 16 peers each send a 16 MiB KeyExchange before authenticating.
void big_frames() {
  constexpr int kPeers = 16;
  constexpr std::size_t kFrameBytes = 16u << 20;
  Server host;
  // One frame for every peer, made before the baseline: the figures are the host's.
  std::vector<std::uint8_t> frame{code(MessageType::KeyExchange)};
  put_u32(frame, kFrameBytes);
  frame.resize(5 + kFrameBytes, 0x55);
  std::this_thread::sleep_for(100ms);
  malloc_trim(0);
  const double before = rss_mib();
  double peak = before;
  std::vector<std::thread> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.emplace_back([&] {
      auto c = open(host, "127.0.0.1");
      if (!c) return;
      c->set_receive_timeout(2s);
      c->send_raw(frame.data(), frame.size());
      std::uint8_t type;
      std::vector<std::uint8_t> payload;
      while (c->receive(type, payload)) {
      }
    });
  }
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done.load()) {
      peak = std::max(peak, rss_mib());
      std::this_thread::sleep_for(10ms);
    }
  });
  for (auto& t : peers) t.join();
  std::this_thread::sleep_for(300ms);
  done.store(true);
  sampler.join();
  malloc_trim(0);
  std::printf(
      "%d peers sending a %zu MiB frame before authenticating: resident peak %+.1f MiB, "
      "afterwards %+.1f MiB\n",
      kPeers, kFrameBytes >> 20, peak - before, rss_mib() - before);
}

void guessing() {
  Server host;
  for (int i = 0; i < 6; ++i) {
    auto c = open(host, "127.0.0.1");
    if (c) client::client_handshake(*c, "wrong guess");
  }
  std::this_thread::sleep_for(300ms);
  print_login("after 6 wrong passwords, the right one from the same address",
              login_seconds(host, "127.0.0.1", host.env->password));
  print_login("after 6 wrong passwords, the right one from another address (::1)",
              login_seconds(host, "::1", host.env->password));
  // 64 guesses at once from one address: how many are answered within 2 s.
  std::atomic<int> answered{0};
  std::vector<std::thread> guessers;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 64; ++i) {
    guessers.emplace_back([&] {
      auto c = open(host, "127.0.0.1");
      if (!c) return;
      c->set_receive_timeout(2s);
      if (client::client_handshake(*c, "another guess") == client::HandshakeResult::WrongPassword &&
          Clock::now() - start < 2s) {
        answered.fetch_add(1);
      }
    });
  }
  for (auto& t : guessers) t.join();
  std::printf("64 concurrent wrong passwords from one address: %d answered within 2 s\n",
              answered.load());
}

// Connections that send a frame that is not KeyExchange: each fails the handshake at once.
void log_flood(const std::filesystem::path& log_path) {
  Server host;
  std::this_thread::sleep_for(100ms);
  std::fflush(stderr);
  const auto before = std::filesystem::file_size(log_path);
  constexpr double kSeconds = 2;
  const Clock::time_point start = Clock::now();
  int connections = 0;
  while (Clock::now() - start < std::chrono::duration<double>(kSeconds)) {
    auto c = open(host, "127.0.0.1");
    if (!c) continue;
    ++connections;
    const std::uint8_t wrong[5] = {code(MessageType::Ping), 0, 0, 0, 0};
    c->send_raw(wrong, sizeof wrong);
    c->set_receive_timeout(1s);
    std::uint8_t type;
    std::vector<std::uint8_t> payload;
    while (c->receive(type, payload)) {
    }
  }
  std::this_thread::sleep_for(200ms);
  std::fflush(stderr);
  const double bytes = std::filesystem::file_size(log_path) - before;
  std::printf("flood of failing connections: %.0f per second, log %.0f bytes per second\n",
              connections / kSeconds, bytes / kSeconds);
}

// A sealed connection whose peer never reads: 400 Pongs of 1 MiB queued.
void unread_pongs() {
  platform::Socket peer, host_end;
  platform::loopback_pair(peer, host_end);
  malloc_trim(0);
  const double before = rss_mib();
  {
    Connection connection(std::move(host_end));
    const std::uint8_t h2c[16] = {1}, c2h[16] = {2};
    connection.install_keys(h2c, c2h);
    std::vector<std::uint8_t> payload(1u << 20, 0x42);
    for (int i = 0; i < 400 && !connection.closed(); ++i) {
      connection.send(code(MessageType::Pong), payload);
    }
    std::this_thread::sleep_for(200ms);
    std::printf(
        "peer never reading, 400 x 1 MiB Pongs queued: %+.0f MiB resident, backlog %llu "
        "MiB, connection %s\n",
        rss_mib() - before, static_cast<unsigned long long>(connection.main_backlog() >> 20),
        connection.closed() ? "closed" : "open");
  }
}

}  // namespace

int main() {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("tolvi-preauth-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
  platform::net_startup();
  const std::filesystem::path log_path = home / "bench.log";
  std::fflush(stderr);
  if (!std::freopen(log_path.c_str(), "w", stderr)) return 1;

  stallers();
  big_frames();
  guessing();
  log_flood(log_path);
  unread_pongs();
  std::filesystem::remove_all(home);
  return 0;
}
