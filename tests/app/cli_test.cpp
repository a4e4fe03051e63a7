// Runs the real tolvi-host executable with private settings and log folders.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/net.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int exit_code = -1;
  std::string output;  // stdout and stderr together, or stdout alone (run_program)
  std::string errors;  // stderr (run_program)
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    char pattern[] = "/tmp/tolvi-cli-XXXXXX";
    home = mkdtemp(pattern);
  }
  ~CliTest() override { fs::remove_all(home); }

  // `wrapper` runs in front of the program (e.g. a private X server for it).
  Result run(const std::string& args, const std::string& wrapper = "") {
    const fs::path out = home / "out.txt";
    // No desktop unless the wrapper gives one: a case that reaches the tray application finds
    // none and says so.
    const std::string environment =
        wrapper.empty() ? "env -u DISPLAY -u WAYLAND_DISPLAY" : wrapper + " env";
    // Installation, should a case reach it, stays inside the test's folder.
    const std::string command = environment + " TOLVI_INSTALL_ROOT='" + (home / "root").string() +
                                "' XDG_CONFIG_HOME='" + (home / "config").string() +
                                "' XDG_STATE_HOME='" + (home / "state").string() + "' '" +
                                TOLVI_HOST_PATH + "' " + args + " >'" + out.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str(), {}};
  }
  // Any of the programs, without a display, stdout and stderr apart.
  Result run_program(const std::string& program, const std::string& args) {
    const fs::path out = home / "out.txt";
    const fs::path err = home / "err.txt";
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all);
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR='" +
                                (home / "run").string() + "' XDG_CONFIG_HOME='" +
                                (home / "config").string() + "' XDG_STATE_HOME='" +
                                (home / "state").string() + "' '" + program + "' " + args + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
  }
  std::string settings() {
    std::ifstream in(home / "config" / "tolvi-host" / "settings");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path home;
};

TEST_F(CliTest, SetMatchFlipsTheStoredSetting) {
  const struct {
    const char* args;
    const char* stored;
  } cases[] = {{"--set-match 1", "AllowResolutionChange dword 1\n"},
               {"--set-match 0", "AllowResolutionChange dword 0\n"},
               {"--set-match 10", "AllowResolutionChange dword 1\n"},
               {"--set-match", "AllowResolutionChange dword 0\n"}};
  for (const auto& c : cases) {
    const Result r = run(c.args);
    EXPECT_EQ(r.exit_code, 0) << c.args << r.output;
    EXPECT_NE(settings().find(c.stored), std::string::npos) << c.args;
  }
}

TEST_F(CliTest, TestHostRejectsBadPortOrShortPasswordWithTwo) {
  const struct {
    const char* args;
    const char* said;
  } cases[] = {{"--test-host 0 secret", "port 0 is out of range (1-65535)"},
               {"--test-host 6000 short", "the password needs at least 6 bytes"},
               {"--test-host x secret", "port x is not a number"},
               {"--test-host 6000", "--test-host needs PORT PASSWORD"},
               {"--test-host", "--test-host needs PORT PASSWORD"}};
  for (const auto& c : cases) {
    const Result r = run(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.args;
    EXPECT_NE(r.output.find(c.said), std::string::npos) << c.args << r.output;
  }
}

// Each program names the one thing wrong with its command line on the first line of stderr,
// then points to --help, and exits with 2; --help itself prints the usage on stdout, exit 0.
TEST_F(CliTest, MistakesAreNamedFirstAndHelpExitsZero) {
  const std::string host = TOLVI_HOST_PATH;
  const std::string client = TOLVI_CLIENT_PATH;
  const std::string viewer = TOLVI_VIEWER_PATH;
  const struct {
    const std::string& program;
    const char* args;
    int exit_code;
    const char* first_line;  // of stderr; for --help, of stdout
  } cases[] = {
      {host, "--test-host 70000 secret123", 2, "tolvi-host: port 70000 is out of range (1-65535)"},
      {host, "--set-scale abc", 2,
       "tolvi-host: --set-scale takes a percentage from 100 to 500 (0: the recommended one), not "
       "abc"},
      {host, "--set-scale 50", 2,
       "tolvi-host: --set-scale takes a percentage from 100 to 500 (0: the recommended one), not "
       "50"},
      {host, "--bogus", 2, "tolvi-host: unknown option --bogus"},
      {host, "--set-match 1 stray", 2, "tolvi-host: unexpected argument stray"},
      {host, "--set-match on", 2, "tolvi-host: --set-match takes 1 or 0, not on"},
      {host, "--help", 0, "Usage: tolvi-host [option]"},
      {client, "--bogus", 2, "tolvi-client: unknown option --bogus"},
      {client, "127.0.0.1:99999 --password pw", 2,
       "tolvi-client: port 99999 is out of range (1-65535)"},
      {client, "127.0.0.1 --password pw --stream 1920 1080", 2,
       "tolvi-client: --stream needs WIDTH HEIGHT FPS"},
      {client, "127.0.0.1", 2, "tolvi-client: --password PW is missing"},
      {client, "", 2, "tolvi-client: HOST[:PORT] is missing (it comes first)"},
      {client, "127.0.0.1 --password pw --ping x", 2,
       "tolvi-client: --ping needs a number from 0 to 2147483647"},
      {client, "127.0.0.1 --password pw --type \u00e9", 2,
       "tolvi-client: --type: the US layout has no key for a character of the text"},
      {client, "--help", 0, "Usage: tolvi-client HOST[:PORT] --password PW [options]"},
      {viewer, "127.0.0.1 --pasword pw", 2, "tolvi-viewer: unknown option --pasword"},
      {viewer, "127.0.0.1 --codec vp9", 2, "tolvi-viewer: --codec needs h264 or hevc"},
      {viewer, "--help", 0, "Usage: tolvi-viewer HOST[:PORT] [options]"},
      // No display: said at once instead of a window nobody sees.
      {viewer, "127.0.0.1 --password pw", 1,
       "tolvi-viewer: cannot open a window: no display to show it on (is DISPLAY set?)"},
  };
  for (const auto& c : cases) {
    const std::string line = c.program.substr(c.program.rfind('/') + 1) + " " + c.args;
    const Result r = run_program(c.program, c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << line << "\n" << r.output << r.errors;
    const std::string& text = c.exit_code == 0 ? r.output : r.errors;
    EXPECT_EQ(text.substr(0, text.find('\n')), c.first_line) << line;
    if (c.exit_code == 2) {
      const std::string program = c.program.substr(c.program.rfind('/') + 1);
      EXPECT_NE(r.errors.find("\nTry '" + program + " --help' for the options.\n"),
                std::string::npos)
          << line;
    }
  }
}

TEST_F(CliTest, TestHostThatCannotListenFailsWithOne) {
  int error = 0;
  tolvi::platform::Socket taken = tolvi::platform::listen_dual_stack(0, 4, error);
  ASSERT_TRUE(taken.valid()) << error;
  const std::string port = std::to_string(taken.local_port());
  const Result r = run("--test-host " + port + " secret-pw");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("cannot listen on port " + port), std::string::npos) << r.output;
}

TEST_F(CliTest, DispatcherOrderDecidesWhichOptionWins) {
  // Without an option the tray is chosen, which says why it cannot run here. (That "--service"
  // wins over "--agent" is shown by the service's end-to-end test, and that "--install" wins over
  // "--uninstall" by the installation test.)
  const struct {
    const char* args;
    const char* chosen;
  } cases[] = {{"--unknown", "tolvi-host: unknown option --unknown"}, {"", "tray: no desktop"}};
  for (const auto& c : cases) {
    const Result r = run(c.args);
    EXPECT_NE(r.output.find(c.chosen), std::string::npos) << c.args << ": " << r.output;
  }
  // The scaling command comes first and exits with 0 (with or without a display to report).
  const Result scale = run("--get-scale --install");
  EXPECT_EQ(scale.exit_code, 0);
  EXPECT_EQ(scale.output.find("install"), std::string::npos) << scale.output;
}

TEST_F(CliTest, ShowPasswordCreatesOnceThenRepeatsIt) {
  const Result first = run("--show-password");
  EXPECT_EQ(first.exit_code, 0);
  const std::string password =
      first.output.substr(first.output.rfind('\n', first.output.size() - 2) + 1);
  EXPECT_EQ(password.size(), 11u) << first.output;  // ten characters and a newline
  EXPECT_NE(first.output.find("generated a new password (see tray menu)"), std::string::npos);
  const Result second = run("--show-password");
  EXPECT_EQ(second.output, password);
}

TEST_F(CliTest, HelpAndVersionExitZero) {
  const Result version = run("--version");
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output, "1.0 (6)\n");
  const Result help = run("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("--test-host PORT PASSWORD"), std::string::npos);
}

TEST_F(CliTest, OneShotCommandsLogToTheUserFolder) {
  run("--show-password");
  std::ifstream in(home / "state" / "tolvi" / "tolvi-host.log");
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_NE(line.find("generated a new password (see tray menu)"), std::string::npos) << line;
}

// The media diagnostic walks capture, conversion and encoding on a real (virtual) desktop and
// says which step fails when there is no desktop.
TEST_F(CliTest, SelftestMediaReportsEachStep) {
  const Result with_desktop =
      run("--selftest-media", std::string("bash '") + TOLVI_WITH_XVFB + "'");
  EXPECT_EQ(with_desktop.exit_code, 0) << with_desktop.output;
  EXPECT_NE(with_desktop.output.find("frame          ok: 640x480"), std::string::npos)
      << with_desktop.output;
  EXPECT_NE(with_desktop.output.find("converter      ok: 640x480 -> NV12 640x480"),
            std::string::npos)
      << with_desktop.output;
  EXPECT_NE(with_desktop.output.find("media self-test: passed"), std::string::npos);

  const Result without = run("--selftest-media", "env -u DISPLAY");
  EXPECT_EQ(without.exit_code, 1) << without.output;
  EXPECT_NE(without.output.find("capture        FAILED"), std::string::npos) << without.output;
  EXPECT_NE(without.output.find("media self-test: FAILED"), std::string::npos);
}

}  // namespace
