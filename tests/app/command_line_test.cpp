#include "app/command_line.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/process.h"

namespace tolvi {
namespace {

TEST(CommandLine, OptionsAreSubstringsOfTheRawText) {
  set_raw_command_line("--set-match 10 \"quoted --install\"");
  EXPECT_TRUE(command_line_has("--set-match 1"));
  EXPECT_TRUE(command_line_has("--install"));
  EXPECT_FALSE(command_line_has("--Install"));
  set_raw_command_line("");
  EXPECT_FALSE(command_line_has("--service"));
}

TEST(CommandLine, SplitFollowsWindowsRules) {
  const struct {
    const char* line;
    std::vector<std::string> args;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"a  b\tc", {"a", "b", "c"}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\"b c\"d", {"ab cd"}},
      {R"(a\\b)", {R"(a\\b)"}},        // backslashes not before a quote are literal
      {R"("a\"b")", {"a\"b"}},         // odd run: literal quote
      {R"("a\\" b)", {R"(a\)", "b"}},  // even run: half the backslashes, quote groups
      {R"("a""b")", {"a\"b"}},         // "" inside a group
      {"\"\"", {""}},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::split_command_line(c.line), c.args) << c.line;
}

TEST(CommandLine, JoinQuotesSoThatSplittingGivesTheArgumentsBack) {
  const std::vector<std::vector<std::string>> cases = {
      {"--test-host", "6000", "pass word"},
      {"", "a\"b", "tail\\", "with space\\", "\\\\\"x"},
      {"C:\\Program Files\\x\\", "plain"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(platform::split_command_line(join_command_line(args)), args);
  }
  EXPECT_EQ(join_command_line({"--set-match", "1"}), "--set-match 1");
}

TEST(CommandLine, ReadDecimalLikeWtoi) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"6000", 6000},
               {"  42x", 42},
               {"-5", -5},
               {"+7", 7},
               {"", 0},
               {"abc", 0},
               {"70000", 70000},
               {"99999999999", INT_MAX},
               {"-99999999999", INT_MIN}};
  for (const auto& c : cases) EXPECT_EQ(read_decimal(c.text), c.value) << c.text;
}

TEST(CommandLine, TestHostArgumentsTakeTheLastOccurrence) {
  const struct {
    std::vector<std::string> args;
    std::uint16_t port;
    std::string password;
  } cases[] = {
      {{"--test-host", "6000", "secret"}, 6000, "secret"},
      {{"--test-host", "70000", "secret"}, 4464, "secret"},
      {{"--test-host", "x", "secret"}, 0, "secret"},
      {{"--test-host", "6000"}, 0, ""},
      {{"--test-host=1", "6000", "secret"}, 0, ""},  // the option must be a whole argument
      {{"--test-host", "1", "a", "--test-host", "2", "b"}, 2, "b"},
      {{"--test-host", "6000", "p\xFFw"}, 6000, "p\xEF\xBF\xBDw"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_test_host_arguments(c.args);
    EXPECT_EQ(parsed.port, c.port);
    EXPECT_EQ(parsed.password, c.password);
  }
}

}  // namespace
}  // namespace tolvi
