#include "tray/password_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <set>

namespace tolvi {
namespace {

TEST(PasswordRules, EntryChecks) {
  struct Case {
    std::string first, second;
    std::optional<std::string> problem;
  } cases[] = {
      {"abcde", "abcde", kTooShort},
      {"abcdef", "abcdef", std::nullopt},
      {"abcdef", "abcdeF", kNoMatch},
      {"", "abcdef", kTooShort},  // the length test looks at the first field, first
      {"\u00E9\u00E9\u00E9", "\u00E9\u00E9\u00E9", kTooShort},  // characters, not bytes
      {"\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9", "\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first + " / " + c.second);
    EXPECT_EQ(password_entry_problem(c.first, c.second), c.problem);
  }
}

TEST(PasswordRules, FieldKeepsAtMost255Units) {
  EXPECT_EQ(field_text(std::string(300, 'a')), std::string(255, 'a'));
  EXPECT_EQ(field_text("short"), "short");
}

// Hands out scripted bytes, then fails.
struct ScriptedRandom {
  std::deque<std::uint8_t> bytes;
  int calls = 0;
  bool operator()(void* out, std::size_t length) {
    ++calls;
    if (bytes.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
      static_cast<std::uint8_t*>(out)[i] = bytes.front();
      bytes.pop_front();
    }
    return true;
  }
};

TEST(PasswordRules, RejectionSamplingAndGroups) {
  // 0 and 68 both give "A"; 204..255 give nothing; 24 is "a", 48 is "2", 56 is "!".
  ScriptedRandom random;
  random.bytes = {0, 204, 255, 68, 24, 48, 56};
  for (int i = 0; i < 15; ++i) random.bytes.push_back(static_cast<std::uint8_t>(136 + 24));
  auto source = [&](void* out, std::size_t n) { return random(out, n); };
  const std::string password = generate_secure_password(source);
  EXPECT_EQ(password, "AAa2!" + std::string(15, 'a'));
  EXPECT_TRUE(random.bytes.empty());
}

TEST(PasswordRules, CandidateWithoutEveryGroupIsDrawnAgain) {
  ScriptedRandom random;
  for (int i = 0; i < 20; ++i) random.bytes.push_back(0);  // twenty "A": refused
  for (std::uint8_t b : {0, 24, 48, 56}) random.bytes.push_back(b);
  for (int i = 0; i < 16; ++i) random.bytes.push_back(67);  // "?"
  auto source = [&](void* out, std::size_t n) { return random(out, n); };
  EXPECT_EQ(generate_secure_password(source), "Aa2!" + std::string(16, '?'));
  EXPECT_EQ(generate_secure_password(source), "");  // the generator ran dry
}

TEST(PasswordRules, GeneratedPasswordsUseTheAlphabetOnly) {
  std::uint32_t state = 12345;  // a fixed generator keeps the test repeatable
  auto source = [&](void* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      state = state * 1664525u + 1013904223u;
      static_cast<std::uint8_t*>(out)[i] = static_cast<std::uint8_t>(state >> 24);
    }
    return true;
  };
  std::set<char> seen;
  for (int round = 0; round < 200; ++round) {
    const std::string p = generate_secure_password(source);
    ASSERT_EQ(p.size(), kGeneratedLength);
    EXPECT_EQ(p.find_first_of("IOlo01"), std::string::npos) << p;
    EXPECT_NE(p.find_first_of(kUpperGroup), std::string::npos) << p;
    EXPECT_NE(p.find_first_of(kLowerGroup), std::string::npos) << p;
    EXPECT_NE(p.find_first_of(kDigitGroup), std::string::npos) << p;
    EXPECT_NE(p.find_first_of(kSymbolGroup), std::string::npos) << p;
    seen.insert(p.begin(), p.end());
  }
  EXPECT_EQ(seen.size(), kAlphabetSize);  // every character turns up
}

}  // namespace
}  // namespace tolvi
