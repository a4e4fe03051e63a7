#include "platform/text.h"

#include <gtest/gtest.h>

namespace tolvi {
namespace {

TEST(Text, Utf16ToUtf8) {
  const struct {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"", ""},
      {u"plain", "plain"},
      {u"\u00e9\u4e2d", "\xC3\xA9\xE4\xB8\xAD"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(u"a\xD800"
                      u"b"),
       "a\xEF\xBF\xBD"
       "b"},                                        // lone high surrogate
      {std::u16string(u"\xDC00"), "\xEF\xBF\xBD"},  // lone low surrogate
      {std::u16string(u"ab\0cd", 5), "ab"},         // stops at NUL
  };
  for (const auto& c : cases) EXPECT_EQ(to_utf8(c.in), c.out);
}

TEST(Text, Utf8ToUtf16) {
  const struct {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"", u""},
      {"\xC3\xA9\xE4\xB8\xAD", u"\u00e9\u4e2d"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a\xFF"
       "b",
       u"a\uFFFD"
       "b"},                // invalid byte
      {"\xC3", u"\uFFFD"},  // cut short
      {"\xE4\xB8"
       "x",
       u"\uFFFDx"},                   // missing continuation
      {"\xC0\xAF", u"\uFFFD\uFFFD"},  // overlong
      {std::string("ab\0cd", 5), u"ab"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_utf16(c.in), c.out) << c.in;

  // How many replacement characters these give differs between conversions; that they give
  // only replacement characters does not.
  for (const char* bad : {"\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFE\xFF"}) {
    const std::u16string out = to_utf16(bad);
    EXPECT_FALSE(out.empty());
    EXPECT_EQ(out.find_first_not_of(u'\uFFFD'), std::u16string::npos);
  }
}

TEST(Text, ModulePathNamesThisExecutable) {
  const std::string path = to_utf8(module_path());
  EXPECT_NE(path.find("text_test"), std::string::npos) << path;
}

}  // namespace
}  // namespace tolvi
