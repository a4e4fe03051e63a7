#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace tolvi::platform {

// How a child program starts: which descriptors it gets, where it stands among sessions and
// process groups, and what it inherits of our signal handling. The defaults inherit everything.
struct SpawnOptions {
  // Placed on the child's descriptor 0 when not -1.
  int stdin_fd = -1;
  // Every descriptor from 3 on is closed in the child, marked close-on-exec or not.
  bool close_from_3 = false;
  // The child leads a session of its own (no controlling terminal, no signals of ours).
  bool new_session = false;
  // The child leads a process group of its own, so the group can be ended with it.
  bool new_process_group = false;
  // The child starts with no signals blocked and SIGTERM, SIGINT, SIGPIPE and SIGCHLD at their
  // defaults, whatever this process set up for itself.
  bool default_signals = false;
};

// Starts the program at path argv[0] with `argv` and `environment` ("NAME=value" entries; this
// process's environment when null). Returns 0 and the child's `pid`, or the error number of the
// failed start (the program missing or not executable included).
int spawn_program(const std::vector<std::string>& argv, const SpawnOptions& options, pid_t& pid,
                  const std::vector<std::string>* environment = nullptr);

}  // namespace tolvi::platform
