// Named events and waits of the platform (Linux and Windows alike): what the service and its
// agent rely on, the agent's quit watcher included.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/service.h"
#include "service/secure_attention.h"

namespace tolvi {
namespace {

using platform::EventReset;
using platform::kWaitTimedOut;

// Each case names its events after itself: suites may run in parallel.
class ServiceEventsTest : public testing::Test {};

TEST_F(ServiceEventsTest, AnOpenedEventSignalsItsCreatorAsItsResetKindSays) {
  for (const EventReset reset : {EventReset::Auto, EventReset::Manual}) {
    const std::string name = "Global\\TolviTestKinds";
    auto created = platform::create_event(reset, name);
    ASSERT_TRUE(created);
    auto opened = platform::open_event(name);
    ASSERT_TRUE(opened);
    std::array<platform::Waitable*, 1> objects{created.get()};
    EXPECT_EQ(platform::wait_for_any(objects, 0), kWaitTimedOut);
    opened->set();
    opened->set();
    EXPECT_EQ(platform::wait_for_any(objects, 0), 0);
    EXPECT_EQ(platform::wait_for_any(objects, 0), reset == EventReset::Auto ? kWaitTimedOut : 0);
    opened->reset();
    EXPECT_EQ(platform::wait_for_any(objects, 0), kWaitTimedOut);
  }
  EXPECT_FALSE(platform::open_event("Global\\TolviTestNeverMade"));
}

TEST_F(ServiceEventsTest, AWaitTakesTheLowestSignalledSlotAndAcceptsAnObjectTwice) {
  auto stop = platform::create_event(EventReset::Manual, "");
  auto wake = platform::create_event(EventReset::Auto, "");
  ASSERT_TRUE(stop && wake);
  // The service's wait without an agent: the wake event fills the last slot a second time.
  std::array<platform::Waitable*, 3> objects{stop.get(), wake.get(), wake.get()};
  EXPECT_EQ(platform::wait_for_any(objects, 0), kWaitTimedOut);
  wake->set();
  EXPECT_EQ(platform::wait_for_any(objects, 0), 1);
  EXPECT_EQ(platform::wait_for_any(objects, 0), kWaitTimedOut);
  wake->set();
  stop->set();
  EXPECT_EQ(platform::wait_for_any(objects, 0), 0);
}

TEST_F(ServiceEventsTest, TheAgentQuitsWhenTheServiceSetsItsEvent) {
  auto service_side = platform::create_event(EventReset::Manual, "Global\\TolviTestQuit");
  ASSERT_TRUE(service_side);
  auto agent_side = platform::open_event("Global\\TolviTestQuit");
  ASSERT_TRUE(agent_side);
  std::atomic<bool> quit{false};
  std::thread watcher([&] { agent_quit_watcher(*agent_side, [&] { quit = true; }); });
  service_side->set();
  watcher.join();
  EXPECT_TRUE(quit);
}

TEST(SecureAttentionThreads, TheEntryIsLookedUpOnceWhenManyAskAtOnce) {
  std::atomic<int> look_ups{0}, presses{0};
  SecureAttention secure_attention([&] {
    ++look_ups;
    return std::function<bool()>([&] {
      ++presses;
      return true;
    });
  });
  constexpr int kAskers = 8;
  std::vector<std::thread> askers;
  for (int i = 0; i < kAskers; ++i) askers.emplace_back([&] { secure_attention.press(); });
  for (auto& asker : askers) asker.join();
  EXPECT_EQ(look_ups, 1);
  EXPECT_EQ(presses, kAskers);
}

}  // namespace
}  // namespace tolvi
