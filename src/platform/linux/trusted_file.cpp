#include "platform/linux/trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/unique_fd.h"

namespace tolvi::platform {
namespace {

// Bigger is not a console or settings file a person wrote.
constexpr std::size_t kMaxTrustedFileBytes = 65536;

}  // namespace

std::optional<std::string> read_trusted_file(const std::filesystem::path& path, std::string& why) {
  why.clear();
  UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (file.get() < 0) {
    if (errno == ELOOP) {
      why = "it is a symbolic link";
    } else if (errno != ENOENT) {
      why = std::strerror(errno);
    }
    return std::nullopt;
  }
  struct stat info {};
  if (fstat(file.get(), &info) != 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    why = "it is not a regular file";
    return std::nullopt;
  }
  if (info.st_uid != 0 && info.st_uid != geteuid()) {
    why = "it belongs to another account (uid " + std::to_string(info.st_uid) + ")";
    return std::nullopt;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = "other accounts may write it";
    return std::nullopt;
  }
  std::string data;
  char buffer[4096];
  while (data.size() <= kMaxTrustedFileBytes) {
    const ssize_t n = read(file.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      why = std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  why = "it is too large";
  return std::nullopt;
}

}  // namespace tolvi::platform
