#pragma once
#include <sys/types.h>

#include <optional>
#include <string>

namespace tolvi::platform {

// The X display at the console, the one the service's agent serves: logind's X11 session on
// seat0, else the display the console file names (console_sessions.cpp).
struct ConsoleDesktop {
  std::string display;
  std::string xauthority;     // empty when none is known
  std::optional<uid_t> user;  // the session's user; unknown for the console file
};

// Nothing when no X display is at the console.
std::optional<ConsoleDesktop> console_desktop();

}  // namespace tolvi::platform
