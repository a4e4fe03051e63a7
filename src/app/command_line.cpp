#include "app/command_line.h"

#include <algorithm>
#include <climits>
#include <iterator>

#include "platform/text.h"

namespace tolvi {
namespace {

std::string& command_line_storage() {
  static std::string text;
  return text;
}

constexpr std::string_view kTestHost = "--test-host";
constexpr std::string_view kSetScale = "--set-scale";
constexpr std::string_view kSetMatch = "--set-match";

// Options that take no value.
constexpr std::string_view kFlags[] = {
    "--service",   "--agent",  "--test-run-as-user", "--selftest-media", "--install",
    "--uninstall", "--quiet",  "--password-dialog",  "--show-password",  "--get-scale",
    "--help",      "--version"};

constexpr int kMaxPort = 65535;
// --set-scale takes a step of the scaling ladder, or 0 for the display's recommended one.
constexpr int kMinScalePercent = 100;
constexpr int kMaxScalePercent = 500;

bool is_number(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A number's value, or -1 when it is not one or too big for an int.
int number_value(const std::string& text) {
  if (!is_number(text)) return -1;
  const int value = read_decimal(text);
  return value == INT_MAX ? -1 : value;
}

std::string test_host_mistake(const std::vector<std::string>& args, std::size_t& i) {
  if (i + 2 >= args.size()) return "--test-host needs PORT PASSWORD";
  const std::string& port = args[++i];
  const std::string& password = args[++i];
  if (!is_number(port)) return "port " + port + " is not a number";
  const int value = number_value(port);
  if (value < 1 || value > kMaxPort) return "port " + port + " is out of range (1-65535)";
  if (to_utf8(to_utf16(password)).size() < kMinTestPasswordBytes) {
    return "the password needs at least " + std::to_string(kMinTestPasswordBytes) + " bytes";
  }
  return {};
}

std::string set_scale_mistake(const std::vector<std::string>& args, std::size_t& i) {
  if (i + 1 >= args.size()) return "--set-scale needs PERCENT";
  const std::string& value = args[++i];
  const int percent = number_value(value);
  if (percent != 0 && (percent < kMinScalePercent || percent > kMaxScalePercent)) {
    return "--set-scale takes a percentage from 100 to 500 (0: the recommended one), not " + value;
  }
  return {};
}

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

std::string command_line_mistake(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string mistake;
    if (arg == kTestHost) {
      mistake = test_host_mistake(args, i);
    } else if (arg == kSetScale) {
      mistake = set_scale_mistake(args, i);
    } else if (arg == kSetMatch) {
      // A bare "--set-match" forbids matching, as "--set-match 0" does.
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
        const std::string& value = args[++i];
        if (!is_number(value)) mistake = "--set-match takes 1 or 0, not " + value;
      }
    } else if (std::find(std::begin(kFlags), std::end(kFlags), arg) != std::end(kFlags)) {
      continue;
    } else if (arg.rfind('-', 0) == 0) {
      mistake = "unknown option " + arg;
    } else {
      mistake = "unexpected argument " + arg;
    }
    if (!mistake.empty()) return mistake;
  }
  return {};
}

}  // namespace tolvi
