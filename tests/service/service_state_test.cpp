// What a signed-in person's tray learns about the service on Linux: installed when a unit (the
// installer's or a package's) is enabled, running while a service process holds its marker.
#include "platform/linux/service_state.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/tray.h"

namespace tolvi::platform {
namespace {

namespace fs = std::filesystem;

class ServiceStateTest : public ::testing::Test {
 protected:
  ServiceStateTest() { setenv("TOLVI_INSTALL_ROOT", root.c_str(), 1); }
  ~ServiceStateTest() override {
    unsetenv("TOLVI_INSTALL_ROOT");
    fs::remove_all(root);
  }
  void make(const std::string& path) {
    fs::create_directories((root / path.substr(1)).parent_path());
    std::ofstream(root / path.substr(1)) << "[Unit]\n";
  }
  void link(const std::string& path, const std::string& target) {
    fs::create_directories((root / path.substr(1)).parent_path());
    fs::create_symlink(target, root / path.substr(1));
  }
  static fs::path make_root() {
    char pattern[] = "/tmp/tolvi-service-state-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) std::abort();
    return made;
  }
  const fs::path root = make_root();
};

TEST_F(ServiceStateTest, InstalledMeansAUnitAndTheLinkThatEnablesIt) {
  const struct {
    const char* name;
    bool written_unit, package_unit, enabled, installed;
  } cases[] = {
      {"nothing", false, false, false, false},
      {"written, not enabled", true, false, false, false},
      {"written and enabled", true, false, true, true},
      {"packaged and enabled", false, true, true, true},
      {"packaged, not enabled", false, true, false, false},
      {"a link left without a unit", false, false, true, false},
  };
  for (const auto& c : cases) {
    fs::remove_all(root);
    fs::create_directories(root);
    if (c.written_unit) make(kServiceUnitFile);
    if (c.package_unit) make(kPackageServiceUnitFile);
    // The link's target is the installed system's path, which need not resolve here.
    if (c.enabled) link(kServiceUnitLink, kServiceUnitFile);
    EXPECT_EQ(is_service_installed(), c.installed) << c.name;
  }
}

TEST_F(ServiceStateTest, RunningWhileAServiceHoldsItsMarkerAndNotAfter) {
  EXPECT_FALSE(is_service_running());  // no marker at all
  {
    const ServiceMarker marker;
    ASSERT_TRUE(marker.valid());
    EXPECT_TRUE(is_service_running());
    // A second service cannot take the mark the first one holds.
    EXPECT_FALSE(ServiceMarker().valid());
  }
  // The file stays behind, unlocked: a service that ended (or was killed) is not running.
  EXPECT_TRUE(fs::exists(root / fs::path(kServiceMarker).relative_path()));
  EXPECT_FALSE(is_service_running());
}

TEST_F(ServiceStateTest, AMarkerOthersCouldHaveWrittenDoesNotCount) {
  const ServiceMarker marker;
  ASSERT_TRUE(marker.valid());
  const fs::path file = root / fs::path(kServiceMarker).relative_path();
  fs::permissions(file.parent_path(), fs::perms::others_write, fs::perm_options::add);
  EXPECT_FALSE(is_service_running());
  fs::permissions(file.parent_path(), fs::perms::others_write, fs::perm_options::remove);
  EXPECT_TRUE(is_service_running());
  if (geteuid() == 0) {
    // Another account's file, though locked, is not the root service's.
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(is_service_running());
  }
}

}  // namespace
}  // namespace tolvi::platform
