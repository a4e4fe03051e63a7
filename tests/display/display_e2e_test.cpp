// Display matching end to end: tolvi-host on a private Xvfb, driven by tolvi-client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "platform/net.h"
#include "protocol/message_types.h"
#include "stream_messages.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/xvfb_desktop.h"

namespace tolvi {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using Size = std::pair<unsigned, unsigned>;

constexpr char kPassword[] = "display-e2e-secret";

// Polls for something another process does; the bound only keeps a failure from hanging.
bool eventually(const std::function<bool()>& done, int seconds = 20) {
  return testing::eventually(done, std::chrono::seconds(seconds));
}

class DisplayE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(desktop.ready());
    char pattern[] = "/tmp/tolvi-display-e2e-XXXXXX";
    home = mkdtemp(pattern);
  }
  void TearDown() override {
    for (pid_t pid : children) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (!HasFailure()) fs::remove_all(home);
  }

  // Starts a program with the test's display and private settings and log folders; its
  // standard output and error go to `output`.
  pid_t start(const std::vector<std::string>& args, const fs::path& output) {
    std::vector<std::string> env = testing::inherited_environment({"DISPLAY=", "XDG_"});
    env.push_back("DISPLAY=" + desktop.name());
    env.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
    env.push_back("XDG_STATE_HOME=" + (home / "state").string());
    const pid_t pid = testing::spawn_with_output(args, env, output.string());
    if (pid > 0) children.push_back(pid);
    return pid;
  }
  int finish(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    std::erase(children, pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int run(const std::vector<std::string>& args, const fs::path& output) {
    return finish(start(args, output));
  }

  // A test host on a free port; false when it did not come up.
  bool start_host() {
    int error = 0;
    platform::Socket probe = platform::listen_dual_stack(0, 1, error);
    if (!probe.valid()) return false;
    port = std::to_string(probe.local_port());
    probe = platform::Socket();
    host = start({TOLVI_HOST_PROGRAM, "--test-host", port, kPassword}, host_log());
    return eventually([&] { return host_text().find("listening on port") != std::string::npos; });
  }
  std::vector<std::string> client(std::vector<std::string> extra) {
    std::vector<std::string> args = {TOLVI_CLIENT_PROGRAM, "127.0.0.1:" + port, "--password",
                                     kPassword};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  fs::path host_log() const { return home / "host.txt"; }
  std::string host_text() const { return testing::read_text_file(host_log().string()); }

  testing::XvfbDesktop desktop;
  fs::path home;
  std::vector<pid_t> children;
  std::string port;
  pid_t host = -1;
};

TEST_F(DisplayE2eTest, MatchingClientGetsTheDisplaySizeUntilTheSessionEnds) {
  ASSERT_TRUE(start_host()) << host_text();
  const fs::path out = home / "client.txt";
  EXPECT_EQ(
      run(client({"--stream", "1280", "800", "30", "--match", "--frames", "2", "--no-decode"}),
          out),
      0)
      << testing::read_text_file(out.string());
  EXPECT_THAT(testing::read_text_file(out.string()), HasSubstr("1280x800 (desktop 1280x800)"));
  ASSERT_TRUE(eventually([&] { return host_text().find("session ended") != std::string::npos; }))
      << host_text();
  const std::string log = host_text();
  EXPECT_THAT(log, HasSubstr("display mode -> 1280x800 @60Hz"));
  ASSERT_NE(log.find("display mode restored"), std::string::npos) << log;
  EXPECT_LT(log.find("display mode restored"), log.find("session ended"));
  EXPECT_EQ(desktop.size(), Size(1920, 1080));
}

// Sends a 1280x800 StreamConfig and returns the desktop width of the StreamInfo that answers.
std::uint32_t configure(client::ClientConnection& connection, bool match) {
  client::StreamRequest request;
  request.width = 1280;
  request.height = 800;
  request.fps = 30;
  request.match_resolution = match;
  if (!connection.send(code(MessageType::StreamConfig), client::stream_config_payload(request)))
    return 0;
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
  while (connection.receive(type, payload)) {
    client::StreamInfo info;
    if (type == code(MessageType::StreamInfo) && client::parse_stream_info(payload, info))
      return info.desktop_width;
  }
  return 0;
}

TEST_F(DisplayE2eTest, ConfigurationWithoutMatchingGivesTheDisplayBackAtOnce) {
  ASSERT_TRUE(start_host()) << host_text();
  client::ClientConnection connection(
      platform::connect_to("127.0.0.1", static_cast<std::uint16_t>(std::stoi(port))));
  ASSERT_EQ(client::client_handshake(connection, kPassword),
            client::HandshakeResult::Authenticated);
  connection.set_receive_timeout(std::chrono::milliseconds(20000));
  EXPECT_EQ(configure(connection, true), 1280u);
  EXPECT_EQ(desktop.size(), Size(1280, 800));
  EXPECT_EQ(configure(connection, false), 1920u);
  EXPECT_EQ(desktop.size(), Size(1920, 1080));
  const std::string log = host_text();
  EXPECT_THAT(log, HasSubstr("display mode restored"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("session ended")));
}

TEST_F(DisplayE2eTest, HostKilledMidSessionGetsTheDisplayBack) {
  ASSERT_TRUE(start_host()) << host_text();
  start(client({"--stream", "1280", "800", "30", "--match", "--hold", "60", "--no-decode"}),
        home / "client.txt");
  ASSERT_TRUE(eventually([&] { return desktop.size() == Size(1280, 800); })) << host_text();
  kill(host, SIGKILL);
  finish(host);
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return desktop.size() == Size(1920, 1080); })) << host_text();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  // A figure for the record; the benchmark reports it too.
  std::printf("display back %.3f s after SIGKILL\n", seconds);
  EXPECT_TRUE(
      eventually([&] { return host_text().find("display mode restored") != std::string::npos; }));
}

TEST_F(DisplayE2eTest, MatchingForbiddenBySettingChangesNothing) {
  ASSERT_EQ(run({TOLVI_HOST_PROGRAM, "--set-match", "0"}, home / "set.txt"), 0);
  ASSERT_TRUE(start_host()) << host_text();
  const fs::path out = home / "client.txt";
  EXPECT_EQ(
      run(client({"--stream", "1280", "800", "30", "--match", "--frames", "2", "--no-decode"}),
          out),
      0);
  EXPECT_THAT(testing::read_text_file(out.string()), HasSubstr("(desktop 1920x1080)"));
  EXPECT_EQ(desktop.size(), Size(1920, 1080));
  EXPECT_THAT(host_text(), ::testing::Not(HasSubstr("display mode ->")));
}

TEST_F(DisplayE2eTest, ScaleCommandsRoundTripThroughXftDpi) {
  const fs::path out = home / "scale.txt";
  EXPECT_EQ(run({TOLVI_HOST_PROGRAM, "--set-scale", "150"}, out), 0);
  EXPECT_THAT(testing::read_text_file(out.string()),
              HasSubstr("scale before: current 100%, recommended 100%, allowed 100%..500%"));
  EXPECT_THAT(testing::read_text_file(out.string()),
              HasSubstr("--set-scale 150: ok; current 150%, recommended 100%, "
                        "allowed 100%..500%"));
  // Made from the command line, the change stays.
  EXPECT_THAT(desktop.resources(), HasSubstr("Xft.dpi:\t144"));
  EXPECT_EQ(run({TOLVI_HOST_PROGRAM, "--get-scale"}, out), 0);
  EXPECT_THAT(testing::read_text_file(out.string()), HasSubstr("scale before: current 150%"));
  EXPECT_EQ(run({TOLVI_HOST_PROGRAM, "--set-scale", "0"}, out), 0);
  EXPECT_THAT(testing::read_text_file(out.string()), HasSubstr("--set-scale 0: ok; current 100%"));
}

}  // namespace
}  // namespace tolvi
