#include "app/command_line.h"

#include <climits>

#include "platform/text.h"

namespace tolvi {
namespace {

std::string& command_line_storage() {
  static std::string text;
  return text;
}

constexpr std::string_view kTestHost = "--test-host";

}  // namespace

void set_raw_command_line(std::string text) { command_line_storage() = std::move(text); }

const std::string& raw_command_line() { return command_line_storage(); }

bool command_line_has(std::string_view text) {
  return raw_command_line().find(text) != std::string::npos;
}

std::string join_command_line(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    std::size_t slashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++slashes;
      } else if (c == '"') {
        line.append(slashes + 1, '\\');  // double the run before a quote, then escape it
        slashes = 0;
      } else {
        slashes = 0;
      }
      line += c;
    }
    line.append(slashes, '\\');  // a run before the closing quote is doubled too
    line += '"';
  }
  return line;
}

int read_decimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

TestHostArguments parse_test_host_arguments(const std::vector<std::string>& args) {
  TestHostArguments result;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (args[i - 2] != kTestHost) continue;
    result.port = static_cast<std::uint16_t>(static_cast<unsigned>(read_decimal(args[i - 1])));
    result.password = to_utf8(to_utf16(args[i]));
  }
  return result;
}

}  // namespace tolvi
