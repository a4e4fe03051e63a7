// The modes that run the host server on the calling thread, until a stop signal ends them.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <span>
#include <vector>

#include "app/default_host_environment.h"
#include "app/modes.h"
#include "app/process_wide.h"
#include "base/log.h"
#include "base/thread_start.h"
#include "core/host_server.h"
#include "display/display_controller.h"
#include "input/input_desktop.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/stop_signals.h"
#include "base/secure_zero.h"
#include "service/agent_hand_over.h"
#include "service/secure_attention.h"
#include "service/service_control.h"
#include "settings/settings_store.h"

namespace tolvi {
namespace {

// How long a stop waits for the serving session to wind down before the process ends anyway.
constexpr auto kStopWindDownLimit = std::chrono::milliseconds(5000);

// The process's stop request. A signal may arrive before the server listens: it is kept, and
// the server is stopped as soon as it is attached. The watching thread then waits here until
// the wind-down is over (the main thread ends the process), which Windows needs: it ends a
// process whose console is closing as soon as the handler returns.
class StopRequest {
 public:
  void signalled(int number) {
    std::unique_lock<std::mutex> guard(lock_);
    signal_ = number;
    if (server_) server_->stop();
    changed_.wait(guard, [this] { return wound_down_; });
  }
  void attach(HostServer* server) {
    std::lock_guard<std::mutex> guard(lock_);
    server_ = server;
    if (server_ && signal_ != 0) server_->stop();
  }
  int signal() {
    std::lock_guard<std::mutex> guard(lock_);
    return signal_;
  }
  void wound_down() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      wound_down_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  HostServer* server_ = nullptr;
  int signal_ = 0;
  bool wound_down_ = false;
};

StopRequest& stop_request() {
  static StopRequest request;
  return request;
}

// Serves until a stop signal, then ends the process with 0 once the serving session has wound
// down (or the limit passed). Returns 1 only when the server could not start.
int serve_until_stopped() {
  HostServerOptions options;
  options.port = default_settings().load_port();
  options.environment = make_default_host_environment();
  options.prepare_process = platform::prepare_host_process;
  HostServer server{std::move(options)};
  if (!server.start()) return 1;
  stop_request().attach(&server);
  server.accept_loop();  // returns only once stopped
  stop_request().attach(nullptr);
  log_message("stopping on signal %d", stop_request().signal());
  if (!server.shut_down(kStopWindDownLimit)) {
    log_message("the session did not wind down within %lld ms; stopping anyway",
                static_cast<long long>(kStopWindDownLimit.count()));
  }
  stop_request().wound_down();
  // Handshakes still in progress run on detached threads: end the process here rather than
  // run its exit handlers under them.
  platform::exit_process(0);
}

}  // namespace

void watch_for_stop_signals() {
  platform::watch_stop_signals([](int number) { stop_request().signalled(number); });
}

void end_process_after_wind_down() {
  if (!end_active_session(kStopWindDownLimit)) {
    log_message("the session did not wind down within %lld ms; stopping anyway",
                static_cast<long long>(kStopWindDownLimit.count()));
  }
  display_controller.restore();
  platform::exit_process(0);
}

void end_on_stop_signals() {
  platform::watch_stop_signals([](int number) {
    log_message("stopping on signal %d", number);
    end_process_after_wind_down();
  });
}

int run_host_for_test() { return serve_until_stopped(); }

namespace {

// The secrets the service hands to an agent it started as the signed-in person, and the way
// back for its status (settings/settings_store.h). The first message is awaited here; later ones
// (a new password) on a thread that also takes the channel's end as the service's request to
// quit.
void take_secrets_from_service(std::shared_ptr<platform::AgentChannel> channel) {
  const auto send_status = [channel](const std::string& text) {
    channel->send(encode_status(text));
  };
  const auto use = [send_status](std::span<const std::uint8_t> message) {
    HandedSecrets secrets;
    if (!decode_secrets(message, secrets)) return false;
    use_handed_secrets(secrets.password, secrets.identity.bytes, send_status);
    return true;
  };
  std::vector<std::uint8_t> message;
  if (!channel->receive(message)) {
    log_message("agent: the service closed its channel; quitting");
    platform::exit_process(0);
  }
  if (!use(message)) {
    // Never the stored secrets, which this account cannot read: no password, no client.
    log_message("agent: the service handed over no secrets; every client is refused");
    const std::uint8_t none[kIdentityKeyBytes] = {};
    use_handed_secrets("", none, send_status);
  }
  secure_zero(message.data(), message.size());
  start_thread([channel, use] {
    std::vector<std::uint8_t> next;
    while (channel->receive(next)) {
      if (!use(next)) log_message("agent: ignored a message from the service");
      secure_zero(next.data(), next.size());
    }
    log_message("agent: the service closed its channel; quitting");
    display_controller.restore();
    default_settings().save_status("");
    platform::exit_process(0);
  }).detach();
}

}  // namespace

int run_agent() {
  // Started by the service, the agent also watches the service's quit event; started by hand
  // (as `make run` does) there is no such event and it simply serves this session. Its main
  // thread runs the host server: attached to the input desktop first (the sign-in screen's when
  // nobody is signed in). An agent started as the signed-in person gets the machine's secrets
  // over its channel instead, and takes the channel's end as the quit request.
  watch_for_stop_signals();
  if (std::shared_ptr<platform::AgentChannel> channel = platform::take_service_channel()) {
    take_secrets_from_service(std::move(channel));
  }
  if (std::shared_ptr<platform::SignalEvent> quit_event =
          platform::open_event(kAgentQuitEventName)) {
    start_thread([quit_event] {
      agent_quit_watcher(*quit_event, [] {
        display_controller.restore();
        default_settings().save_status("");
        platform::exit_process(0);
      });
    }).detach();
  }
  follow_input_desktop();
  log_message("agent running in session %lu", platform::console_session_id());
  return serve_until_stopped();
}

}  // namespace tolvi
