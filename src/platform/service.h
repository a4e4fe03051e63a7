#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tolvi::platform {

// What the supervising service and its session agent need from the system: events they share
// by name, waiting on several things at once, the console session, starting the agent, the
// secure attention sequence, and the service manager's calls.

// The console has no session attached (no one at the sign-in screen either).
constexpr unsigned long kNoConsoleSession = 0xFFFFFFFFul;

// Something a wait can end on: an event or a process. The handle is the system's own (a file
// descriptor on Linux, a HANDLE on Windows).
class Waitable {
 public:
  virtual ~Waitable() = default;
  virtual std::intptr_t wait_handle() const = 0;
  // Called on the one object a wait returned; auto-reset events clear themselves here.
  virtual void waited() {}
};

class SignalEvent : public Waitable {
 public:
  virtual void set() = 0;
  virtual void reset() = 0;
};

// Auto: a wait that returns the event clears it, so requests made meanwhile collapse into one.
// Manual: stays set for every waiter until reset.
enum class EventReset { Auto, Manual };

// Creates an event, or opens the existing one of that name. A named event can be opened by any
// process of the machine while its creator lives; an empty name makes a private one. Null when
// the system refuses.
std::unique_ptr<SignalEvent> create_event(EventReset reset, const std::string& name);

// Opens a named event another process created (and still holds). Null when there is none.
std::unique_ptr<SignalEvent> open_event(const std::string& name);

constexpr int kWaitTimedOut = -1;
constexpr int kWaitFailed = -2;
constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// Waits until one of `objects` is signalled and returns the lowest such index, kWaitTimedOut
// after `timeout_ms`, or kWaitFailed. The same object may appear twice.
int wait_for_any(std::span<Waitable* const> objects, std::uint32_t timeout_ms);

// A started agent. Waitable: signalled once it has ended.
class AgentProcess : public Waitable {
 public:
  virtual unsigned long id() const = 0;
  // True once the process has ended, waiting at most `timeout_ms` for it.
  virtual bool ended(std::uint32_t timeout_ms) = 0;
  // Ends it (and, where the system groups them, what it started) at once.
  virtual void terminate() = 0;
  // Asks it to quit, beside the quit event, where it cannot open that event (an agent running
  // as the signed-in person); it is then given the same grace time.
  virtual void ask_to_quit() {}
};

// A channel between the service and an agent it started as the signed-in person, on a
// descriptor the agent inherits (what goes over it: service/agent_hand_over.h). One message is
// one datagram of at most kMaxChannelMessage bytes.
class AgentChannel {
 public:
  virtual ~AgentChannel() = default;
  // False once the other side has gone.
  virtual bool send(std::span<const std::uint8_t> message) = 0;
  // Waits for the next message; false once the other side has gone.
  virtual bool receive(std::vector<std::uint8_t>& message) = 0;
};
constexpr std::size_t kMaxChannelMessage = 4096;

// The agent's end of its channel, when the service started this process with one; null
// otherwise (and always on Windows, where the agent runs with the service's rights). The
// descriptor is not passed on to anything this process starts.
std::unique_ptr<AgentChannel> take_service_channel();

// What the service does for an agent that runs as the signed-in person.
struct AgentHandOver {
  // The secrets message handed to the agent at its start, and again whenever it changes
  // (asked at every console check). Wiped by the caller after use.
  std::function<std::vector<std::uint8_t>()> secrets;
  // A message the agent sent, on a thread of the backend's own.
  std::function<void(std::span<const std::uint8_t>)> received;
  // The agent's end has closed (it ended), on that same thread.
  std::function<void()> gone;
};

// The console and the agents started into it.
class ConsoleSessions {
 public:
  virtual ~ConsoleSessions() = default;
  // The session attached to the console now, or kNoConsoleSession.
  virtual unsigned long console_session() = 0;
  // Starts this executable with "--agent" in `session` (logs the start or its failure). Null
  // when it could not be started.
  virtual std::unique_ptr<AgentProcess> launch_agent(unsigned long session) = 0;
  // The system's secure attention call for a service, looked up now; empty when the system has
  // none. The entry returns false when it could not reach the console.
  virtual std::function<bool()> find_secure_attention() = 0;
  // Set before the first launch. Agents that run with the service's own rights (X11, Windows)
  // read the machine's settings themselves and never use it.
  virtual void set_agent_hand_over(AgentHandOver hand_over) { (void)hand_over; }
};

// `on_change` is called, on a thread of the backend's own, whenever the console may have moved
// (on Windows the service manager's session-change controls do this instead, so it is unused).
std::unique_ptr<ConsoleSessions> make_console_sessions(std::function<void()> on_change);

// Service manager states and accepted controls, by the service manager's numbers.
enum class ServiceState : std::uint32_t {
  Stopped = 1,
  StartPending = 2,
  StopPending = 3,
  Running = 4
};
constexpr std::uint32_t kAcceptStop = 0x1;
constexpr std::uint32_t kAcceptShutdown = 0x4;
constexpr std::uint32_t kAcceptSessionChange = 0x80;

class ServiceStatusReporter {
 public:
  virtual ~ServiceStatusReporter() = default;
  virtual void report(ServiceState state, std::uint32_t controls_accepted) = 0;
};

struct ServiceRoutines {
  // The service's main routine, given the reporter once the control handler is registered.
  std::function<void(ServiceStatusReporter&)> main;
  // The control handler: control code and event type in, the system's error code out.
  std::function<std::uint32_t(std::uint32_t control, std::uint32_t event_type)> control;
};

// Runs the service named `name` the way the system runs services and returns once it stopped.
// Windows: the service control dispatcher (false when the process was not started by the service
// manager). Linux: the main routine on this thread, SIGTERM and SIGINT as the stop control, and
// the service manager's readiness notifications; false only when the stop signals could not be
// watched.
bool run_service_dispatcher(const std::string& name, ServiceRoutines routines);

}  // namespace tolvi::platform
