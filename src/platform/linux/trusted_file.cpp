#include "platform/linux/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/linux/unique_fd.h"

namespace tolvi::platform {
namespace {

// Bigger is not a console or settings file a person wrote.
constexpr std::size_t kMaxTrustedFileBytes = 65536;
constexpr std::size_t kReadPiece = 8192;

// Nothing, with errno `error` and `why` set to `reason`.
std::optional<std::string> refuse(int error, std::string& why, std::string reason) {
  why = std::move(reason);
  errno = error;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> read_file_checked(const std::filesystem::path& path,
                                             const FileTrust* trust, std::string& why) {
  why.clear();
  const int flags = O_RDONLY | O_CLOEXEC | (trust ? O_NOFOLLOW | O_NONBLOCK : 0);
  UniqueFd file(open(path.c_str(), flags));
  if (!file.valid()) {
    const int error = errno;
    if (error == ENOENT) return refuse(error, why, "");
    return refuse(error, why,
                  trust && error == ELOOP ? "it is a symbolic link" : std::strerror(error));
  }
  if (trust) {
    struct stat info {};
    if (fstat(file.get(), &info) != 0) return refuse(errno, why, std::strerror(errno));
    if (!S_ISREG(info.st_mode)) return refuse(EACCES, why, "it is not a regular file");
    if (std::find(trust->owners.begin(), trust->owners.end(), info.st_uid) == trust->owners.end()) {
      return refuse(EACCES, why,
                    "it belongs to another account (uid " + std::to_string(info.st_uid) + ")");
    }
    if (trust->no_shared_writes && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      return refuse(EACCES, why, "other accounts may write it");
    }
  }
  const std::size_t max_bytes = trust ? trust->max_bytes : FileTrust{}.max_bytes;
  std::string data;
  char buffer[kReadPiece];
  while (data.size() <= max_bytes) {
    const ssize_t n = read(file.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return refuse(errno, why, std::strerror(errno));
    }
    if (n == 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return refuse(EFBIG, why, "it is too large");
}

std::optional<std::string> read_trusted_file(const std::filesystem::path& path, std::string& why) {
  const FileTrust trust{{0, geteuid()}, true, kMaxTrustedFileBytes};
  return read_file_checked(path, &trust, why);
}

}  // namespace tolvi::platform
