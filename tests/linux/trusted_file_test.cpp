#include "platform/linux/trusted_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace tolvi::platform {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

class TrustedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("tolvi-trusted-file-" + std::to_string(getpid()));
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }
  fs::path write(const std::string& name, const std::string& text, mode_t mode = 0644) {
    const fs::path path = folder / name;
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  fs::path folder;
};

// One reader for every file that must be a given account's own: what it refuses, what it says
// and the errno it leaves, for the settings backend's checks.
TEST_F(TrustedFileTest, ReadsOnlyWhatTheTrustAllows) {
  const fs::path own = write("own", "text");
  const fs::path shared = write("shared", "text", 0664);
  const fs::path big = write("big", std::string(100, 'x'));
  fs::create_symlink(own, folder / "link");
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);

  const FileTrust mine{{geteuid()}};
  const FileTrust mine_unshared{{geteuid()}, true};
  const FileTrust small{{geteuid()}, false, 99};
  const FileTrust someone_else{{kNobody}};
  const struct {
    const char* what;
    fs::path path;
    const FileTrust* trust;
    bool read;
    int error;
    std::string why;
  } cases[] = {
      {"own file", own, &mine, true, 0, ""},
      {"through a link", folder / "link", &mine, false, ELOOP, "it is a symbolic link"},
      {"a link, nothing asked", folder / "link", nullptr, true, 0, ""},
      {"a pipe never blocks", folder / "fifo", &mine, false, EACCES, "it is not a regular file"},
      {"another owner's", own, &someone_else, false, EACCES,
       "it belongs to another account (uid " + std::to_string(geteuid()) + ")"},
      {"group may write", shared, &mine_unshared, false, EACCES, "other accounts may write it"},
      {"group may write, allowed", shared, &mine, true, 0, ""},
      {"one byte too many", big, &small, false, EFBIG, "it is too large"},
      {"missing", folder / "missing", &mine, false, ENOENT, ""},
  };
  for (const auto& c : cases) {
    std::string why = "stale";
    errno = 0;
    const std::optional<std::string> text = read_file_checked(c.path, c.trust, why);
    const int error = errno;
    EXPECT_EQ(text.has_value(), c.read) << c.what;
    if (c.read) {
      EXPECT_EQ(text->substr(0, 4), c.path == big ? "xxxx" : "text") << c.what;
    } else {
      EXPECT_EQ(error, c.error) << c.what;
    }
    EXPECT_EQ(why, c.why) << c.what;
  }
  // The console file's trust: root's or our own, nobody else writing it.
  std::string why;
  EXPECT_EQ(read_trusted_file(own, why), "text");
  EXPECT_FALSE(read_trusted_file(shared, why));
}

}  // namespace
}  // namespace tolvi::platform
