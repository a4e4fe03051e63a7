#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvi {

// The raw command line: the text after the program name, as the process received it (on
// Linux, the arguments joined by single blanks, each one quoted as Windows would need).
void set_raw_command_line(std::string text);
const std::string& raw_command_line();

// Options are found by a plain, case-sensitive substring search of the raw command line, so
// an option counts wherever it stands; the dispatcher's order decides which one wins.
bool command_line_has(std::string_view text);

// Joins arguments the way a Windows command line would carry them: blank-separated, an
// argument that is empty or holds a blank or a quote enclosed in quotes with its quotes and
// the backslashes before them escaped, so that splitting gives the same arguments back.
std::string join_command_line(const std::vector<std::string>& args);

// _wtoi: leading blanks skipped, an optional sign, digits up to the first non-digit; 0 when
// there is none, clamped to the int range.
int read_decimal(std::string_view text);

struct TestHostArguments {
  std::uint16_t port = 0;  // low 16 bits of the number that follows "--test-host"
  std::string password;    // the argument after the port (UTF-8)
};
// Finds the last "--test-host PORT PASSWORD" among the split arguments.
TestHostArguments parse_test_host_arguments(const std::vector<std::string>& args);

}  // namespace tolvi
