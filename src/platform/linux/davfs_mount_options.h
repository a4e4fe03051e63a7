#pragma once
#include <sys/types.h>

#include <string>

namespace tolvi::platform {

// mount.davfs's -o text for a share mounted for one account: everything in it belongs to
// that account and only it (and root) may enter, read or write, whatever modes the client's
// files have. `config` is the davfs2 configuration file of this mount.
std::string davfs_mount_options(uid_t uid, gid_t gid, const std::string& config, bool read_only);

}  // namespace tolvi::platform
