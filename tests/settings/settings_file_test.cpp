#include "platform/linux/settings_file.h"

#include <gtest/gtest.h>

namespace tolvi::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A write changes its own line in place, appends a new value at the end, and writes every other
// line back byte for byte: comments, blanks, CR LF, odd spacing, unreadable lines, duplicates.
TEST(SettingsDocument, WriteChangesOnlyItsOwnLine) {
  const std::string before =
      "# my notes\r\n"
      "\r\n"
      "Port dword 1\r\n"
      "  Port   dword 6000  \r\n"
      "Identity binary 0a1\r\n"
      "AllowResolutionChange dword 0\r\n"
      "junk";
  SettingsDocument document = SettingsDocument::parse(before);
  EXPECT_EQ(document.unreadable_lines(), (std::vector<int>{5, 7}));
  EXPECT_EQ(document.format(), before);

  document.set("Port", std::uint32_t{7000});
  document.set("Identity", Bytes{0xab});
  EXPECT_EQ(document.format(),
            "# my notes\r\n"
            "\r\n"
            "Port dword 1\r\n"
            "Port dword 7000\r\n"
            "Identity binary 0a1\r\n"
            "AllowResolutionChange dword 0\r\n"
            "junk\r\n"
            "Identity binary ab\r\n");
  EXPECT_EQ(document.find("Port"), SettingValue(std::uint32_t{7000}));
  EXPECT_EQ(document.find("AllowResolutionChange"), SettingValue(std::uint32_t{0}));
}

TEST(SettingsDocument, ValuesRoundTripThroughANewFile) {
  const struct {
    const char* name;
    SettingValue value;
  } cases[] = {
      {"Number", std::uint32_t{4294967295u}},
      {"Empty", Bytes{}},
      {"Blob", Bytes{0x00, 0x7f, 0xff}},
      {"NoText", std::string()},
      {"Spaces", std::string("  two outer blanks, inner ones kept  ")},
      {"Blanks", std::string("   ")},
      {"Escapes", std::string("a\\b\nc\rd\te \xC3\xA9")},
  };
  SettingsDocument document;
  for (const auto& c : cases) document.set(c.name, c.value);
  const std::string text = document.format();
  EXPECT_EQ(text.rfind("# ", 0), 0u);  // a new file starts with a note on its format
  const SettingsDocument again = SettingsDocument::parse(text);
  EXPECT_TRUE(again.unreadable_lines().empty()) << text;
  for (const auto& c : cases) EXPECT_EQ(again.find(c.name), c.value) << c.name;
}

TEST(SettingsDocument, UnreadableLinesAreSkipped) {
  const char* const lines[] = {
      "Port",
      "Port dword",
      "Port dword -1",
      "Port dword 0x10",
      "Port dword 4294967296",
      "Port qword 6000",
      "Po-rt dword 6000",
      "Identity binary 0g",
      "Identity binary 0a1",
      "Status text a\\q",
      "Status text a\\",
  };
  for (const char* line : lines) {
    const SettingsDocument document =
        SettingsDocument::parse(std::string("Port dword 6000\n") + line + "\n");
    EXPECT_EQ(document.unreadable_lines(), std::vector<int>{2}) << line;
    EXPECT_EQ(document.find("Port"), SettingValue(std::uint32_t{6000})) << line;
    EXPECT_FALSE(document.find("Identity")) << line;
    EXPECT_FALSE(document.find("Status")) << line;
  }
}

}  // namespace
}  // namespace tolvi::platform
