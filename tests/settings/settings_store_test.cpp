#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/run_mode.h"
#include "fakes/fake_settings_backend.h"

namespace tolvi {
namespace {

using S = SettingsScope;

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_mode = RunMode::Tray;
    password_override.clear();
    port_override = 0;
  }
  void TearDown() override { SetUp(); }
  void install() { backend.of(S::Machine)["Installed"] = std::uint32_t{1}; }

  FakeSettingsBackend backend;
  SettingsStore store{backend};
};

TEST_F(SettingsStoreTest, InstalledOnlyWhenMachineValueIsExactlyOneDword) {
  struct Case {
    std::optional<FakeSettingsBackend::Value> installed;
    bool expected;
  } cases[] = {{std::nullopt, false},
               {std::uint32_t{1}, true},
               {std::uint32_t{2}, false},
               {std::uint32_t{0}, false},
               {std::string("1"), false}};
  for (const auto& c : cases) {
    backend.of(S::Machine).clear();
    if (c.installed) backend.of(S::Machine)["Installed"] = *c.installed;
    EXPECT_EQ(store.is_installed(), c.expected);
  }
  // "Installed" in the user scope does not count.
  backend.of(S::Machine).clear();
  backend.of(S::User)["Installed"] = std::uint32_t{1};
  EXPECT_FALSE(store.is_installed());
}

TEST_F(SettingsStoreTest, ValuesFollowTheSettingsScope) {
  backend.of(S::User)["Port"] = std::uint32_t{6001};
  backend.of(S::Machine)["Port"] = std::uint32_t{6002};
  EXPECT_EQ(store.load_port(), 6001);
  EXPECT_EQ(store.set_allow_resolution_change(false), kErrorSuccess);
  EXPECT_EQ(backend.read_dword(S::User, "AllowResolutionChange"), 0u);

  install();
  EXPECT_EQ(store.load_port(), 6002);
  store.set_allow_resolution_change(true);
  EXPECT_EQ(backend.read_dword(S::Machine, "AllowResolutionChange"), 1u);
  EXPECT_TRUE(store.save_password("machine-pw"));
  EXPECT_EQ(backend.secret(S::Machine, "Password"), "machine-pw");
  EXPECT_EQ(backend.read_binary(S::Machine, "Password")->at(1), 0);  // machine protection
}

TEST_F(SettingsStoreTest, PortDefaultsLowBitsAndOverride) {
  struct Case {
    std::optional<FakeSettingsBackend::Value> stored;
    std::uint16_t override_port;
    std::uint16_t expected;
  } cases[] = {{std::nullopt, 0, 5960},
               {std::uint32_t{70000}, 0, 4464},
               {std::uint32_t{6000}, 0, 6000},
               {std::string("6000"), 0, 5960},
               {std::uint32_t{70000}, 6000, 6000}};
  for (const auto& c : cases) {
    backend.of(S::User).erase("Port");
    if (c.stored) backend.of(S::User)["Port"] = *c.stored;
    port_override = c.override_port;
    EXPECT_EQ(store.load_port(), c.expected);
  }
}

TEST_F(SettingsStoreTest, AllowResolutionChangeFalseOnlyForStoredZero) {
  struct Case {
    std::optional<FakeSettingsBackend::Value> stored;
    bool expected;
  } cases[] = {{std::nullopt, true},
               {std::uint32_t{0}, false},
               {std::uint32_t{7}, true},
               {std::vector<std::uint8_t>{0}, true}};
  for (const auto& c : cases) {
    backend.of(S::User).erase("AllowResolutionChange");
    if (c.stored) backend.of(S::User)["AllowResolutionChange"] = *c.stored;
    EXPECT_EQ(store.allow_resolution_change(), c.expected);
  }
}

TEST_F(SettingsStoreTest, GeneratedPasswordsUseTheUnambiguousAlphabet) {
  const std::string alphabet = "abcdefghjkmnpqrstuvwxyz23456789";
  for (int i = 0; i < 200; ++i) {
    const std::string pw = generate_password();
    ASSERT_EQ(pw.size(), 10u);
    for (char c : pw) ASSERT_NE(alphabet.find(c), std::string::npos) << pw;
  }
}

TEST_F(SettingsStoreTest, LoadPasswordGeneratesStoresAndLogsWhenMissing) {
  testing::internal::CaptureStderr();
  const std::string pw = store.load_password();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pw.size(), 10u);
  EXPECT_EQ(backend.secret(S::User, "Password"), pw);
  EXPECT_NE(log.find("generated a new password (see tray menu)"), std::string::npos);
  EXPECT_EQ(store.load_password(), pw);  // read back, not generated again
}

TEST_F(SettingsStoreTest, UnreadablePasswordCountsAsMissing) {
  backend.of(S::User)["Password"] = std::vector<std::uint8_t>{'X', 1, 'a'};  // corrupt blob
  const std::string pw = store.load_password();
  EXPECT_EQ(pw.size(), 10u);
  EXPECT_EQ(backend.secret(S::User, "Password"), pw);
}

TEST_F(SettingsStoreTest, InstalledTrayNeverCreatesThePassword) {
  install();
  testing::internal::CaptureStderr();
  const int writes = backend.writes;
  EXPECT_EQ(store.load_password(), "");
  EXPECT_EQ(backend.writes, writes);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  run_mode = RunMode::Agent;  // the agent makes one
  const std::string pw = store.load_password();
  EXPECT_EQ(pw.size(), 10u);
  EXPECT_EQ(backend.secret(S::Machine, "Password"), pw);
}

// The machine password is the one the owner gave to their clients: when it is stored but cannot
// be opened, no copy of the program replaces it; the host goes without one instead.
TEST_F(SettingsStoreTest, UnreadableMachinePasswordIsNeverReplaced) {
  install();
  const std::vector<std::uint8_t> damaged{'X', 0, 'a'};
  backend.of(S::Machine)["Password"] = damaged;
  for (RunMode mode : {RunMode::Tray, RunMode::Agent, RunMode::Command}) {
    run_mode = mode;
    EXPECT_EQ(store.load_password(), "");
  }
  EXPECT_EQ(backend.read_binary(S::Machine, "Password"), damaged);
}

// The tray asks every few seconds whether there is a password: the stored one is opened once,
// and again only when it changes. Whatever it says is what load_password would give.
TEST_F(SettingsStoreTest, HasPasswordOpensTheStoredOneOnlyWhenItChanged) {
  install();
  EXPECT_FALSE(store.has_password());  // an installed tray never makes one

  backend.put_secret(S::Machine, "Password", "first-pw");
  const int before = backend.unprotects;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(store.has_password());
  EXPECT_EQ(backend.unprotects, before + 1);

  backend.put_secret(S::Machine, "Password", "second-pw");
  EXPECT_TRUE(store.has_password());
  EXPECT_TRUE(store.has_password());
  EXPECT_EQ(backend.unprotects, before + 2);

  backend.of(S::Machine)["Password"] = std::vector<std::uint8_t>{'X', 0, 'a'};  // damaged
  EXPECT_FALSE(store.has_password());
  backend.of(S::Machine).erase("Password");
  EXPECT_FALSE(store.has_password());

  password_override = "override-pw";
  EXPECT_TRUE(store.has_password());
}

// A host that is not installed makes its password when it finds none, asked this way too.
TEST_F(SettingsStoreTest, HasPasswordMakesOneWhereLoadPasswordWould) {
  EXPECT_TRUE(store.has_password());
  EXPECT_EQ(backend.secret(S::User, "Password").value_or("").size(), 10u);
}

// A generated password that cannot be stored would differ at every handshake and nobody could
// look it up: none at all is returned, and the log says so once however often it is asked.
TEST_F(SettingsStoreTest, PasswordThatCannotBeStoredIsNoPassword) {
  backend.fail_protect = true;
  testing::internal::CaptureStderr();
  EXPECT_EQ(store.load_password(), "");
  EXPECT_EQ(store.load_password(), "");
  const std::string log = testing::internal::GetCapturedStderr();
  const std::string line = "cannot store a new password: clients are refused until one is set";
  const std::size_t first = log.find(line);
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(line, first + 1), std::string::npos);
  EXPECT_EQ(log.find("generated a new password"), std::string::npos);
}

TEST_F(SettingsStoreTest, PasswordOverrideWinsWithoutTouchingTheStore) {
  password_override = "override-pw";
  backend.put_secret(S::User, "Password", "stored-pw");
  EXPECT_EQ(store.load_password(), "override-pw");
  EXPECT_EQ(backend.writes, 0);
}

TEST_F(SettingsStoreTest, SavePasswordFailsWhenProtectionFails) {
  EXPECT_FALSE(store.save_password(""));  // and never stores the empty password
  EXPECT_FALSE(backend.read_binary(S::User, "Password"));
  backend.fail_protect = true;
  EXPECT_FALSE(store.save_password("secret-pw"));
  EXPECT_FALSE(backend.read_binary(S::User, "Password"));
}

TEST_F(SettingsStoreTest, IdentityKeyKeptWhenValidReplacedOtherwise) {
  const std::string valid(32, 'k');
  backend.put_secret(S::User, "Identity", valid);
  std::uint8_t key[32];
  ASSERT_TRUE(store.load_identity_key(key));
  EXPECT_EQ(std::string(key, key + 32), valid);

  for (std::size_t bad_length : {31u, 33u, 0u}) {
    backend.put_secret(S::User, "Identity", std::string(bad_length, 'k'));
    testing::internal::CaptureStderr();
    ASSERT_TRUE(store.load_identity_key(key));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("created host identity key"),
              std::string::npos);
    const auto stored = backend.secret(S::User, "Identity");
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, std::string(key, key + 32));
  }
}

TEST_F(SettingsStoreTest, IdentityKeyStillServesWhenItCannotBeStored) {
  backend.fail_protect = true;
  std::uint8_t key[32] = {};
  EXPECT_TRUE(store.load_identity_key(key));
  EXPECT_FALSE(backend.read_binary(S::User, "Identity"));
  EXPECT_TRUE(std::any_of(key, key + 32, [](std::uint8_t b) { return b != 0; }));
}

// The service asks every few seconds: a key that cannot be stored is made (and logged) once,
// not at every call; a key that can be read wins again as soon as there is one.
TEST_F(SettingsStoreTest, SteadyIdentityKeyIsMadeOnceWhenItCannotBeStored) {
  backend.fail_protect = true;
  std::uint8_t first[32] = {}, later[32] = {};
  testing::internal::CaptureStderr();
  ASSERT_TRUE(store.load_identity_key_steadily(first));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(store.load_identity_key_steadily(later));
    EXPECT_EQ(0, std::memcmp(first, later, 32));
  }
  const std::string log = testing::internal::GetCapturedStderr();
  const std::string line = "created host identity key";
  EXPECT_EQ(log.find(line), log.rfind(line));
  EXPECT_NE(log.find(line), std::string::npos);

  backend.fail_protect = false;
  const std::string stored(32, 's');
  backend.put_secret(S::User, "Identity", stored);
  ASSERT_TRUE(store.load_identity_key_steadily(later));
  EXPECT_EQ(std::string(later, later + 32), stored);
}

TEST_F(SettingsStoreTest, StatusIsMachineWideAndLimitedTo255Units) {
  install();
  store.save_status("Connected: 10.0.0.2");
  EXPECT_EQ(store.load_status(), "Connected: 10.0.0.2");
  backend.of(S::Machine).erase("Installed");  // the scope does not matter for the status
  EXPECT_EQ(store.load_status(), "Connected: 10.0.0.2");

  store.save_status(std::string(255, 'a'));
  EXPECT_EQ(store.load_status().size(), 255u);
  store.save_status(std::string(256, 'a'));
  EXPECT_EQ(store.load_status(), "");
  // The limit counts UTF-16 units, not bytes: 200 two-byte characters fit.
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "\xC3\xA9";
  store.save_status(accented);
  EXPECT_EQ(store.load_status(), accented);
}

TEST_F(SettingsStoreTest, StartAtLoginStoresTheQuotedPath) {
  EXPECT_FALSE(store.start_at_login());
  EXPECT_EQ(store.set_start_at_login(true), kErrorSuccess);
  const auto entry = backend.run_entry[FakeSettingsBackend::index(S::User)];
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->front(), '"');
  EXPECT_EQ(entry->back(), '"');
  EXPECT_GT(entry->size(), 2u);
  EXPECT_TRUE(store.start_at_login());
  EXPECT_EQ(store.set_start_at_login(false), kErrorSuccess);
  EXPECT_EQ(store.set_start_at_login(false), kErrorSuccess);  // already off
  EXPECT_FALSE(store.start_at_login());
  backend.run_key_exists = false;
  EXPECT_EQ(store.set_start_at_login(true), kErrorFileNotFound);
}

TEST_F(SettingsStoreTest, MigrationMovesUserSettingsToTheMachine) {
  backend.put_secret(S::User, "Password", "user-pw");
  backend.put_secret(S::User, "Identity", std::string(32, 'u'));
  backend.of(S::User)["AllowResolutionChange"] = std::uint32_t{0};
  backend.run_entry[FakeSettingsBackend::index(S::User)] = "\"x\"";
  store.migrate_settings_for_install();
  EXPECT_TRUE(store.is_installed());
  EXPECT_EQ(backend.secret(S::Machine, "Password"), "user-pw");
  EXPECT_EQ(backend.read_binary(S::Machine, "Password")->at(1), 0);  // machine protection
  EXPECT_EQ(backend.secret(S::Machine, "Identity"), std::string(32, 'u'));
  EXPECT_EQ(backend.read_dword(S::Machine, "AllowResolutionChange"), 0u);
  EXPECT_FALSE(backend.run_entry[FakeSettingsBackend::index(S::User)]);
  EXPECT_TRUE(backend.secret(S::User, "Password"));  // the user key is left in place
}

TEST_F(SettingsStoreTest, MigrationKeepsMachineValuesAndFillsGaps) {
  backend.put_secret(S::Machine, "Password", "machine-pw");
  backend.put_secret(S::User, "Password", "user-pw");
  backend.put_secret(S::Machine, "Identity", std::string(32, 'm'));
  backend.put_secret(S::User, "Identity", std::string(32, 'u'));
  store.migrate_settings_for_install();
  EXPECT_EQ(backend.secret(S::Machine, "Password"), "machine-pw");
  EXPECT_EQ(backend.secret(S::Machine, "Identity"), std::string(32, 'm'));
  EXPECT_EQ(backend.read_dword(S::Machine, "AllowResolutionChange"), 1u);

  FakeSettingsBackend empty;
  SettingsStore fresh(empty);
  fresh.migrate_settings_for_install();
  EXPECT_EQ(empty.secret(S::Machine, "Password")->size(), 10u);
  EXPECT_FALSE(empty.read_binary(S::Machine, "Identity"));  // the agent makes it later
}

TEST_F(SettingsStoreTest, RemoveSettingsClearsMachineOnly) {
  install();
  backend.put_secret(S::User, "Password", "user-pw");
  backend.run_entry[FakeSettingsBackend::index(S::Machine)] = "\"x\"";
  EXPECT_EQ(store.remove_settings(), kErrorSuccess);
  EXPECT_FALSE(store.is_installed());
  EXPECT_FALSE(backend.run_entry[FakeSettingsBackend::index(S::Machine)]);
  EXPECT_TRUE(backend.secret(S::User, "Password"));
}

}  // namespace
}  // namespace tolvi
