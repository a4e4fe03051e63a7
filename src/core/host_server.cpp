#include "core/host_server.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "base/log.h"
#include "base/thread_start.h"
#include "core/session.h"
#include "crypto/self_test.h"
#include "platform/process.h"

namespace tolvi {
namespace {

// The session that is serving. Lock order: this mutex before any connection lock.
Session* active_session = nullptr;
std::mutex active_session_mutex;
std::condition_variable active_session_changed;

}  // namespace

struct HostServer::State {
  HostServerOptions options;
  std::shared_ptr<HostEnvironment> environment;
  ConnectionGate gate;
  std::atomic<std::size_t> live_client_threads{0};

  explicit State(HostServerOptions o)
      : options(std::move(o)), environment(options.environment), gate(options.gate_limits) {}
};

namespace {

// Handed from the accept loop to the client thread, which owns and frees it.
struct ClientStart {
  platform::Socket socket;
  ConnectionGate::Clock::time_point accepted;
  std::shared_ptr<ConnectionGate::Ticket> ticket;
  std::shared_ptr<HostServer::State> state;
};

// The gate's limits around one handshake.
class GateGuard : public HandshakeGuard {
 public:
  GateGuard(ConnectionGate& gate, ConnectionGate::Ticket& ticket) : gate_(gate), ticket_(ticket) {}
  void log_line(const std::string& line) override {
    gate_.log_line(ticket_.address(), line, ConnectionGate::Clock::now());
  }
  bool wait_for_turn() override { return gate_.wait_for_turn(ticket_); }
  std::chrono::milliseconds proof_checked(bool right) override {
    return std::chrono::ceil<std::chrono::milliseconds>(
        gate_.proof_checked(ticket_, right, ConnectionGate::Clock::now()));
  }

 private:
  ConnectionGate& gate_;
  ConnectionGate::Ticket& ticket_;
};

void client_thread(std::unique_ptr<ClientStart> start) {
  HostServer::State& state = *start->state;
  ConnectionGate::Ticket& ticket = *start->ticket;
  {
    Session session(std::move(start->socket), *state.environment, state.options.session_timings);
    // The gate may close this handshake to make room for a newer one.
    ticket.attach([&session] { session.connection().close(); });
    session.connection().set_receive_deadline(start->accepted + state.options.handshake_timeout);
    GateGuard guard(state.gate, ticket);
    const bool authenticated = session.handshake(&guard);
    state.gate.finished(ticket);
    ticket.detach();
    if (authenticated) {
      session.connection().set_receive_deadline(std::nullopt);
      session.connection().set_receive_timeout(std::chrono::milliseconds(0));
      become_active_session(session);
      session.serve();
      leave_active_session(session);
    }
  }
  state.live_client_threads.fetch_sub(1);
}

}  // namespace

void become_active_session(Session& session) {
  std::unique_lock<std::mutex> guard(active_session_mutex);
  while (active_session != nullptr) {
    // Closing is repeated on every pass: of several clients authenticating close together,
    // each displaces the one before it and the last to look keeps the host.
    active_session->connection().close();
    active_session_changed.wait_for(guard, kDisplacementPoll);
  }
  active_session = &session;
}

void leave_active_session(Session& session) {
  {
    std::lock_guard<std::mutex> guard(active_session_mutex);
    if (active_session == &session) active_session = nullptr;
  }
  active_session_changed.notify_all();
}

bool end_active_session(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> guard(active_session_mutex);
  while (active_session != nullptr) {
    active_session->connection().close();
    if (active_session_changed.wait_until(guard, deadline) == std::cv_status::timeout) {
      return active_session == nullptr;
    }
  }
  return true;
}

HostServer::HostServer(HostServerOptions options)
    : state_(std::make_shared<State>(std::move(options))) {}

HostServer::~HostServer() = default;

ConnectionGate& HostServer::gate() { return state_->gate; }

std::size_t HostServer::live_client_threads() const { return state_->live_client_threads.load(); }

bool HostServer::start() {
  const HostServerOptions& options = state_->options;
  // Process set-up: sockets, then whatever the capture and encoding layers need.
  platform::net_startup();
  if (options.prepare_process) options.prepare_process();

  const bool self_test_passed = options.self_test ? options.self_test() : crypto_self_test();
  if (!self_test_passed) {
    log_message("crypto self-test FAILED; refusing to start");
    state_->environment->status_observer().on_host_error("Encryption self-test failed");
    return false;
  }

  wanted_port_ = options.port;
  return listen();
}

bool HostServer::listen() {
  const unsigned port = wanted_port_;
  int error = 0;
  listener_ = platform::listen_dual_stack(wanted_port_, platform::kMaxListenBacklog, error);
  if (!listener_.valid()) {
    if (!listen_refused_) {
      if (platform::is_address_in_use(error)) {
        log_message("cannot listen on port %u: the port is already in use", port);
      } else {
        log_message("cannot listen on port %u (error %d)", port, error);
      }
      state_->environment->status_observer().on_host_error("Port " + std::to_string(port) +
                                                           " is in use");
    }
    listen_refused_ = true;
    return false;
  }
  listen_refused_ = false;
  port_ = wanted_port_ != 0 ? wanted_port_ : listener_.local_port();
  log_message("Tolvi host listening on port %u", static_cast<unsigned>(port_));
  state_->environment->status_observer().on_host_listening();
  return true;
}

void HostServer::accept_loop() {
  while (!stopping_.load()) {
    platform::Socket socket = platform::accept_connection(listener_);
    if (!socket.valid()) {
      if (stopping_.load()) break;
      std::this_thread::sleep_for(kAcceptRetryPause);
      continue;
    }
    auto start = std::make_unique<ClientStart>();
    start->accepted = ConnectionGate::Clock::now();
    // Always admitted: a full cap closes its oldest handshake instead.
    start->ticket = state_->gate.admit(socket.peer_name(), start->accepted);
    start->socket = std::move(socket);
    start->state = state_;
    state_->live_client_threads.fetch_add(1);
    start_thread([start = std::move(start)]() mutable {
      client_thread(std::move(start));
    }).detach();
  }
}

void HostServer::stop() {
  stopping_.store(true);
  listener_.interrupt();
}

bool HostServer::shut_down(std::chrono::milliseconds limit) {
  stop();
  return end_active_session(limit);
}

}  // namespace tolvi
