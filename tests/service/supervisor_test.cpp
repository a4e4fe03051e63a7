// The supervision loop over a fake system: which agent runs when, how long it waits, what it
// logs and reports, and the control handler's answers.
#include "service/supervisor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "service/secure_attention.h"
#include "service/service_control.h"

namespace tolvi {
namespace {

using platform::EventReset;
using platform::kNoConsoleSession;
using platform::ServiceState;

struct Journal {
  std::vector<std::string> entries;
  void add(const std::string& entry) { entries.push_back(entry); }
};

class FakeEvent : public platform::SignalEvent {
 public:
  FakeEvent(Journal& journal, std::string name) : journal_(journal), name_(std::move(name)) {}
  std::intptr_t wait_handle() const override { return 0; }
  void set() override {
    signalled = true;
    if (!name_.empty()) journal_.add("set " + name_);
  }
  void reset() override {
    signalled = false;
    if (!name_.empty()) journal_.add("reset " + name_);
  }
  bool signalled = false;

 private:
  Journal& journal_;
  std::string name_;
};

// An agent that ends when asked (or, deaf, never) or when the test says it crashed.
class FakeAgent : public platform::AgentProcess {
 public:
  FakeAgent(Journal& journal, unsigned long id, bool deaf, const FakeEvent& quit)
      : journal_(journal), id_(id), deaf_(deaf), quit_(quit) {}
  std::intptr_t wait_handle() const override { return 0; }
  unsigned long id() const override { return id_; }
  bool ended(std::uint32_t timeout_ms) override {
    if (quit_.signalled && !deaf_) exited = true;
    if (timeout_ms > 0)
      journal_.add("wait agent " + std::to_string(id_) + " " + std::to_string(timeout_ms) +
                   (exited ? " ended" : " running"));
    return exited;
  }
  void terminate() override {
    journal_.add("terminate agent " + std::to_string(id_));
    exited = true;
  }
  bool exited = false;

 private:
  Journal& journal_;
  unsigned long id_;
  bool deaf_;
  const FakeEvent& quit_;
};

class FakeSupervisorPlatform : public SupervisorPlatform, public platform::ServiceStatusReporter {
 public:
  std::unique_ptr<platform::SignalEvent> create_event(EventReset,
                                                      const std::string& name) override {
    auto event = std::make_unique<FakeEvent>(journal, name == kAgentQuitEventName ? "quit" : "");
    events.push_back(event.get());
    if (name == kAgentQuitEventName) quit = event.get();
    return event;
  }
  unsigned long console_session() override { return console; }
  std::unique_ptr<platform::AgentProcess> launch_agent(unsigned long session) override {
    if (failing_starts > 0) {
      --failing_starts;
      journal.add("launch failed");
      return nullptr;
    }
    ++launched;
    journal.add("launch agent " + std::to_string(launched) + " in " + std::to_string(session));
    auto agent = std::make_unique<FakeAgent>(journal, launched, deaf_agents, *quit);
    current = agent.get();
    return agent;
  }
  int wait_for_any(std::span<platform::Waitable* const> objects,
                   std::uint32_t timeout_ms) override {
    timeouts.push_back(timeout_ms);
    clock_ms += ms_per_wait;
    agent_slot_is_wake = objects[3] == objects[1];
    if (steps.empty()) return 0;  // the script ran out: stop
    const int result = steps.front()(*this);
    steps.pop_front();
    return result;
  }
  void secure_attention() override { journal.add("secure attention"); }
  void save_status(const std::string& text) override { journal.add("status '" + text + "'"); }
  void sleep_ms(std::uint32_t ms) override {
    journal.add("sleep " + std::to_string(ms));
    clock_ms += ms;
  }
  std::uint64_t now_ms() override { return clock_ms; }
  void report(ServiceState state, std::uint32_t controls) override {
    reports.emplace_back(static_cast<std::uint32_t>(state), controls);
  }

  Journal journal;
  std::vector<FakeEvent*> events;
  FakeEvent* quit = nullptr;
  FakeAgent* current = nullptr;
  unsigned long console = 1;
  int failing_starts = 0;
  unsigned long launched = 0;
  bool deaf_agents = false;
  bool agent_slot_is_wake = false;
  // Each wait takes this long, unless a step changes it: by default agents run for minutes.
  std::uint64_t clock_ms = 0;
  std::uint64_t ms_per_wait = 60000;
  std::vector<std::uint32_t> timeouts;
  std::deque<std::function<int(FakeSupervisorPlatform&)>> steps;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> reports;
};

constexpr int kTimedOut = platform::kWaitTimedOut;

// Positions of `lines` in `text`, which must all be there, in this order.
void expect_in_order(const std::string& text, const std::vector<std::string>& lines) {
  std::size_t from = 0;
  for (const auto& line : lines) {
    const auto at = text.find(line, from);
    ASSERT_NE(at, std::string::npos) << "'" << line << "' missing or out of order in:\n" << text;
    from = at + line.size();
  }
}

TEST(Supervisor, RestartsACrashedAgentAndFollowsTheConsoleThenStops) {
  FakeSupervisorPlatform fake;
  ServiceControlState control;
  fake.steps = {
      [](auto& f) {
        f.current->exited = true;  // the agent crashed
        return 3;
      },
      [](auto& f) {
        f.console = 7;  // another session took the console; the new agent ignores quitting
        f.deaf_agents = true;
        return 1;
      },
      [](auto&) { return kTimedOut; },  // agent 3 still runs in session 7
      [](auto&) { return 2; },          // a secure attention request
  };
  testing::internal::CaptureStderr();
  service_main(fake, control, fake);
  const std::string log = testing::internal::GetCapturedStderr();

  const std::vector<std::string> expected{
      "status ''",
      "launch agent 1 in 1",
      "sleep 500",
      "set quit",  // the crashed agent is stopped like any other: asked, and found ended
      "wait agent 1 4000 ended",
      "reset quit",
      "launch agent 2 in 1",
      "set quit",
      "wait agent 2 4000 ended",
      "reset quit",
      "launch agent 3 in 7",
      "secure attention",
      "set quit",
      "wait agent 3 4000 running",
      "terminate agent 3",
      "reset quit",
      "status ''",
  };
  EXPECT_EQ(fake.journal.entries, expected);
  expect_in_order(log, {"service running", "agent exited",
                        "console moved to session 7; restarting agent", "service stopped"});
  EXPECT_EQ(fake.reports,
            (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{2, 0}, {4, 0x85}, {1, 0}}));
  EXPECT_EQ(fake.timeouts, std::vector<std::uint32_t>(5, kConsoleCheckMs));
}

TEST(Supervisor, FailedStartsStretchTheWaitToThirtySecondsAndOneSuccessResetsIt) {
  FakeSupervisorPlatform fake;
  ServiceControlState control;
  fake.failing_starts = 32;
  for (int i = 0; i < 33; ++i) fake.steps.push_back([](auto&) { return kTimedOut; });
  service_main(fake, control, fake);

  std::vector<std::uint32_t> expected;
  for (std::uint32_t n = 1; n <= 32; ++n) expected.push_back(std::min(n * 1000u, 30000u));
  expected.push_back(kConsoleCheckMs);  // the 33rd start succeeded
  expected.push_back(kConsoleCheckMs);  // the stop
  EXPECT_EQ(fake.timeouts, expected);
  EXPECT_EQ(fake.launched, 1u);
}

// The host of an agent that cannot listen returns at once: each such agent counts as a failed
// start, so the starts spread out as failed launches do, and one agent that settles ends it.
TEST(Supervisor, AgentsThatEndAtOnceBackOffLikeFailedStartsUntilOneSettles) {
  FakeSupervisorPlatform fake;
  ServiceControlState control;
  fake.ms_per_wait = 100;
  const auto agent_ends = [](FakeSupervisorPlatform& f) {
    f.current->exited = true;
    return 3;
  };
  for (int i = 0; i < 3; ++i) {
    fake.steps.push_back(agent_ends);
    fake.steps.push_back([](auto&) { return kTimedOut; });  // the back-off runs out
  }
  fake.steps.push_back([](auto& f) {  // the port is free again: agent 4 keeps running
    f.ms_per_wait = kAgentSettleMs;
    return kTimedOut;
  });
  fake.steps.push_back([agent_ends](auto& f) {  // and after it settled, it crashes
    f.ms_per_wait = 100;
    return agent_ends(f);
  });
  testing::internal::CaptureStderr();
  service_main(fake, control, fake);
  const std::string log = testing::internal::GetCapturedStderr();

  EXPECT_EQ(fake.timeouts, (std::vector<std::uint32_t>{kConsoleCheckMs, 1000, kConsoleCheckMs, 2000,
                                                       kConsoleCheckMs, 3000, kConsoleCheckMs,
                                                       kConsoleCheckMs, kConsoleCheckMs}));
  EXPECT_EQ(fake.launched, 5u);
  // Only the settled agent is replaced after the short pause; the others wait for the timeout.
  EXPECT_EQ(std::count(fake.journal.entries.begin(), fake.journal.entries.end(), "sleep 500"), 1);
  expect_in_order(log, {"agent exited",
                        "the agent ended 100 ms after its start; the next start "
                        "waits 1000 ms",
                        "waits 2000 ms", "waits 3000 ms", "agent exited", "service stopped"});
}

TEST(Supervisor, NoConsoleSessionMeansNoAgentAndNoFailure) {
  FakeSupervisorPlatform fake;
  ServiceControlState control;
  fake.console = kNoConsoleSession;
  fake.steps = {[](auto&) { return kTimedOut; }, [](auto&) { return 1; }};
  service_main(fake, control, fake);
  EXPECT_EQ(fake.launched, 0u);
  EXPECT_EQ(fake.timeouts, std::vector<std::uint32_t>(3, kConsoleCheckMs));
  // With no agent the fourth slot repeats the wake event; waking on it is no agent exit.
  EXPECT_TRUE(fake.agent_slot_is_wake);
  EXPECT_EQ(fake.journal.entries, (std::vector<std::string>{"status ''", "status ''"}));
}

TEST(ServiceControl, AnswersEachControlAsTheServiceManagerExpects) {
  const struct {
    std::uint32_t control, event_type, answer;
    bool stops, wakes;
  } cases[] = {
      {kControlStop, 0, kNoError, true, false},
      {kControlShutdown, 0, kNoError, true, false},
      {kControlInterrogate, 0, kNoError, false, false},
      {kControlSessionChange, kConsoleConnect, kNoError, false, true},
      {kControlSessionChange, kConsoleDisconnect, kNoError, false, true},
      {kControlSessionChange, kSessionLogon, kNoError, false, true},
      {kControlSessionChange, kSessionLogoff, kNoError, false, true},
      {kControlSessionChange, 3, kNoError, false, false},  // remote connect
      {kControlSessionChange, 7, kNoError, false, false},  // lock
      {2, 0, kCallNotImplemented, false, false},           // pause
      {6, 0, kCallNotImplemented, false, false},           // parameter change
  };
  for (const auto& c : cases) {
    FakeSupervisorPlatform fake;
    FakeEvent stop(fake.journal, ""), wake(fake.journal, "");
    ServiceControlState control;
    control.attach(&fake, &stop, &wake);
    EXPECT_EQ(control.handle(c.control, c.event_type), c.answer) << c.control;
    EXPECT_EQ(stop.signalled, c.stops) << c.control;
    EXPECT_EQ(wake.signalled, c.wakes) << c.control << "/" << c.event_type;
    const bool reported_stopping =
        !fake.reports.empty() && fake.reports.back() == std::make_pair(3u, 0u);
    EXPECT_EQ(reported_stopping, c.stops) << c.control;
  }
}

TEST(ServiceControl, AStopBeforeTheEventsExistIsKept) {
  FakeSupervisorPlatform fake;
  FakeEvent stop(fake.journal, ""), wake(fake.journal, "");
  ServiceControlState control;
  EXPECT_EQ(control.handle(kControlStop, 0), kNoError);
  control.attach(&fake, &stop, &wake);
  EXPECT_TRUE(stop.signalled);
  EXPECT_FALSE(wake.signalled);
}

TEST(SecureAttention, SaysWhetherTheEntryWentThrough) {
  int look_ups = 0, presses = 0;
  bool reaches_console = true;
  SecureAttention with_entry([&] {
    ++look_ups;
    return std::function<bool()>([&] {
      ++presses;
      return reaches_console;
    });
  });
  testing::internal::CaptureStderr();
  with_entry.press();
  reaches_console = false;
  with_entry.press();
  SecureAttention without_entry([&] {
    ++look_ups;
    return std::function<bool()>();
  });
  without_entry.press();
  const std::string log = testing::internal::GetCapturedStderr();
  expect_in_order(log, {"SendSAS issued", "SendSAS unavailable", "SendSAS unavailable"});
  EXPECT_EQ(look_ups, 2);  // once per object, however often it is pressed
  EXPECT_EQ(presses, 2);
}

TEST(SecureAttention, ARequestSignalsTheServiceOrSaysItNeedsOne) {
  Journal journal;
  testing::internal::CaptureStderr();
  request_secure_attention([&](const std::string& name) {
    journal.add("open " + name);
    return std::make_unique<FakeEvent>(journal, "sas");
  });
  request_secure_attention([](const std::string&) { return nullptr; });
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(journal.entries, (std::vector<std::string>{
                                 std::string("open ") + kSecureAttentionEventName, "set sas"}));
  expect_in_order(log, {"Ctrl+Alt+Del requested", "Ctrl+Alt+Del needs the Tolvi Host service"});
}

}  // namespace
}  // namespace tolvi
