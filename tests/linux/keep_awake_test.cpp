// The logind inhibitor lock against a private bus: a dbus-daemon of our own stands in for the
// system bus (DBUS_SYSTEM_BUS_ADDRESS), with or without a fake org.freedesktop.login1 on it.
#include "platform/keep_awake.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/logind_inhibitor.h"

namespace tolvi::platform {
namespace {

// A dbus-daemon with the session configuration (anyone may own any name) on a socket of its own.
class PrivateBus {
 public:
  PrivateBus() {
    std::FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    if (!out) return;
    char line[512];
    if (std::fgets(line, sizeof line, out)) address_ = trim(line);
    if (std::fgets(line, sizeof line, out)) pid_ = std::atoi(line);
    ::pclose(out);
  }
  ~PrivateBus() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
  }
  bool running() const { return !address_.empty() && pid_ > 0; }
  const std::string& address() const { return address_; }

 private:
  static std::string trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }
  std::string address_;
  int pid_ = 0;
};

// org.freedesktop.login1.Manager.Inhibit as logind answers it: the caller gets one end of a
// pipe, we keep the other, and the lock is over when the caller's end is closed (EOF here).
class FakeLogind {
 public:
  static constexpr int kReleaseWaitMs = 5000;

  explicit FakeLogind(const std::string& address) {
    if (sd_bus_new(&bus_) < 0) return;
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    if (sd_bus_start(bus_) < 0) return;
    if (sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", kVtable, this) < 0) {
      return;
    }
    if (sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) return;
    ready_ = true;
    thread_ = std::thread([this] {
      while (!stopping_.load()) {
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        sd_bus_wait(bus_, 50000);
      }
    });
  }
  ~FakeLogind() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    for (int fd : kept_) ::close(fd);
    sd_bus_flush_close_unref(bus_);
  }
  bool ready() const { return ready_; }

  std::vector<std::string> calls() {
    std::lock_guard guard(lock_);
    return calls_;
  }
  // Whether the caller holds the lock it was given last: its end of the pipe is open.
  bool lock_held() { return !end_closed(0); }
  // The bus daemon and our own reply may hold copies of the caller's end for a moment after it
  // closed its own, so a release is waited for rather than expected at once.
  bool lock_released() { return end_closed(kReleaseWaitMs); }

 private:
  bool end_closed(int wait_ms) {
    int fd;
    {
      std::lock_guard guard(lock_);
      if (kept_.empty()) return true;
      fd = kept_.back();
    }
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, wait_ms) == 1 && (p.revents & POLLHUP);
  }

  static int inhibit(sd_bus_message* call, void* self_pointer, sd_bus_error*) {
    auto* self = static_cast<FakeLogind*>(self_pointer);
    const char *what, *who, *why, *mode;
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
    {
      std::lock_guard guard(self->lock_);
      self->calls_.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
      self->kept_.push_back(ends[0]);
    }
    const int replied = sd_bus_reply_method_return(call, "h", ends[1]);
    ::close(ends[1]);  // the reply carries its own copy
    return replied;
  }
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};

  sd_bus* bus_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> calls_;
  std::vector<int> kept_;
};

class InhibitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bus_.running()) GTEST_SKIP() << "dbus-daemon is not available";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
  }
  PrivateBus bus_;
};

TEST_F(InhibitorTest, TakesIdleAndSleepAndReleasesOnEnd) {
  FakeLogind logind(bus_.address());
  ASSERT_TRUE(logind.ready());
  LogindInhibitor inhibitor;
  std::string error;
  ASSERT_EQ(inhibitor.take(error), LogindInhibitor::Result::kTaken) << error;
  EXPECT_EQ(logind.calls(), std::vector<std::string>{"idle:sleep|Tolvi Host|remote session|block"});
  EXPECT_TRUE(logind.lock_held());
  EXPECT_EQ(inhibitor.take(error), LogindInhibitor::Result::kTaken);
  EXPECT_EQ(logind.calls().size(), 1u);  // held already: not asked again
  inhibitor.release();
  EXPECT_TRUE(logind.lock_released());
}

TEST_F(InhibitorTest, KeepAwakeHoldsTheLockOnlyWhileBegun) {
  FakeLogind logind(bus_.address());
  ASSERT_TRUE(logind.ready());
  // A display that does not exist: the lock alone keeps the machine awake.
  std::unique_ptr<KeepAwake> keep_awake = make_keep_awake(":65000");
  EXPECT_TRUE(keep_awake->begin());
  EXPECT_TRUE(logind.lock_held());
  EXPECT_EQ(keep_awake->take_shortfall(), "");
  keep_awake->end();
  EXPECT_TRUE(logind.lock_released());
  EXPECT_TRUE(keep_awake->begin());
  EXPECT_EQ(logind.calls().size(), 2u);
}

TEST_F(InhibitorTest, WithoutLogindItIsSaidOnceAndNothingFails) {
  LogindInhibitor inhibitor;
  std::string error;
  EXPECT_EQ(inhibitor.take(error), LogindInhibitor::Result::kNoLogind);
  EXPECT_FALSE(inhibitor.held());

  std::unique_ptr<KeepAwake> keep_awake = make_keep_awake(":65000");
  keep_awake->begin();
  EXPECT_EQ(keep_awake->take_shortfall(), "no logind, sleep not inhibited");
  keep_awake->end();
  keep_awake->begin();
  EXPECT_EQ(keep_awake->take_shortfall(), "");
  keep_awake->end();
}

TEST(Inhibitor, NoSystemBusCountsAsNoLogind) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvi-test-bus", 1);
  LogindInhibitor inhibitor;
  std::string error;
  EXPECT_EQ(inhibitor.take(error), LogindInhibitor::Result::kNoLogind);
}

}  // namespace
}  // namespace tolvi::platform
