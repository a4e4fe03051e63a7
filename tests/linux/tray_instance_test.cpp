// One tray per person, claimed in a folder of their own: never through a link another account
// planted, never in a shared folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/tray.h"

namespace tolvi::platform {
namespace {

namespace fs = std::filesystem;

class TrayInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tolvi-tray-lock-XXXXXX";
    root = mkdtemp(pattern);
    unsetenv("XDG_RUNTIME_DIR");
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root); }
  // claim_tray_instance() in a new process: its exit code is 1 when it got the claim; with
  // `hold` it keeps it (and runs) until killed.
  static pid_t claim_in_child(bool hold) {
    const pid_t child = fork();
    if (child == 0) {
      const bool claimed = claim_tray_instance();
      if (hold) {
        while (true) pause();
      }
      _exit(claimed ? 1 : 0);
    }
    return child;
  }
  static int exit_code(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path root;
};

TEST_F(TrayInstanceTest, WithoutRuntimeFolderTheClaimLivesInThePersonsConfiguration) {
  const pid_t holder = claim_in_child(true);
  const fs::path lock = root / "config" / "tolvi-host" / "tolvi-host-tray.lock";
  for (int i = 0; i < 200 && !fs::exists(lock); ++i) usleep(10000);
  ASSERT_TRUE(fs::exists(lock));
  EXPECT_EQ(fs::status(lock.parent_path()).permissions(), fs::perms(0700));
  usleep(50000);
  EXPECT_EQ(exit_code(claim_in_child(false)), 0);  // a second tray is refused
  kill(holder, SIGKILL);
  exit_code(holder);
  EXPECT_EQ(exit_code(claim_in_child(false)), 1);  // free again once the first is gone
}

TEST_F(TrayInstanceTest, PlantedLinkIsNotFollowed) {
  const fs::path folder = root / "config" / "tolvi-host";
  fs::create_directories(folder);
  const fs::path target = root / "someone-elses-file";
  fs::create_symlink(target, folder / "tolvi-host-tray.lock");
  EXPECT_EQ(exit_code(claim_in_child(false)), 1);  // not stopped by it either
  EXPECT_FALSE(fs::exists(target));
}

}  // namespace
}  // namespace tolvi::platform
