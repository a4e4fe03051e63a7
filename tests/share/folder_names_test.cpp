#include "share/folder_names.h"

#include <gtest/gtest.h>

#include "base/percent_encoding.h"

namespace tolvi {
namespace {

std::vector<std::uint8_t> share_payload(std::uint8_t flag, const std::string& token,
                                        const std::string& name) {
  std::vector<std::uint8_t> p{flag, static_cast<std::uint8_t>(token.size()),
                              static_cast<std::uint8_t>(token.size() >> 8)};
  p.insert(p.end(), token.begin(), token.end());
  p.push_back(static_cast<std::uint8_t>(name.size()));
  p.push_back(static_cast<std::uint8_t>(name.size() >> 8));
  p.insert(p.end(), name.begin(), name.end());
  return p;
}

TEST(FolderShareReading, FieldsTokenAndCutShortPayloads) {
  const auto full = read_folder_share(share_payload(1, "00ffAB", "My%20Photos"));
  ASSERT_TRUE(full);
  EXPECT_TRUE(full->read_only);
  EXPECT_EQ(full->token, "00ffAB");
  EXPECT_EQ(full->name, "My%20Photos");

  std::vector<std::uint8_t> trailing = share_payload(0, "", "x");
  trailing.push_back(0x55);  // bytes after the name are ignored
  const auto extra = read_folder_share(trailing);
  ASSERT_TRUE(extra);
  EXPECT_FALSE(extra->read_only);
  EXPECT_EQ(extra->token, "");
  EXPECT_EQ(extra->name, "x");

  // Stop sharing: empty name.
  ASSERT_TRUE(read_folder_share(share_payload(0, "ab", "")));

  // A letter after f, or any other character, makes the token unacceptable.
  EXPECT_FALSE(read_folder_share(share_payload(0, "abg1", "x")));
  EXPECT_FALSE(read_folder_share(share_payload(0, "ab 1", "x")));

  // Every cut of a valid payload short of its name's end is ignored.
  const std::vector<std::uint8_t> whole = share_payload(0, "abcd", "name");
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    EXPECT_FALSE(read_folder_share({whole.begin(), whole.begin() + cut})) << "cut at " << cut;
  }
}

TEST(FolderLabel, DecodingAndReplacementTable) {
  struct Case {
    std::string name;
    std::string label;
  };
  const Case cases[] = {
      {"My%20Photos", "My Photos"},
      {"a%2Fb", "a-b"},  // a decoded slash is replaced too
      {"a%5cb", "a-b"},  // lower-case hex, backslash
      {"100%", "100%"},  // fewer than two bytes after the %
      {"x%4", "x%4"},
      {"say \"hi\"", "say -hi-"},  // double quotes
      {"tab%09end", "tab-end"},    // control characters
      {"%zz", "-"},                // no leading hex digit: byte 0, a control character
      {"%4z", "-"},                // strtol reads the 4 alone: U+0004
      {"%41%42", "AB"},
      {"%%41", "-1"},                        // "%4" has no leading hex digit: 0, then "1" is copied
      {"Fotos%20%C3%B6", "Fotos \xC3\xB6"},  // UTF-8 after decoding stays whole
      {"bad%FFbyte", "bad-byte"},            // a byte that is not UTF-8
      {"\xE2\x82", "--"},                    // a cut-short sequence
  };
  for (const Case& c : cases) {
    EXPECT_EQ(folder_label(c.name), c.label) << c.name;
  }
  EXPECT_EQ(percent_decode("a%2Fb"), "a/b");
  EXPECT_EQ(percent_decode("% 5"), std::string(1, '\x05'));  // strtol skips the blank
}

TEST(FolderLabel, UrlSegmentAndMountedText) {
  EXPECT_EQ(percent_encode("My Photos (2)"), "My%20Photos%20%282%29");
  EXPECT_EQ(percent_encode("a-b_c.d~"), "a-b_c.d~");
  EXPECT_EQ(mounted_text("Photos", "is at /media/tolvi/Photos", true),
            "\u201CPhotos\u201D is at /media/tolvi/Photos on this PC (read-only).");
  EXPECT_EQ(mounted_text("Docs", "is drive Z: in File Explorer", false),
            "\u201C"
            "Docs\u201D is drive Z: in File Explorer on this PC.");
}

}  // namespace
}  // namespace tolvi
