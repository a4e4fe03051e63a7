#include "davfs_mount_options.h"

namespace tolvi::platform {

namespace {

// Octal, as mount.davfs reads them.
constexpr char kOwnerOnlyFolders[] = "0700";
constexpr char kOwnerOnlyFiles[] = "0600";

}  // namespace

std::string davfs_mount_options(uid_t uid, gid_t gid, const std::string& config, bool read_only) {
  return "uid=" + std::to_string(uid) + ",gid=" + std::to_string(gid) +
         ",dir_mode=" + kOwnerOnlyFolders + ",file_mode=" + kOwnerOnlyFiles + ",conf=" + config +
         (read_only ? ",ro" : ",rw");
}

}  // namespace tolvi::platform
