// Programs that come with Windows are found in the folders Windows names, whatever the current
// folder holds.
#include "platform/win32/system_programs.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace tolvi::platform {
namespace {

std::wstring folder_of(UINT (*query)(wchar_t*, UINT)) {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = query(folder, MAX_PATH);
  return std::wstring(folder, length);
}

TEST(SystemPrograms, AreTheFilesInTheSystemAndWindowsFolders) {
  const std::wstring system = folder_of(GetSystemDirectoryW);
  const std::wstring windows = folder_of(GetWindowsDirectoryW);
  ASSERT_FALSE(system.empty());
  ASSERT_FALSE(windows.empty());
  const struct {
    std::wstring path;
    std::wstring expected;
  } cases[] = {
      {system_program(L"netsh.exe"), system + L"\\netsh.exe"},
      {system_program(L"cmd.exe"), system + L"\\cmd.exe"},
      {system_program(L"net.exe"), system + L"\\net.exe"},
      {system_program(L"reg.exe"), system + L"\\reg.exe"},
      {windows_program(L"explorer.exe"), windows + L"\\explorer.exe"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.path, c.expected);
    EXPECT_NE(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES) << c.path.c_str();
  }
}

TEST(SystemPrograms, CommandLineQuotesTheProgram) {
  EXPECT_EQ(command_line_of(L"C:\\Windows\\system32\\netsh.exe", L"advfirewall x"),
            L"\"C:\\Windows\\system32\\netsh.exe\" advfirewall x");
  EXPECT_EQ(command_line_of(L"C:\\a b\\c.exe", L""), L"\"C:\\a b\\c.exe\"");
}

}  // namespace
}  // namespace tolvi::platform
