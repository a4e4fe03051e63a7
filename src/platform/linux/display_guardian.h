#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/unique_fd.h"

namespace tolvi::platform {

// The program that undoes what the host did to its display once the host has ended, however it
// ended (guardian/display_guardian_main.cpp): display changes, and keys and buttons the host
// still held down. It sits beside tolvi-host, built and installed there.
constexpr char kDisplayGuardianName[] = "tolvi-display-guardian";

// Its first argument for the held-input watch: then the display and the host's process id, and
// each change of what the host holds arrives on its standard input as one line (held_input.h).
constexpr char kHeldInputOption[] = "--held-input";

// The guardian beside the running program (installed or in the build tree); a build with tests
// also knows where its own build put it, for test programs that run from other folders. A root
// host runs only a guardian that root owns and nobody else may change. Empty when there is none.
std::filesystem::path guardian_path();

// Starts the guardian with `arguments` in a session (so a process group) of its own: the
// service ends a stuck agent with SIGKILL to the agent's group, and a terminal's Ctrl+C goes to
// its foreground group; the guardian must outlive both. Its standard input is the other end of
// the returned socket, and it holds nothing else of ours (an inherited listening socket would
// outlive this process). Writing to the socket never raises SIGPIPE (send with MSG_NOSIGNAL);
// closing it, or this process ending, tells the guardian to act. Invalid when it cannot start.
UniqueFd start_guardian(const std::vector<std::string>& arguments);

}  // namespace tolvi::platform
