#include "platform/linux/file_settings_backend.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "settings/settings_store.h"

namespace tolvi::platform {
namespace {

namespace fs = std::filesystem;
using S = SettingsScope;

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
void write_all(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}
mode_t mode_of(const fs::path& p) {
  struct stat st {};
  stat(p.c_str(), &st);
  return st.st_mode & 0777;
}

class FileSettingsTest : public ::testing::Test {
 protected:
  static fs::path make_root() {
    char pattern[] = "/tmp/tolvi-settings-XXXXXX";
    return mkdtemp(pattern);
  }
  ~FileSettingsTest() override { fs::remove_all(root); }

  SettingsLocation machine_at(const fs::path& base) {
    return {base / "etc", base / "lib" / "machine.key", base / "xdg" / "tolvi-host.desktop", true};
  }
  SettingsLocation user_at(const fs::path& base) {
    return {base / "config" / "tolvi-host", base / "config" / "tolvi-host" / "user.key",
            base / "config" / "autostart" / "tolvi-host.desktop", false};
  }
  FileSettingsBackend backend_at(const fs::path& base) {
    return FileSettingsBackend(machine_at(base), user_at(base));
  }
  fs::path user_file() { return root / "config" / "tolvi-host" / "settings"; }

  fs::path root = make_root();
  FileSettingsBackend backend{machine_at(root), user_at(root)};
};

TEST_F(FileSettingsTest, ValuesRoundTripAsReadableText) {
  const std::vector<std::uint8_t> blob{0x00, 0x7f, 0xff};
  ASSERT_EQ(backend.write_dword(S::User, "Port", 4294967295u), kErrorSuccess);
  ASSERT_EQ(backend.write_binary(S::User, "Password", blob), kErrorSuccess);
  ASSERT_EQ(backend.write_binary(S::User, "Empty", {}), kErrorSuccess);
  ASSERT_EQ(backend.write_text(S::User, "Status", "a b\\c\nd\t\xC3\xA9"), kErrorSuccess);
  EXPECT_EQ(backend.read_dword(S::User, "Port"), 4294967295u);
  EXPECT_EQ(backend.read_binary(S::User, "Password"), blob);
  EXPECT_EQ(backend.read_binary(S::User, "Empty"), std::vector<std::uint8_t>{});
  EXPECT_EQ(backend.read_text(S::User, "Status"), "a b\\c\nd\t\xC3\xA9");
  // Scopes are separate, and a value of another type reads as missing.
  EXPECT_FALSE(backend.read_dword(S::Machine, "Port"));
  EXPECT_FALSE(backend.read_text(S::User, "Port"));
  EXPECT_FALSE(backend.read_dword(S::User, "Password"));

  const std::string text = read_all(user_file());
  EXPECT_NE(text.find("Port dword 4294967295\n"), std::string::npos);
  EXPECT_NE(text.find("Password binary 007fff\n"), std::string::npos);
  EXPECT_NE(text.find("Status text a b\\\\c\\nd\\t\xC3\xA9\n"), std::string::npos);
}

TEST_F(FileSettingsTest, PermissionsKeepUserFilesPrivate) {
  ASSERT_EQ(backend.write_dword(S::User, "Port", 1), kErrorSuccess);
  ASSERT_EQ(backend.write_dword(S::Machine, "Port", 1), kErrorSuccess);
  EXPECT_EQ(mode_of(user_file()), 0600u);
  EXPECT_EQ(mode_of(user_file().parent_path()), 0700u);
  EXPECT_EQ(mode_of(root / "etc" / "settings"), 0644u);
  ASSERT_TRUE(backend.protect(S::User, {1, 2, 3}));
  ASSERT_TRUE(backend.protect(S::Machine, {1, 2, 3}));
  EXPECT_EQ(mode_of(root / "config" / "tolvi-host" / "user.key"), 0600u);
  EXPECT_EQ(mode_of(root / "lib" / "machine.key"), 0644u);
}

TEST_F(FileSettingsTest, CorruptFilesReadAsDefaultsAndAreKeptBeforeTheFirstWrite) {
  const std::string good = "Port dword 6000\nAllowResolutionChange dword 0\n";
  const struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"garbage", "\x01\x02 not settings at all\n"},
      {"truncated line", good.substr(0, good.size() - 3)},
      {"truncated hex", "Port dword 6000\nPassword binary 0a1\n"},
      {"unknown type", "Port qword 6000\n"},
      {"number too large", "Port dword 4294967296\n"},
      {"repeated name", "Port dword 1\nPort dword 2\n"},
      {"bad escape", "Status text a\\q\n"},
      {"embedded nul", std::string("Port dword 6000\nStatus text a\0b\n", 32)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root);
    write_all(user_file(), c.text);
    SettingsStore store(backend);
    EXPECT_EQ(store.load_port(), kDefaultPort);
    EXPECT_TRUE(store.allow_resolution_change());

    ASSERT_EQ(store.set_allow_resolution_change(false), kErrorSuccess);
    EXPECT_FALSE(store.allow_resolution_change());
    int copies = 0;
    for (const auto& entry : fs::directory_iterator(user_file().parent_path())) {
      if (entry.path().filename().string().rfind("settings.corrupt-", 0) == 0) {
        ++copies;
        EXPECT_EQ(read_all(entry.path()), c.text);
      }
    }
    EXPECT_EQ(copies, 1);
  }
}

TEST_F(FileSettingsTest, WrongTypedValueGivesItsDefaultAlone) {
  write_all(user_file(), "Port text 6000\nAllowResolutionChange dword 0\n");
  SettingsStore store(backend);
  EXPECT_EQ(store.load_port(), kDefaultPort);
  EXPECT_FALSE(store.allow_resolution_change());
}

TEST_F(FileSettingsTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int kPerProcess = 150;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      FileSettingsBackend mine = backend_at(root);
      int failures = 0;
      for (int i = 0; i < kPerProcess; ++i) {
        const std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
        failures += mine.write_dword(S::User, name, std::uint32_t(i)) != kErrorSuccess;
      }
      _exit(failures);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kPerProcess; ++i) {
      const std::string name = "P" + std::to_string(p) + "_" + std::to_string(i);
      ASSERT_EQ(backend.read_dword(S::User, name), std::uint32_t(i)) << name;
    }
  }
}

TEST_F(FileSettingsTest, ProtectedBlobsOpenOnlyIntactAndWithTheirKey) {
  const std::vector<std::uint8_t> secret{'p', 'a', 's', 's'};
  for (S scope : {S::User, S::Machine}) {
    const auto blob = backend.protect(scope, secret);
    ASSERT_TRUE(blob);
    EXPECT_EQ(backend.unprotect(*blob), secret);
    EXPECT_EQ(backend.protect(scope, secret)->size(), blob->size());
    EXPECT_NE(*backend.protect(scope, secret), *blob);  // fresh nonce each time

    auto truncated = *blob;
    truncated.pop_back();
    EXPECT_FALSE(backend.unprotect(truncated));
    for (std::size_t i = 0; i < blob->size(); ++i) {
      auto altered = *blob;
      altered[i] ^= 0x01;
      EXPECT_FALSE(backend.unprotect(altered)) << "byte " << i;
    }
    EXPECT_FALSE(backend.unprotect({}));

    char other_pattern[] = "/tmp/tolvi-other-XXXXXX";
    const fs::path other_root = mkdtemp(other_pattern);
    FileSettingsBackend other = backend_at(other_root);
    ASSERT_TRUE(other.protect(scope, secret));  // other keys exist
    EXPECT_FALSE(other.unprotect(*blob));
    fs::remove_all(other_root);
  }
}

TEST_F(FileSettingsTest, RunEntryIsAnAutostartFile) {
  EXPECT_FALSE(backend.read_run_entry(S::User));
  EXPECT_EQ(backend.write_run_entry(S::User, std::nullopt), kErrorSuccess);  // already off
  ASSERT_EQ(backend.write_run_entry(S::User, "\"/opt/my tolvi/tolvi-host\""), kErrorSuccess);
  EXPECT_EQ(backend.read_run_entry(S::User), "\"/opt/my tolvi/tolvi-host\"");
  const std::string entry = read_all(root / "config" / "autostart" / "tolvi-host.desktop");
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_NE(entry.find("\nExec=\"/opt/my tolvi/tolvi-host\"\n"), std::string::npos);
  EXPECT_FALSE(backend.read_run_entry(S::Machine));
  EXPECT_EQ(backend.write_run_entry(S::User, std::nullopt), kErrorSuccess);
  EXPECT_FALSE(backend.read_run_entry(S::User));
}

TEST_F(FileSettingsTest, DeleteAllRemovesTheScopeOnly) {
  backend.write_dword(S::Machine, "Installed", 1);
  backend.write_dword(S::User, "Port", 6000);
  EXPECT_EQ(backend.delete_all(S::Machine), kErrorSuccess);
  EXPECT_FALSE(backend.read_dword(S::Machine, "Installed"));
  EXPECT_EQ(backend.read_dword(S::User, "Port"), 6000u);
  EXPECT_EQ(backend.delete_all(S::Machine), kErrorFileNotFound);
}

TEST_F(FileSettingsTest, StoreRunsEndToEndOnFiles) {
  SettingsStore store(backend);
  std::uint8_t first[32], second[32];
  ASSERT_TRUE(store.load_identity_key(first));
  ASSERT_TRUE(store.load_identity_key(second));
  EXPECT_EQ(0, std::memcmp(first, second, 32));
  EXPECT_TRUE(store.save_password("file-pw-123"));
  EXPECT_EQ(store.load_password(), "file-pw-123");
  EXPECT_EQ(read_all(user_file()).find("file-pw"), std::string::npos);  // never in plain text
  store.migrate_settings_for_install();
  EXPECT_TRUE(store.is_installed());
  EXPECT_EQ(store.load_password(), "file-pw-123");
  ASSERT_TRUE(store.load_identity_key(second));
  EXPECT_EQ(0, std::memcmp(first, second, 32));
}

}  // namespace
}  // namespace tolvi::platform
