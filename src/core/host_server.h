#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/connection_gate.h"
#include "core/host_environment.h"
#include "core/limits.h"
#include "core/session.h"
#include "platform/net.h"

namespace tolvi {

class Session;

struct HostServerOptions {
  // The port to listen on (the app passes the settings store's); 0: any free port (tests).
  std::uint16_t port = 0;
  // From accept to the password proof, however the bytes arrive.
  std::chrono::milliseconds handshake_timeout = kHandshakeDeadline;
  SessionTimings session_timings;
  ConnectionGate::Limits gate_limits;
  // Empty: crypto_self_test.
  std::function<bool()> self_test;
  // Required: what every session is built from (the real one comes from app/, tests hand in
  // fakes).
  std::shared_ptr<HostEnvironment> environment;
  // What the capture and encoding layers need from the process, before the self-test.
  std::function<void()> prepare_process;
};

// The host server with its parts exposed for tests and benchmarks. Client threads are detached
// and share the server's state, so the server may be destroyed while they still run.
class HostServer {
 public:
  explicit HostServer(HostServerOptions options);
  ~HostServer();

  // Process set-up, self-test, port and listening socket. false when refused (logged and
  // reported to the status observer); listen_refused() then says whether only the listening
  // failed, which listen() may try again.
  bool start();
  // Tries again to listen after start() could not (the port was taken); true once it listens,
  // which the status observer is told. A refusal repeated is not logged again.
  bool listen();
  bool listen_refused() const { return listen_refused_; }
  std::uint16_t port() const { return port_; }
  // Accepts until stop(); each admitted connection gets its own detached client thread.
  void accept_loop();
  // Ends accept_loop (tests). Client threads go on until their connections end.
  void stop();
  // The orderly end of the host: stops accepting, closes the serving session's connection so
  // that it winds down the normal way (held keys released, display restored, status cleared),
  // and waits for it to leave, at most `limit`. False when it was still there at the limit.
  bool shut_down(std::chrono::milliseconds limit);

  ConnectionGate& gate();
  // Client threads of this server still running.
  std::size_t live_client_threads() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  platform::Socket listener_;
  std::uint16_t wanted_port_ = 0;
  std::uint16_t port_ = 0;
  bool listen_refused_ = false;
  std::atomic<bool> stopping_{false};
};

// The one active session of the process. A newly authenticated session displaces the serving
// one (closing its connection, then waiting for it to leave, looking again every 50 ms).
void become_active_session(Session& session);
void leave_active_session(Session& session);
// Closes the serving session's connection (and that of any session that takes its place) until
// none is serving, waiting at most `limit`. False when one was still serving at the limit.
bool end_active_session(std::chrono::milliseconds limit);

}  // namespace tolvi
