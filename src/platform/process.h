#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvi::platform {

// Splits a command line by the Windows rules (CommandLineToArgvW): blanks separate arguments,
// double quotes group, 2n backslashes before a quote give n backslashes and a grouping quote,
// 2n+1 give n backslashes and a literal quote, "" inside a group is a literal quote.
std::vector<std::string> split_command_line(std::string_view command_line);

// Starts this executable again with administrator rights and `arguments`. With `wait` false,
// true once it started; with `wait` true, true when it ended with exit code 0.
bool run_elevated(const std::string& arguments, bool wait);

// Where an account may not read the machine's own settings (Linux keeps them for root alone):
// runs this executable again with administrator rights and `arguments` and returns what it
// printed, when it ended with exit code 0. Nothing where the elevation was refused or failed, and
// always nothing on Windows, where every account of the machine reads those settings itself.
std::optional<std::string> run_elevated_for_output(const std::string& arguments);

// Makes the process per-monitor DPI aware where the platform has such a notion.
void set_dpi_awareness();

// The session attached to the console: WTSGetActiveConsoleSessionId on Windows; on Linux the
// session the service starts its agent into (see console_sessions.cpp): logind's X11 session on
// seat0 or the console file's display. 0xFFFFFFFF when there is none.
unsigned long console_session_id();

// First thing in the process, before it starts any thread: what the platform's libraries need
// set up while the process is still single-threaded. On Linux, Xlib's own locking
// (XInitThreads): sessions open and close X connections on several threads at once, and the
// extension libraries keep process-wide lists of displays that only that locking protects.
// Nothing on Windows.
void prepare_process_start();

// What the host server needs from the process before it serves: on Windows COM (multithreaded)
// on the calling thread, Media Foundation and a 1 ms timer resolution; nothing elsewhere.
// Failures are not fatal here: the capture and encoding set-up finds out and says so.
void prepare_host_process();

// Whether the process was started from a terminal that shows what it writes to stderr (a
// person typed the command); never on Windows, where the program has no console.
bool started_from_terminal();

// For a command whose output a person reads: where standard output and standard error lead
// nowhere (a GUI-subsystem program started from a console on Windows gets no console of its
// own), connects them to the console of the process that started this one, if it has one.
// Output already redirected (to a file or a pipe) stays where it goes. Nothing on Linux.
void attach_parent_console();

// Ends the whole process at once with `code`.
[[noreturn]] void exit_process(int code);

}  // namespace tolvi::platform
