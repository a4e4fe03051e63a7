// The Linux service backend with real processes: named events between processes, and the
// supervision loop keeping real agents (this test program started with "--agent") in the
// console named by the console file under a temporary install root.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "base/clock.h"
#include "platform/service.h"
#include "service/secure_attention.h"
#include "service/service_control.h"
#include "service/supervisor.h"

namespace tolvi {
namespace {

namespace fs = std::filesystem;
using platform::EventReset;

constexpr const char* kRootVariable = "TOLVI_INSTALL_ROOT";

void append_line(const fs::path& file, const std::string& line) {
  std::ofstream(file, std::ios::app) << line << std::endl;
}

std::string read_file(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Started by the service as "<this program> --agent": notes its start in agents.log under the
// install root, then either quits when the service asks (mode "obey") or ignores everything
// but SIGKILL (mode "deaf"), as the mode file there says.
[[maybe_unused]] const bool kRunsAsAgent = [] {
  const std::string command_line = read_file("/proc/self/cmdline");
  if (command_line.find("--agent") == std::string::npos) return false;
  const char* root = std::getenv(kRootVariable);
  if (!root) _exit(2);
  const fs::path journal = fs::path(root) / "agents.log";
  const std::string pid = std::to_string(getpid());
  const char* display = std::getenv("DISPLAY");
  append_line(journal, pid + " started " + (display ? display : "-"));
  if (read_file(fs::path(root) / "mode").starts_with("deaf")) {
    signal(SIGTERM, SIG_IGN);
    while (true) pause();
  }
  auto quit = platform::open_event(kAgentQuitEventName);
  if (!quit) _exit(3);
  std::array<platform::Waitable*, 1> objects{quit.get()};
  platform::wait_for_any(objects, platform::kWaitForever);
  append_line(journal, pid + " quit");
  _exit(0);
}();

class LinuxServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tolvi-service-" + std::to_string(getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "etc" / "tolvi-host");
    setenv(kRootVariable, root.c_str(), 1);
  }
  void TearDown() override {
    unsetenv(kRootVariable);
    fs::remove_all(root);
  }
  fs::path root;
};

TEST_F(LinuxServiceTest, NamedEventsResetAsTheirCreatorSaidAcrossProcesses) {
  for (const EventReset reset : {EventReset::Auto, EventReset::Manual}) {
    const std::string name = "Global\\TolviTestEvent";
    auto event = platform::create_event(reset, name);
    ASSERT_TRUE(event);
    std::array<platform::Waitable*, 1> objects{event.get()};
    EXPECT_EQ(platform::wait_for_any(objects, 0), platform::kWaitTimedOut);

    // Another process opens it by name and sets it twice.
    const pid_t child = fork();
    if (child == 0) {
      auto opened = platform::open_event(name);
      if (!opened) _exit(1);
      opened->set();
      opened->set();
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(platform::wait_for_any(objects, platform::kWaitForever), 0);
    // Auto: the wait took it, both sets collapsed into one. Manual: set until reset.
    const int again = platform::wait_for_any(objects, 0);
    EXPECT_EQ(again, reset == EventReset::Auto ? platform::kWaitTimedOut : 0);
    event->reset();
    EXPECT_EQ(platform::wait_for_any(objects, 0), platform::kWaitTimedOut);

    // Once its creator is gone, the name no longer opens (the FIFO left behind is not it).
    event.reset();
    EXPECT_FALSE(platform::open_event(name));
  }
  EXPECT_FALSE(platform::open_event("Global\\NeverCreated"));
}

// The root service serves whichever display the console file names: a file another account could
// have written (or pointed to) is ignored, and the log says why.
TEST_F(LinuxServiceTest, ConsoleFileCountsOnlyWhenNoOtherAccountCouldHaveWrittenIt) {
  const fs::path file = root / "etc" / "tolvi-host" / "console";
  const fs::path elsewhere = root / "elsewhere";
  std::ofstream(elsewhere) << ":93\n";
  const passwd* nobody = getpwnam("nobody");
  struct Case {
    const char* name;
    std::function<void()> make;
    unsigned long session;
    const char* logged;
  } cases[] = {
      {"own file", [&] { std::ofstream(file) << ":91 /x/auth\n"; }, 91, nullptr},
      {"writable by others",
       [&] {
         std::ofstream(file) << ":91\n";
         fs::permissions(file, fs::perms(0666));
       },
       platform::kNoConsoleSession, "other accounts may write it"},
      {"a link", [&] { fs::create_symlink(elsewhere, file); }, platform::kNoConsoleSession,
       "symbolic link"},
      {"writable by the group",
       [&] {
         std::ofstream(file) << ":91\n";
         fs::permissions(file, fs::perms(0664));
       },
       platform::kNoConsoleSession, "other accounts may write it"},
      {"a folder", [&] { fs::create_directory(file); }, platform::kNoConsoleSession,
       "not a regular file"},
      {"another account's",
       [&] {
         std::ofstream(file) << ":91\n";
         if (geteuid() == 0 && nobody) chown(file.c_str(), nobody->pw_uid, nobody->pw_gid);
       },
       geteuid() == 0 && nobody ? platform::kNoConsoleSession : 91,
       geteuid() == 0 && nobody ? "belongs to another account" : nullptr},
  };
  for (const Case& c : cases) {
    fs::remove_all(file);
    c.make();
    testing::internal::CaptureStderr();
    auto consoles = platform::make_console_sessions([] {});
    EXPECT_EQ(consoles->console_session(), c.session) << c.name;
    consoles.reset();
    const std::string log = testing::internal::GetCapturedStderr();
    if (c.logged) {
      EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << ": " << log;
    }
  }
}

// The supervision loop over the real system, as the service process composes it.
class RealSupervisorPlatform : public SupervisorPlatform, public platform::ServiceStatusReporter {
 public:
  explicit RealSupervisorPlatform(ServiceControlState& control)
      : consoles_(platform::make_console_sessions(
            [&control] { control.handle(kControlSessionChange, kConsoleConnect); })) {}
  std::unique_ptr<platform::SignalEvent> create_event(EventReset reset,
                                                      const std::string& name) override {
    return platform::create_event(reset, name);
  }
  unsigned long console_session() override { return consoles_->console_session(); }
  std::unique_ptr<platform::AgentProcess> launch_agent(unsigned long session) override {
    return consoles_->launch_agent(session);
  }
  int wait_for_any(std::span<platform::Waitable* const> objects,
                   std::uint32_t timeout_ms) override {
    return platform::wait_for_any(objects, timeout_ms);
  }
  void secure_attention() override {}
  void save_status(const std::string&) override {}
  void sleep_ms(std::uint32_t ms) override { system_clock().sleep_ms(ms); }
  std::uint64_t now_ms() override { return system_clock().now_us() / 1000; }
  void report(platform::ServiceState, std::uint32_t) override {}

 private:
  std::unique_ptr<platform::ConsoleSessions> consoles_;
};

// Waits (up to a generous limit) until agents.log has `count` lines containing `text`; returns
// the last such line.
std::string wait_for_agents(const fs::path& root, const std::string& text, std::size_t count) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < give_up) {
    std::istringstream lines(read_file(root / "agents.log"));
    std::string line, last;
    std::size_t seen = 0;
    while (std::getline(lines, line)) {
      if (line.find(text) != std::string::npos) ++seen, last = line;
    }
    if (seen >= count) return last;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {};
}

pid_t pid_of(const std::string& line) { return static_cast<pid_t>(std::stol(line)); }

TEST_F(LinuxServiceTest, KeepsAnAgentInTheConsoleDisplayThroughCrashesMovesAndAStop) {
  std::ofstream(root / "etc" / "tolvi-host" / "console") << ":91\n";
  std::ofstream(root / "mode") << "obey\n";
  ServiceControlState control;
  testing::internal::CaptureStderr();
  std::thread service([&] {
    RealSupervisorPlatform system(control);
    service_main(system, control, system);
  });

  const std::string first = wait_for_agents(root, "started :91", 1);
  ASSERT_FALSE(first.empty()) << read_file(root / "agents.log");

  // A crash: a new agent comes after the pause.
  const auto crashed_at = std::chrono::steady_clock::now();
  kill(pid_of(first), SIGKILL);
  const std::string second = wait_for_agents(root, "started :91", 2);
  ASSERT_FALSE(second.empty()) << read_file(root / "agents.log");
  std::printf("replacement agent after %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - crashed_at)
                                         .count()));

  // The console moves to another display: the agent is asked to quit and one starts there.
  std::ofstream(root / "mode") << "deaf\n";
  std::ofstream(root / "etc" / "tolvi-host" / "console") << ":92\n";
  ASSERT_FALSE(wait_for_agents(root, std::to_string(pid_of(second)) + " quit", 1).empty());
  const std::string third = wait_for_agents(root, "started :92", 1);
  ASSERT_FALSE(third.empty()) << read_file(root / "agents.log");

  // A stop with a deaf agent: it is ended after the grace time, and nothing is left.
  control.handle(kControlStop, 0);
  service.join();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(kill(pid_of(third), 0), 0);
  for (const char* line : {"service running", "agent exited",
                           "console moved to session 92; restarting agent", "service stopped"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << " missing in:\n" << log;
  }
}

}  // namespace
}  // namespace tolvi
