#include "platform/linux/service_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "base/linux/install_root.h"

namespace tolvi::platform {
namespace {

constexpr mode_t kMarkerFolderMode = 0755;
constexpr mode_t kMarkerMode = 0644;

bool exists(const char* path) {
  struct stat info {};
  return lstat(under_install_root(path).c_str(), &info) == 0;
}

// Owned by root or by us, and writable by nobody else.
bool trusted_owner(const struct stat& info) {
  return (info.st_uid == 0 || info.st_uid == geteuid()) &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The whole file; an open file description's lock, so it belongs to this one descriptor (and
// goes with it), not to the process as a classic POSIX lock would.
struct flock whole_file(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

}  // namespace

bool systemd_runs() { return exists(kSystemdRunning); }

bool service_unit_enabled() {
  return (exists(kServiceUnitFile) || exists(kPackageServiceUnitFile)) && exists(kServiceUnitLink);
}

ServiceMarker::ServiceMarker() {
  const std::filesystem::path path = under_install_root(kServiceMarker);
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  chmod(path.parent_path().c_str(), kMarkerFolderMode);
  UniqueFd file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kMarkerMode));
  struct stat info {};
  if (!file.valid() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  fchmod(file.get(), kMarkerMode);
  struct flock lock = whole_file(F_WRLCK);
  if (fcntl(file.get(), F_OFD_SETLK, &lock) != 0) return;
  const std::string pid = std::to_string(static_cast<long>(getpid())) + "\n";
  // The lock is the mark; the text is only for people.
  if (ftruncate(file.get(), 0) == 0) (void)!pwrite(file.get(), pid.data(), pid.size(), 0);
  file_ = std::move(file);
}

ServiceMarker::~ServiceMarker() {
  // The lock goes with the descriptor; the file stays for the next service (a stale one is
  // harmless, and removing it could race a successor's creation).
  if (valid()) (void)!ftruncate(file_.get(), 0);
}

bool service_marker_held() {
  const std::filesystem::path path = under_install_root(kServiceMarker);
  struct stat folder {};
  if (lstat(path.parent_path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
      !trusted_owner(folder)) {
    return false;
  }
  UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat info {};
  if (!file.valid() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !trusted_owner(info)) {
    return false;
  }
  // Asking needs no write access: the answer is the lock that stands in the way, if any.
  struct flock lock = whole_file(F_WRLCK);
  return fcntl(file.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace tolvi::platform
