#include "platform/win32/registry_settings_backend.h"

#include <windows.h>
// windows.h first: dpapi.h needs its types.
#include <dpapi.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "win32/test_registry_keys.h"

namespace tolvi::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::TestRegistryKeys;

constexpr SettingsScope kScopes[] = {SettingsScope::Machine, SettingsScope::User};

HKEY hive_of(SettingsScope scope) {
  return scope == SettingsScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

const char* scope_name(SettingsScope scope) {
  return scope == SettingsScope::Machine ? "machine" : "user";
}

class RegistrySettingsBackendTest : public ::testing::Test {
 protected:
  TestRegistryKeys keys;
  RegistrySettingsBackend backend{keys.product, keys.run};
};

TEST_F(RegistrySettingsBackendTest, ValuesRoundTripPerTypeAndStayInTheirScope) {
  const Bytes binary = {0x00, 0xff, 0x10, 0x00};
  for (SettingsScope scope : kScopes) {
    SCOPED_TRACE(scope_name(scope));
    const SettingsScope other =
        scope == SettingsScope::Machine ? SettingsScope::User : SettingsScope::Machine;
    EXPECT_EQ(backend.write_dword(scope, "Number", 0xFFFFFFFFu), kErrorSuccess);
    EXPECT_EQ(backend.write_binary(scope, "Blob", binary), kErrorSuccess);
    EXPECT_EQ(backend.write_binary(scope, "EmptyBlob", {}), kErrorSuccess);
    EXPECT_EQ(backend.write_text(scope, "Text", "Verbunden mit \xC3\xA9\xF0\x9F\x98\x80"),
              kErrorSuccess);
    EXPECT_EQ(backend.write_text(scope, "EmptyText", ""), kErrorSuccess);

    EXPECT_EQ(backend.read_dword(scope, "Number"), 0xFFFFFFFFu);
    EXPECT_EQ(backend.read_binary(scope, "Blob"), binary);
    EXPECT_EQ(backend.read_binary(scope, "EmptyBlob"), Bytes());
    EXPECT_EQ(backend.read_text(scope, "Text"), "Verbunden mit \xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(backend.read_text(scope, "EmptyText"), "");

    EXPECT_EQ(backend.write_dword(scope, "Number", 7), kErrorSuccess);  // overwrite
    EXPECT_EQ(backend.read_dword(scope, "Number"), 7u);
    backend.delete_all(other);
    EXPECT_EQ(backend.read_dword(other, "Number"), std::nullopt);
  }
}

TEST_F(RegistrySettingsBackendTest, MissingOrWrongTypeReadsGiveNothing) {
  for (SettingsScope scope : kScopes) {
    SCOPED_TRACE(scope_name(scope));
    EXPECT_EQ(backend.read_dword(scope, "Number"), std::nullopt);  // no key yet
    backend.write_dword(scope, "Number", 1);
    backend.write_binary(scope, "FourBytes", {1, 0, 0, 0});  // the size of a DWORD
    backend.write_text(scope, "Text", "1");
    EXPECT_EQ(backend.read_dword(scope, "Missing"), std::nullopt);  // key, no value
    EXPECT_EQ(backend.read_binary(scope, "Number"), std::nullopt);
    EXPECT_EQ(backend.read_text(scope, "Number"), std::nullopt);
    EXPECT_EQ(backend.read_dword(scope, "FourBytes"), std::nullopt);
    EXPECT_EQ(backend.read_text(scope, "FourBytes"), std::nullopt);
    EXPECT_EQ(backend.read_dword(scope, "Text"), std::nullopt);
    EXPECT_EQ(backend.read_binary(scope, "Text"), std::nullopt);
  }
}

TEST_F(RegistrySettingsBackendTest, TextIsStoredAsTerminatedUtf16AndEndsAtNul) {
  backend.write_text(SettingsScope::User, "Text", std::string_view("a\xC3\xA9\0tail", 8));
  DWORD type = 0;
  wchar_t data[16] = {};
  DWORD bytes = sizeof data;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, keys.product.c_str(), L"Text",
                         RRF_RT_ANY | RRF_NOEXPAND, &type, data, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(bytes, 3 * sizeof(wchar_t));  // "a", U+00E9, terminator
  EXPECT_EQ(std::wstring(data), L"a\u00e9");
}

TEST_F(RegistrySettingsBackendTest, DeleteAllRemovesTheWholeProductKey) {
  backend.write_dword(SettingsScope::Machine, "Installed", 1);
  backend.write_dword(SettingsScope::User, "Port", 6000);
  EXPECT_EQ(backend.delete_all(SettingsScope::Machine), kErrorSuccess);
  EXPECT_FALSE(TestRegistryKeys::key_exists(HKEY_LOCAL_MACHINE, keys.product));
  EXPECT_EQ(backend.read_dword(SettingsScope::User, "Port"), 6000u);
  EXPECT_EQ(backend.delete_all(SettingsScope::Machine), kErrorFileNotFound);
}

TEST_F(RegistrySettingsBackendTest, RunEntryNeedsTheRunKeyAndIsNeverCreatedWithIt) {
  for (SettingsScope scope : kScopes) {
    SCOPED_TRACE(scope_name(scope));
    EXPECT_EQ(backend.write_run_entry(scope, "\"C:\\x.exe\""), kErrorFileNotFound);
    EXPECT_EQ(backend.write_run_entry(scope, std::nullopt), kErrorFileNotFound);
    EXPECT_FALSE(TestRegistryKeys::key_exists(hive_of(scope), keys.run));
  }
}

TEST_F(RegistrySettingsBackendTest, RunEntrySetsReadsAndRemoves) {
  const std::string command = "\"C:\\Program Files\\Tolvi Host\\tolvi-host.exe\"";
  for (SettingsScope scope : kScopes) {
    SCOPED_TRACE(scope_name(scope));
    keys.create_run_key(hive_of(scope));
    EXPECT_EQ(backend.write_run_entry(scope, std::nullopt), kErrorSuccess);  // already off
    EXPECT_EQ(backend.read_run_entry(scope), std::nullopt);
    EXPECT_EQ(backend.write_run_entry(scope, command), kErrorSuccess);
    EXPECT_EQ(backend.read_run_entry(scope), command);
    DWORD type = 0;
    EXPECT_EQ(RegGetValueW(hive_of(scope), keys.run.c_str(), L"Tolvi Host", RRF_RT_ANY, &type,
                           nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(backend.write_run_entry(scope, std::nullopt), kErrorSuccess);
    EXPECT_EQ(backend.read_run_entry(scope), std::nullopt);
  }
}

TEST_F(RegistrySettingsBackendTest, ProtectedBytesOpenOnlyWhenIntact) {
  const Bytes secret = {'h', 'u', 'n', 't', 'e', 'r', '2', 0x00, 0xff};
  for (SettingsScope scope : kScopes) {
    SCOPED_TRACE(scope_name(scope));
    const auto blob = backend.protect(scope, secret);
    ASSERT_TRUE(blob.has_value());
    EXPECT_EQ(std::search(blob->begin(), blob->end(), secret.begin(), secret.begin() + 7),
              blob->end());  // the plaintext does not show in the blob
    EXPECT_EQ(backend.unprotect(*blob), secret);
    EXPECT_NE(backend.protect(scope, secret), blob);  // each blob is salted anew

    Bytes truncated(blob->begin(), blob->end() - 1);
    EXPECT_EQ(backend.unprotect(truncated), std::nullopt);
    for (std::size_t at : {std::size_t(0), blob->size() / 2, blob->size() - 1}) {
      Bytes altered = *blob;
      altered[at] ^= 0x01;
      EXPECT_EQ(backend.unprotect(altered), std::nullopt) << "byte " << at;
    }
  }
  EXPECT_EQ(backend.unprotect({}), std::nullopt);
  EXPECT_EQ(backend.unprotect(secret), std::nullopt);
}

TEST_F(RegistrySettingsBackendTest, MachineScopeBlobsAreMarkedForTheMachine) {
  // A machine-scope blob must open for every account of the PC, which its flags field records.
  // Windows' blob layout: version, provider id, master-key version, master-key id, flags.
  constexpr std::uint8_t kWindowsProvider[16] = {0xd0, 0x8c, 0x9d, 0xdf, 0x01, 0x15, 0xd1, 0x11,
                                                 0x8c, 0x7a, 0x00, 0xc0, 0x4f, 0xc2, 0x97, 0xeb};
  constexpr std::size_t kProviderOffset = 4, kFlagsOffset = 4 + 16 + 4 + 16;
  const auto machine = backend.protect(SettingsScope::Machine, {1, 2, 3});
  const auto user = backend.protect(SettingsScope::User, {1, 2, 3});
  ASSERT_TRUE(machine && user);
  ASSERT_GT(machine->size(), kFlagsOffset + 4);
  ASSERT_GT(user->size(), kFlagsOffset + 4);
  if (!std::equal(std::begin(kWindowsProvider), std::end(kWindowsProvider),
                  machine->begin() + kProviderOffset)) {
    GTEST_SKIP() << "this DPAPI writes its own blob layout without the scope (Wine does)";
  }
  EXPECT_TRUE((*machine)[kFlagsOffset] & CRYPTPROTECT_LOCAL_MACHINE);
  EXPECT_FALSE((*user)[kFlagsOffset] & CRYPTPROTECT_LOCAL_MACHINE);
}

}  // namespace
}  // namespace tolvi::platform
