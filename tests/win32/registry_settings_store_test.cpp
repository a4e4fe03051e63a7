// The settings store end to end on the registry and DPAPI, for the cases where the backend's
// types, scopes and protection meet the store's rules.
#include <gtest/gtest.h>

#include <array>

#include "platform/text.h"
#include "platform/win32/registry_settings_backend.h"
#include "settings/settings_store.h"
#include "win32/test_registry_keys.h"

namespace tolvi {
namespace {

using testing::TestRegistryKeys;

class RegistrySettingsStoreTest : public ::testing::Test {
 protected:
  TestRegistryKeys keys;
  platform::RegistrySettingsBackend backend{keys.product, keys.run};
  SettingsStore store{backend};
};

TEST_F(RegistrySettingsStoreTest, InstalledOneSelectsTheMachineScope) {
  const struct {
    std::optional<std::uint32_t> installed;
    std::uint16_t port;
  } cases[] = {
      {std::nullopt, 5001},  // user scope
      {1, 6001},             // machine scope
      {2, 5001},             // any other number: user scope
  };
  backend.write_dword(SettingsScope::User, "Port", 5001);
  backend.write_dword(SettingsScope::Machine, "Port", 6001);
  for (const auto& c : cases) {
    if (c.installed) backend.write_dword(SettingsScope::Machine, "Installed", *c.installed);
    EXPECT_EQ(store.is_installed(), c.installed == 1u);
    EXPECT_EQ(store.load_port(), c.port);
  }
  // "Installed" stored as text is not a DWORD: not installed.
  backend.write_text(SettingsScope::Machine, "Installed", "1");
  EXPECT_FALSE(store.is_installed());
}

TEST_F(RegistrySettingsStoreTest, PortUsesTheLowSixteenBits) {
  EXPECT_EQ(store.load_port(), kDefaultPort);
  backend.write_dword(SettingsScope::User, "Port", 70000);
  EXPECT_EQ(store.load_port(), 4464);
}

TEST_F(RegistrySettingsStoreTest, PasswordIsStoredProtectedInTheSettingsScope) {
  ASSERT_TRUE(store.save_password("correct horse"));
  EXPECT_EQ(store.load_password(), "correct horse");
  const auto blob = backend.read_binary(SettingsScope::User, "Password");
  ASSERT_TRUE(blob.has_value());
  EXPECT_EQ(backend.unprotect(*blob), (std::vector<std::uint8_t>{'c', 'o', 'r', 'r', 'e', 'c', 't',
                                                                 ' ', 'h', 'o', 'r', 's', 'e'}));

  backend.write_dword(SettingsScope::Machine, "Installed", 1);
  ASSERT_TRUE(store.save_password("machine pass"));
  EXPECT_EQ(store.load_password(), "machine pass");
  EXPECT_TRUE(backend.read_binary(SettingsScope::Machine, "Password").has_value());
}

TEST_F(RegistrySettingsStoreTest, IdentityOfWrongLengthIsReplacedAndThenKept) {
  const auto short_blob = backend.protect(SettingsScope::User, std::vector<std::uint8_t>(31, 7));
  ASSERT_TRUE(short_blob.has_value());
  backend.write_binary(SettingsScope::User, "Identity", *short_blob);

  std::array<std::uint8_t, kIdentityKeyBytes> first{}, second{};
  ASSERT_TRUE(store.load_identity_key(first.data()));
  const auto stored = backend.read_binary(SettingsScope::User, "Identity");
  ASSERT_TRUE(stored.has_value());
  const auto plain = backend.unprotect(*stored);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(*plain, std::vector<std::uint8_t>(first.begin(), first.end()));
  ASSERT_TRUE(store.load_identity_key(second.data()));
  EXPECT_EQ(first, second);
}

TEST_F(RegistrySettingsStoreTest, StartAtLoginStoresTheQuotedExecutablePath) {
  keys.create_run_key(HKEY_CURRENT_USER);
  EXPECT_FALSE(store.start_at_login());
  EXPECT_EQ(store.set_start_at_login(false), kErrorSuccess);  // nothing to remove
  EXPECT_EQ(store.set_start_at_login(true), kErrorSuccess);
  EXPECT_TRUE(store.start_at_login());
  EXPECT_EQ(backend.read_run_entry(SettingsScope::User), "\"" + to_utf8(module_path()) + "\"");
  EXPECT_EQ(store.set_start_at_login(false), kErrorSuccess);
  EXPECT_FALSE(store.start_at_login());
}

TEST_F(RegistrySettingsStoreTest, MigrationMovesTheUserPasswordToTheMachine) {
  keys.create_run_key(HKEY_CURRENT_USER);
  ASSERT_TRUE(store.save_password("user secret"));
  ASSERT_EQ(store.set_start_at_login(true), kErrorSuccess);
  store.migrate_settings_for_install();
  EXPECT_TRUE(store.is_installed());
  EXPECT_EQ(store.load_password(), "user secret");  // now from the machine scope
  EXPECT_FALSE(backend.read_run_entry(SettingsScope::User).has_value());
  EXPECT_EQ(store.remove_settings(), kErrorFileNotFound);  // the test has no machine Run key
  EXPECT_FALSE(store.is_installed());
}

}  // namespace
}  // namespace tolvi
