#include "share/folder_names.h"

#include <gtest/gtest.h>

#include "base/percent_encoding.h"

namespace tolvi {
namespace {

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
