#include "platform/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/linux/spawn_program.h"
#include "platform/linux/user_command.h"
#include "platform/text.h"

namespace tolvi::platform {

std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (true) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(line[i]))) {
      if (line[i] == '\\') {
        std::size_t slashes = 0;
        while (i < line.size() && line[i] == '\\') ++slashes, ++i;
        if (i < line.size() && line[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2) {
            arg += '"';
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
      } else if (line[i] == '"') {
        ++i;
        if (quoted && i < line.size() && line[i] == '"') {
          arg += '"';  // "" inside a quoted group is one literal quote
          ++i;
        } else {
          quoted = !quoted;
        }
      } else {
        arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

namespace {

// pkexec stands for the consent prompt: it asks for an administrator's authentication.
constexpr char kPkexec[] = "/usr/bin/pkexec";
// Long enough for a person to read the prompt and type a password.
constexpr int kElevatedOutputTimeoutMs = 180000;

// pkexec, this program and `arguments`; empty when there is no pkexec.
std::vector<std::string> elevated_command(const std::string& arguments) {
  if (access(kPkexec, X_OK) != 0) return {};
  std::vector<std::string> argv_text{kPkexec, to_utf8(module_path())};
  for (auto& arg : split_command_line(arguments)) argv_text.push_back(arg);
  return argv_text;
}

}  // namespace

std::optional<std::string> run_elevated_for_output(const std::string& arguments) {
  const std::vector<std::string> argv = elevated_command(arguments);
  if (argv.empty()) return std::nullopt;
  std::string output;
  int exit_code = -1;
  if (!run_command(argv, nullptr, kElevatedOutputTimeoutMs, output, exit_code) || exit_code != 0) {
    return std::nullopt;
  }
  return output;
}

bool run_elevated(const std::string& arguments, bool wait) {
  const std::vector<std::string> argv = elevated_command(arguments);
  if (argv.empty()) return false;
  pid_t child = -1;
  if (spawn_program(argv, SpawnOptions{}, child) != 0) return false;
  if (!wait) {
    reap_when_done(child);  // never left a zombie
    return true;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool started_from_terminal() { return isatty(STDERR_FILENO) == 1; }

void set_dpi_awareness() {
  // X11 has no per-process DPI awareness: scaling is the desktop's Xft.dpi.
}

void exit_process(int code) { std::_Exit(code); }

}  // namespace tolvi::platform
