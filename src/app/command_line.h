#pragma once
#include <cstddef>
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

// The least bytes a test host's password has.
inline constexpr std::size_t kMinTestPasswordBytes = 6;

// What is wrong with the split arguments, in words for the person who typed them ("unknown
// option --bogus", "port 70000 is out of range (1-65535)"), or empty when every argument is an
// option of ours followed by the values it takes. The dispatcher still finds the options by
// their text; this only keeps a mistake from starting another mode than the one meant.
std::string command_line_mistake(const std::vector<std::string>& args);

}  // namespace tolvi
