#include "platform/linux/file_settings_backend.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

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

TEST_F(FileSettingsTest, PermissionsKeepSecretsToTheirOwner) {
  ASSERT_EQ(backend.write_dword(S::User, "Port", 1), kErrorSuccess);
  ASSERT_EQ(backend.write_dword(S::Machine, "Port", 1), kErrorSuccess);
  EXPECT_EQ(mode_of(user_file()), 0600u);
  EXPECT_EQ(mode_of(user_file().parent_path()), 0700u);
  EXPECT_EQ(mode_of(root / "etc" / "settings"), 0600u);
  EXPECT_EQ(mode_of(root / "etc" / "public-settings"), 0644u);
  ASSERT_TRUE(backend.protect(S::User, {1, 2, 3}));
  ASSERT_TRUE(backend.protect(S::Machine, {1, 2, 3}));
  EXPECT_EQ(mode_of(root / "config" / "tolvi-host" / "user.key"), 0600u);
  EXPECT_EQ(mode_of(root / "lib" / "machine.key"), 0600u);
  EXPECT_EQ(mode_of(root / "lib"), 0700u);

  // Files an older version left open to everyone are closed at the next use.
  chmod((root / "lib" / "machine.key").c_str(), 0644);
  write_all(root / "etc" / "settings", read_all(root / "etc" / "settings"));
  chmod((root / "etc" / "settings").c_str(), 0644);
  ASSERT_TRUE(backend.protect(S::Machine, {1}));
  EXPECT_EQ(mode_of(root / "lib" / "machine.key"), 0600u);
  ASSERT_EQ(backend.write_text(S::Machine, "Status", ""), kErrorSuccess);
  EXPECT_EQ(mode_of(root / "etc" / "settings"), 0600u);
}

// Other accounts read only the machine's public values, from the copy that every write keeps;
// the sealed secrets stay in the file they cannot open.
TEST_F(FileSettingsTest, OtherAccountsReadOnlyTheMachinesPublicValues) {
  ASSERT_EQ(backend.write_dword(S::Machine, "Installed", 1), kErrorSuccess);
  ASSERT_EQ(backend.write_dword(S::Machine, "Port", 6001), kErrorSuccess);
  ASSERT_EQ(backend.write_binary(S::Machine, "Password", {1, 2, 3}), kErrorSuccess);
  ASSERT_EQ(backend.write_text(S::Machine, "Status", "10.0.0.2"), kErrorSuccess);
  const std::string copy = read_all(root / "etc" / "public-settings");
  EXPECT_NE(copy.find("Installed dword 1"), std::string::npos);
  EXPECT_NE(copy.find("Status text 10.0.0.2"), std::string::npos);
  EXPECT_EQ(copy.find("Password"), std::string::npos);

  if (geteuid() != 0) GTEST_SKIP() << "reading as another account needs root";
  fs::permissions(root, fs::perms(0755));
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // As `nobody`: the settings file and the key are closed, the public values are not.
    if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(10);
    FileSettingsBackend other(machine_at(root), user_at(root / "nobody"));
    if (std::ifstream(root / "etc" / "settings").is_open()) _exit(11);
    if (std::ifstream(root / "lib" / "machine.key").is_open()) _exit(12);
    if (other.read_dword(S::Machine, "Installed") != 1u) _exit(13);
    if (other.read_dword(S::Machine, "Port") != 6001u) _exit(14);
    if (other.read_text(S::Machine, "Status") != "10.0.0.2") _exit(15);
    if (other.read_binary(S::Machine, "Password")) _exit(16);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

std::vector<fs::path> corrupt_copies(const fs::path& folder) {
  std::vector<fs::path> copies;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind("settings.corrupt-", 0) == 0) {
      copies.push_back(entry.path());
    }
  }
  return copies;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A hand-edited machine file: one damaged line must cost only its own value, never the secrets,
// and a later write (the agent's status) must keep the damaged line where it was.
TEST_F(FileSettingsTest, DamagedLinesCostOnlyTheirOwnValue) {
  std::vector<std::pair<std::string, int>> notices;
  const auto noticing_backend = [&] {
    return FileSettingsBackend(
        machine_at(root), user_at(root),
        [&](const std::string& file, int line) { notices.emplace_back(file, line); });
  };
  const fs::path machine_file = root / "etc" / "settings";
  std::uint8_t identity[32];
  {
    SettingsStore store(backend);
    ASSERT_EQ(backend.write_dword(S::Machine, "Installed", 1), kErrorSuccess);
    ASSERT_TRUE(store.save_password("admin-pw-1"));
    ASSERT_TRUE(store.load_identity_key(identity));
    ASSERT_EQ(backend.write_dword(S::Machine, "Port", 6000), kErrorSuccess);
    ASSERT_EQ(store.set_allow_resolution_change(false), kErrorSuccess);
  }
  const std::string good = read_all(machine_file);
  const std::string port_line = "Port dword 6000\n";
  ASSERT_NE(good.find(port_line), std::string::npos);
  const std::size_t second_line = good.find('\n') + 1;
  std::string crlf;
  for (char c : good) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

  const struct Case {
    const char* what;
    std::string text;
    bool allow;    // AllowResolutionChange as it reads afterwards
    int bad_line;  // the first unreadable line, 0 for none
  } cases[] = {
      {"trailing blank", replaced(good, port_line, "Port dword 6000 \n"), false, 0},
      {"blanks around and between fields", replaced(good, port_line, " \tPort  dword\t6000\t\n"),
       false, 0},
      {"CR LF line ends", crlf, false, 0},
      {"duplicated names, the last counts",
       "Port dword 1\nPassword binary 00\nIdentity binary 0102\n" + good, false, 0},
      {"odd hex length", good + "Spare binary 0a1\n", false, 8},
      {"garbage between good lines",
       good.substr(0, second_line) + "%%% not a setting\n[section]\nPort dword 60x0\n" +
           good.substr(second_line),
       false, 2},
      {"truncated last line", good + "AllowResolutionChange dwo", false, 8},
      {"last line without its end", good.substr(0, good.size() - 1), false, 0},
      {"unknown type, bad escape, number too large",
       good + "Port qword 7000\nStatus text a\\q\nPort dword 4294967296\n", false, 8},
      {"wrong type for one name", good + "AllowResolutionChange text 0\n", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    notices.clear();
    write_all(machine_file, c.text);
    FileSettingsBackend fresh = noticing_backend();
    SettingsStore store(fresh);
    std::uint8_t key[32];
    EXPECT_EQ(store.load_password(), "admin-pw-1");
    ASSERT_TRUE(store.load_identity_key(key));
    EXPECT_EQ(0, std::memcmp(key, identity, 32));
    EXPECT_EQ(store.load_port(), 6000);
    EXPECT_EQ(store.allow_resolution_change(), c.allow);

    store.save_status("Connected");
    const bool crlf_file = c.text.find("\r\n") != std::string::npos;
    const std::string end = crlf_file ? "\r\n" : "\n";
    std::string expected = c.text;
    if (expected.back() != '\n') expected += end;
    EXPECT_EQ(read_all(machine_file), expected + "Status text Connected" + end);
    EXPECT_EQ(store.load_status(), "Connected");
    EXPECT_EQ(store.load_password(), "admin-pw-1");
    EXPECT_TRUE(corrupt_copies(machine_file.parent_path()).empty());
    if (c.bad_line) {
      ASSERT_EQ(notices.size(), 1u);  // once, however often the file is read
      EXPECT_EQ(notices[0].first, machine_file.string());
      EXPECT_EQ(notices[0].second, c.bad_line);
    } else {
      EXPECT_TRUE(notices.empty());
    }
  }
}

// NUL bytes mean the file is not text a person wrote. Its readable lines still count; the first
// write keeps a copy of it and writes back only what could be read.
TEST_F(FileSettingsTest, FileThatIsNotTextIsCopiedAsideAtTheFirstWrite) {
  static constexpr char kText[] = "Port dword 6000\n\0\0\x01\x02\nAllowResolutionChange dword 0\n";
  const std::string text(kText, sizeof kText - 1);
  write_all(user_file(), text);
  SettingsStore store(backend);
  EXPECT_EQ(store.load_port(), 6000);
  EXPECT_FALSE(store.allow_resolution_change());

  ASSERT_EQ(backend.write_dword(S::User, "Extra", 1), kErrorSuccess);
  auto copies = corrupt_copies(user_file().parent_path());
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(read_all(copies[0]), text);
  EXPECT_EQ(read_all(user_file()),
            "Port dword 6000\nAllowResolutionChange dword 0\nExtra dword 1\n");
  fs::remove(copies[0]);
  ASSERT_EQ(store.set_allow_resolution_change(true), kErrorSuccess);
  EXPECT_TRUE(corrupt_copies(user_file().parent_path()).empty());
  EXPECT_EQ(store.load_port(), 6000);
  EXPECT_TRUE(store.allow_resolution_change());
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
  EXPECT_FALSE(fs::exists(root / "etc" / "public-settings"));
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

// Everything under `folder` as it stands: contents (a link's target), owner, group and mode.
using Snapshot = std::map<std::string, std::tuple<std::string, uid_t, gid_t, mode_t>>;
Snapshot snapshot(const fs::path& folder) {
  Snapshot files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    struct stat st {};
    lstat(entry.path().c_str(), &st);
    std::string contents;
    if (S_ISREG(st.st_mode)) contents = read_all(entry.path());
    if (S_ISLNK(st.st_mode)) contents = fs::read_symlink(entry.path()).string();
    files[entry.path().string()] = {contents, st.st_uid, st.st_gid, st.st_mode};
  }
  return files;
}

// The account the fixture home belongs to: a stranger when the tests run as root (as the
// installation does), so ownership checks are real; else the tests' own account.
constexpr uid_t kStrangerUid = 4242;
uid_t fixture_owner() { return getuid() == 0 ? kStrangerUid : getuid(); }
void give_to_owner(const fs::path& folder) {
  if (getuid() != 0) return;
  lchown(folder.c_str(), kStrangerUid, kStrangerUid);
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    lchown(entry.path().c_str(), kStrangerUid, kStrangerUid);
  }
}

// A person sets a password in the tray, then installs through pkexec or sudo: the copy running
// as root must take that person's settings, and leave their files as they were except for the
// autostart entry, which would shadow the machine-wide one.
TEST_F(FileSettingsTest, InstallOnBehalfOfAPersonTakesTheirSettingsAndKeepsTheirFiles) {
  const fs::path home = root / "home";
  const uid_t person = fixture_owner();
  std::uint8_t identity[32], installed_identity[32];
  {
    SettingsLocation own = FileSettingsBackend::borrowed_user_location(person, home / ".config");
    own.borrowed_from.reset();
    FileSettingsBackend as_person(machine_at(root / "unused"), own);
    SettingsStore store(as_person);
    ASSERT_TRUE(store.save_password("persons-pw"));
    ASSERT_EQ(store.set_allow_resolution_change(false), kErrorSuccess);
    ASSERT_TRUE(store.load_identity_key(identity));
    ASSERT_EQ(as_person.write_run_entry(S::User, "\"/home/me/tolvi-host\""), kErrorSuccess);
  }
  write_all(home / ".config" / "autostart" / "other.desktop", "[Desktop Entry]\n");
  give_to_owner(home);
  const fs::path entry = home / ".config" / "autostart" / "tolvi-host.desktop";
  Snapshot before = snapshot(home);
  ASSERT_EQ(before.erase(entry.string()), 1u);

  FileSettingsBackend as_root(
      machine_at(root), FileSettingsBackend::borrowed_user_location(person, home / ".config"));
  SettingsStore store(as_root);
  store.migrate_settings_for_install();
  EXPECT_TRUE(store.is_installed());
  EXPECT_EQ(store.load_password(), "persons-pw");
  EXPECT_FALSE(store.allow_resolution_change());
  ASSERT_TRUE(store.load_identity_key(installed_identity));
  EXPECT_EQ(0, std::memcmp(identity, installed_identity, 32));
  EXPECT_EQ(snapshot(home), before);
}

// What a borrowed scope must never do: read through a link, read what its account does not
// own, block on a pipe, write, make a key, or remove an entry through a linked folder.
TEST_F(FileSettingsTest, BorrowedScopeReadsOnlyTheOwnersFilesAndWritesNothing) {
  const fs::path home = root / "home";
  const fs::path config = home / ".config";
  const fs::path elsewhere = root / "elsewhere";
  const uid_t person = fixture_owner();
  const auto borrowed = [&] {
    return FileSettingsBackend(
        machine_at(root), FileSettingsBackend::borrowed_user_location(person, home / ".config"));
  };
  write_all(elsewhere / "settings", "Port dword 6000\n");
  write_all(elsewhere / "autostart" / "tolvi-host.desktop", "[Desktop Entry]\nExec=x\n");
  fs::create_directories(config / "tolvi-host");
  give_to_owner(home);

  const std::vector<std::pair<const char*, std::function<void(const fs::path&)>>> unreadable{
      {"link", [&](const fs::path& at) { fs::create_symlink(elsewhere / "settings", at); }},
      {"pipe", [](const fs::path& at) { mkfifo(at.c_str(), 0600); }},
      {"another owner's",
       [&](const fs::path& at) {
         write_all(at, "Port dword 6000\n");
         lchown(at.c_str(), person + 1, person + 1);
       }},
  };
  for (const auto& [what, make] : unreadable) {
    if (getuid() != 0 && std::string(what) == "another owner's") continue;  // needs chown
    const fs::path file = config / "tolvi-host" / "settings";
    fs::remove(file);
    make(file);
    EXPECT_FALSE(borrowed().read_dword(S::User, "Port")) << what;
  }
  fs::remove(config / "tolvi-host" / "settings");
  write_all(config / "tolvi-host" / "settings", "Port dword 6000\n");
  give_to_owner(home);
  FileSettingsBackend backend = borrowed();
  EXPECT_EQ(backend.read_dword(S::User, "Port"), 6000u);

  fs::create_directory_symlink(elsewhere / "autostart", config / "autostart");
  const Snapshot before = snapshot(root);
  EXPECT_EQ(backend.write_dword(S::User, "Port", 1), kErrorAccessDenied);
  EXPECT_EQ(backend.write_run_entry(S::User, "x"), kErrorAccessDenied);
  EXPECT_NE(backend.write_run_entry(S::User, std::nullopt), kErrorSuccess);
  EXPECT_EQ(backend.delete_all(S::User), kErrorAccessDenied);
  EXPECT_FALSE(backend.protect(S::User, {1, 2, 3}));
  EXPECT_EQ(snapshot(root), before);
}

TEST(ElevatingUser, PkexecBeforeSudoAndNeverRoot) {
  const struct {
    const char* pkexec;
    const char* sudo;
    std::optional<uid_t> user;
  } cases[] = {
      {"1000", "1001", 1000u},          {nullptr, "1001", 1001u},
      {nullptr, nullptr, std::nullopt}, {"0", "1001", std::nullopt},
      {"", "1001", std::nullopt},       {"10x", nullptr, std::nullopt},
      {"-5", nullptr, std::nullopt},    {"99999999999", nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileSettingsBackend::elevating_user(c.pkexec, c.sudo), c.user)
        << (c.pkexec ? c.pkexec : "-") << " " << (c.sudo ? c.sudo : "-");
  }
}

// The configuration folder is taken from the asking process only when that process is the
// account's own and names an absolute folder.
TEST_F(FileSettingsTest, ConfigHomeComesFromTheAccountsOwnProcess) {
  using namespace std::string_literals;
  const struct {
    const char* status;
    std::string environment;
    std::optional<fs::path> config_home;
  } cases[] = {
      {"Name:\ttolvi-host\nUid:\t1000\t1000\t1000\t1000\n",
       "HOME=/home/x\0XDG_CONFIG_HOME=/home/x/cfg\0LANG=C"s, "/home/x/cfg"},
      {"Uid:\t1000\t0\t0\t0\n", "XDG_CONFIG_HOME=/c"s, "/c"},
      {"Name:\tsh\nUid:\t1001\t1000\t1000\t1000\n", "XDG_CONFIG_HOME=/c"s, std::nullopt},
      {"Name:\tsh\nUid:\t1000\t1000\t1000\t1000\n", "XDG_CONFIG_HOME=cfg\0XDG_CONFIG_HOME="s,
       std::nullopt},
      {"Name:\tsh\nUid:\t1000\t1000\t1000\t1000\n", "HOME=/home/x"s, std::nullopt},
  };
  for (const auto& c : cases) {
    write_all(root / "proc" / "status", c.status);
    write_all(root / "proc" / "environ", c.environment);
    EXPECT_EQ(FileSettingsBackend::config_home_of_process(root / "proc", 1000), c.config_home)
        << c.status;
  }
  EXPECT_FALSE(FileSettingsBackend::config_home_of_process(root / "no-such-process", 1000));
}

// As root with pkexec's variable naming an account, the user scope is that account's home,
// borrowed; without it, root's own.
TEST(ElevatingUser, RootActingForAnAccountBorrowsItsUserScope) {
  if (geteuid() != 0) GTEST_SKIP() << "only root acts for another account";
  const passwd* account = nullptr;
  setpwent();
  while ((account = getpwent()) && account->pw_uid == 0) {
  }
  ASSERT_NE(account, nullptr);
  const uid_t uid = account->pw_uid;
  const fs::path home = account->pw_dir;
  endpwent();
  const char* sudo = std::getenv("SUDO_UID");  // the tests themselves may run under sudo
  const std::optional<std::string> sudo_uid =
      sudo ? std::optional<std::string>(sudo) : std::nullopt;
  unsetenv("SUDO_UID");
  setenv("PKEXEC_UID", std::to_string(uid).c_str(), 1);
  const SettingsLocation borrowed = FileSettingsBackend::default_user_location();
  unsetenv("PKEXEC_UID");
  const SettingsLocation own = FileSettingsBackend::default_user_location();
  if (sudo_uid) setenv("SUDO_UID", sudo_uid->c_str(), 1);
  EXPECT_EQ(borrowed.borrowed_from, uid);
  // The tests' parent (ctest or a shell) is not the account's, so its environment is not taken.
  EXPECT_EQ(borrowed.folder, home / ".config" / "tolvi-host");
  EXPECT_FALSE(own.borrowed_from);
}

}  // namespace
}  // namespace tolvi::platform
