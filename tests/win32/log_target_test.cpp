#include "base/log_target.h"

#include <windows.h>
// windows.h first: the shell headers need its types.
#include <gtest/gtest.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <fstream>
#include <regex>

#include "base/log.h"

namespace tolvi::platform {
namespace {

namespace fs = std::filesystem;

fs::path known_folder(const KNOWNFOLDERID& id) {
  PWSTR path = nullptr;
  fs::path result;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path))) result = path;
  CoTaskMemFree(path);
  return result;
}

std::string file_bytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A scratch folder under the temporary folder, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    path = fs::temp_directory_path() / ("tolvi-log-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(path);
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

TEST(DataFolder, IsTolviUnderTheKnownFolderAndExists) {
  const struct {
    DataFolder which;
    const KNOWNFOLDERID& id;
  } cases[] = {
      {DataFolder::Machine, FOLDERID_ProgramData},
      {DataFolder::User, FOLDERID_LocalAppData},
  };
  for (const auto& c : cases) {
    const fs::path expected = known_folder(c.id) / L"Tolvi";
    ASSERT_FALSE(expected.parent_path().empty());
    EXPECT_EQ(data_folder(c.which), expected);
    EXPECT_TRUE(fs::is_directory(expected)) << expected.string();
  }
  EXPECT_NE(data_folder(DataFolder::Machine), data_folder(DataFolder::User));
}

TEST(OpenLogAppend, AppendsInTextModeWithCrLf) {
  ScratchFolder scratch;
  const fs::path path = scratch.path / L"append.log";
  for (const char* line : {"one\n", "two\n"}) {
    std::FILE* file = open_log_append(path);
    ASSERT_NE(file, nullptr);
    std::fputs(line, file);
    std::fclose(file);
  }
  EXPECT_EQ(file_bytes(path), "one\r\ntwo\r\n");
  EXPECT_EQ(open_log_append(scratch.path / L"missing" / L"x.log"), nullptr);
}

TEST(LogWriter, WritesTimestampedCrLfLines) {
  ScratchFolder scratch;
  const fs::path path = scratch.path / L"tolvi-host.log";
  {
    LogWriter writer([&] { return path; }, nullptr);
    writer.writef("first %d", 1);
    writer.writef("second %s", "\xC3\xA9");
  }
  const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )");
  const std::string text = file_bytes(path);
  const std::size_t split = text.find("\r\n") + 2;
  ASSERT_NE(split, std::string::npos + 2) << text;
  const std::string first = text.substr(0, split), second = text.substr(split);
  EXPECT_TRUE(std::regex_search(first, line) && first.ends_with("] first 1\r\n")) << first;
  EXPECT_TRUE(std::regex_search(second, line) && second.ends_with("] second \xC3\xA9\r\n"))
      << second;
}

// The service and its agent share one log: the one that passes the limit moves the file aside
// although the other has it open, and the other follows to the fresh file.
TEST(LogWriter, TwoWritersRotateTheSharedFileOnce) {
  ScratchFolder scratch;
  const fs::path path = scratch.path / L"tolvi-host.log";
  fs::path previous = path;
  previous += L".1";
  constexpr std::uintmax_t kLimit = 3000;
  {
    LogWriter service([&] { return path; }, nullptr, kLimit);
    LogWriter agent([&] { return path; }, nullptr, kLimit);
    for (int i = 0; i < 300; ++i) {
      service.writef("s line %d xxxxxxxxxxxxxxxxxxxx", i);
      agent.writef("a line %d xxxxxxxxxxxxxxxxxxxx", i);
      if (fs::exists(previous)) {
        ASSERT_GT(fs::file_size(previous), kLimit) << i;
      }
    }
    EXPECT_LE(fs::file_size(path), kLimit);
    EXPECT_LE(fs::file_size(previous), kLimit + 128);  // and a line of the other writer
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path), fs::directory_iterator()), 2);
  const std::string text = file_bytes(path);
  EXPECT_NE(text.find("] s line 299 xxxxxxxxxxxxxxxxxxxx\r\n"), std::string::npos);
  EXPECT_NE(text.find("] a line 299 xxxxxxxxxxxxxxxxxxxx\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tolvi::platform
