#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/net.h"

namespace tolvi::platform {

// Mounting the client's shared folder (a WebDAV server on a loopback port, reached through the
// session's tunnel) where the person at this computer finds it: a drive letter through the
// WebClient service on Windows, a davfs2 mount or the user's GIO mount on Linux.

struct FolderMountRequest {
  std::uint16_t port = 0;  // the tunnel's loopback port
  std::string token;       // hexadecimal share token, the first path segment
  std::string label;       // the folder's label (UTF-8, no quote, slash, backslash or control)
  bool read_only = false;
};

enum class FolderMountOutcome {
  Mounted,
  NoUser,  // nobody to mount it for, or the mount program could not be started
  Failed,  // the mount program ran and refused
};

struct FolderMountResult {
  FolderMountOutcome outcome = FolderMountOutcome::Failed;
  // Mounted: the mount's short name for log lines ("Z:", "/media/tolvi/Photos") and the words
  // that follow the quoted label in the message to the client ("is drive Z: in File Explorer").
  std::string name;
  std::string where;
};

// One session's mount: at most one at a time, used from one thread at a time.
class FolderMounter {
 public:
  virtual ~FolderMounter() = default;
  // Prepares the system and mounts; the mount is remembered for unmount().
  virtual FolderMountResult mount(const FolderMountRequest& request) = 0;
  // Removes the remembered mount, if any; results are not examined.
  virtual void unmount() = 0;
  // Whether the program at the other end of a connection accepted on the tunnel's port may use
  // it: the accounts the mount is for and the system's own, where the system can tell. When
  // not, `peer` names the other end for the log. Called on the accept thread, also while
  // mount() runs.
  virtual bool allows_peer(const Socket& connection, std::string& peer) const = 0;
  // The sentences for the client when mount() gave NoUser or Failed, in this platform's words.
  virtual std::string no_user_text() const = 0;
  virtual std::string failed_text() const = 0;
};

std::unique_ptr<FolderMounter> make_folder_mounter();

// The `--test-run-as-user` diagnostic: runs, as the user a mount would be made for, a command
// that names that user and lists the network mounts, and logs "test-run-as-user: system=%d
// started=%d exit=%lu" with the output. 0 when the command started, else 1.
int test_run_as_user();

// Once at host start: removes mounts that a host process which did not end properly left.
void clean_stale_folder_mounts();

}  // namespace tolvi::platform
