#include "platform/process.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/text.h"

namespace tolvi::platform {
namespace {

// This test program doubles as the child that the tests start: with kExitWith N it ends at
// once with exit code N; with kWriteModulePath FILE it writes its module_path() to FILE.
constexpr char kExitWith[] = "--exit-with";
constexpr char kWriteModulePath[] = "--write-module-path";

TEST(SplitCommandLine, EveryWordFollowsTheArgumentRules) {
  // CommandLineToArgvW has other rules for a program name; the text split here holds only
  // arguments, so its first word must be split like the others.
  const struct {
    const char* line;
    std::vector<std::string> args;
  } cases[] = {
      {"  \t ", {}},
      {"  --test-host 6000 pw", {"--test-host", "6000", "pw"}},  // leading blanks
      {R"(a\"b c)", {"a\"b", "c"}},                              // escaped quote, first word
      {R"("C:\Program Files\" x)", {"C:\\Program Files\" x"}},   // odd run: literal quote
      {R"("C:\dir\\" x)", {"C:\\dir\\", "x"}},                   // even run: closing quote
      {"\"\" b", {"", "b"}},
      {"p\xC3\xA4ss \xE4\xB8\xAD", {"p\xC3\xA4ss", "\xE4\xB8\xAD"}},  // UTF-8 survives
  };
  for (const auto& c : cases) EXPECT_EQ(split_command_line(c.line), c.args) << c.line;
}

TEST(RunElevated, ResultFollowsTheCopysExitCodeWhenWaiting) {
  EXPECT_TRUE(run_elevated(std::string(kExitWith) + " 0", true));
  EXPECT_FALSE(run_elevated(std::string(kExitWith) + " 3", true));
  EXPECT_TRUE(run_elevated(std::string(kExitWith) + " 3", false));  // started is enough
}

TEST(ModulePath, IsReadInFullBeyondMaxPath) {
  namespace fs = std::filesystem;
  const fs::path self(reinterpret_cast<const wchar_t*>(module_path().c_str()));
  ASSERT_TRUE(fs::exists(self)) << self.string();
  // A copy of this program in a folder whose path is longer than MAX_PATH.
  const fs::path base =
      fs::temp_directory_path() / ("tolvi-long-" + std::to_string(GetCurrentProcessId()));
  struct RemoveAtEnd {
    fs::path path;
    ~RemoveAtEnd() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } cleanup{base};
  fs::remove_all(base);  // left over from an earlier run
  fs::path folder = base;
  while (folder.native().size() <= MAX_PATH) folder /= std::wstring(40, L'd');
  std::error_code ec;
  fs::create_directories(folder, ec);
  ASSERT_FALSE(ec) << ec.message();
  const fs::path copy = folder / L"child.exe";
  const fs::path out = base / L"module-path.txt";
  ASSERT_TRUE(fs::copy_file(self, copy, ec)) << ec.message();

  std::wstring command =
      L"\"" + copy.native() + L"\" --write-module-path \"" + out.native() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  const std::wstring application = L"\\\\?\\" + copy.native();
  if (!CreateProcessW(application.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &child)) {
    // Wine 8, and Windows without long-path support, start no program from such a folder.
    const DWORD error = GetLastError();
    GTEST_SKIP() << "cannot start a program from a path of " << copy.native().size()
                 << " characters (error " << error << ")";
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);

  std::ifstream file(out, std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  file.close();
  // Started through its "\\?\" form, the program may see its path with that prefix.
  const std::string expected = to_utf8(reinterpret_cast<const char16_t*>(copy.c_str()));
  EXPECT_TRUE(written == expected || written == "\\\\?\\" + expected) << written;
}

}  // namespace
}  // namespace tolvi::platform

int main(int argc, char** argv) {
  using namespace tolvi::platform;
  if (argc == 3 && std::strcmp(argv[1], kExitWith) == 0) return std::atoi(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], kWriteModulePath) == 0) {
    std::ofstream(argv[2], std::ios::binary) << tolvi::to_utf8(tolvi::module_path());
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
