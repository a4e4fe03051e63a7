#include "platform/linux/latin1_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvi::platform {
namespace {

TEST(Latin1Text, EveryLatin1CharacterSurvivesTheRoundTrip) {
  std::string all;
  for (int c = 1; c < 0x100; ++c) all += static_cast<char>(c);
  const std::string utf8 = latin1_to_utf8(all);
  EXPECT_EQ(utf8.size(), 0x7Fu + 2 * 0x80u);  // ASCII as it is, the upper half in two bytes
  EXPECT_EQ(utf8_to_latin1(utf8), all);
}

TEST(Latin1Text, Utf8ThatLatin1CannotHoldBecomesQuestionMarks) {
  struct Case {
    const char* what;
    std::string utf8;
    std::string latin1;
  };
  const Case cases[] = {
      {"e acute", "caf\xC3\xA9", "caf\xE9"},
      {"first code point beyond Latin-1", "\xC4\x80", "?"},
      {"euro sign, three bytes", "1\xE2\x82\xAC", "1?"},
      {"four-byte character", "\xF0\x9F\x98\x80!", "?!"},
      {"stray continuation byte",
       "a\x80"
       "b",
       "a?b"},
      {"sequence cut short at the end", "a\xC3", "a?"},
      {"three-byte lead cut short", "\xE2\x82", "??"},
  };
  for (const Case& c : cases) EXPECT_EQ(utf8_to_latin1(c.utf8), c.latin1) << c.what;
}

}  // namespace
}  // namespace tolvi::platform
