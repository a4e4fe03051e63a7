#pragma once
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tolvi::platform {

// The account a child program runs as, when it is not this process's: its user and group
// numbers and its supplementary groups (none at all when empty). Only a process running as root
// may switch to another account.
struct SpawnIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

// One of our descriptors that the child gets as descriptor `child_fd` (0, 1 and 2 are its
// standard input, output and error). Our own copy stays as it is.
struct SpawnDescriptor {
  int our_fd = -1;
  int child_fd = -1;
};

// How a child program starts: which descriptors it gets, where it stands among sessions and
// process groups, what it inherits of our signal handling and which account it runs as. The
// defaults inherit everything and run the program as this process.
struct SpawnOptions {
  // Placed in the child at their numbers, in this order. No `our_fd` may be the `child_fd` of
  // another entry.
  std::vector<SpawnDescriptor> descriptors;
  // Every other descriptor from 3 on is closed in the child, marked close-on-exec or not.
  bool close_from_3 = false;
  // The child leads a session of its own (no controlling terminal, no signals of ours).
  bool new_session = false;
  // The child leads a process group of its own, so the group can be ended with it.
  bool new_process_group = false;
  // The child starts with no signals blocked and SIGTERM, SIGINT, SIGPIPE and SIGCHLD at their
  // defaults, whatever this process set up for itself.
  bool default_signals = false;
  // argv[0] without a slash is looked up in this process's PATH.
  bool search_path = false;
  // The folder the child starts in ("" keeps ours); "/" when its account may not enter it, as
  // at a sign-in.
  std::string working_folder;
  // The account the child runs as; this process's when empty.
  std::optional<SpawnIdentity> identity;
};

// Starts the program at path argv[0] with `argv` and `environment` ("NAME=value" entries; this
// process's environment when null). Returns 0 and the child's `pid`, or the error number of the
// failed start (the program missing or not executable, a descriptor that could not be placed
// or an account that could not be taken on included); a failed start leaves no child behind.
// posix_spawn starts it, except with an `identity`, which posix_spawn cannot take on: then a
// forked copy of this process does the same steps, takes on the account last and runs the
// program, telling us the error number of any step that failed.
int spawn_program(const std::vector<std::string>& argv, const SpawnOptions& options, pid_t& pid,
                  const std::vector<std::string>* environment = nullptr);

// Reaps `pid` on a thread of its own whenever it ends, for a child nobody waits for.
void reap_when_done(pid_t pid);

}  // namespace tolvi::platform
