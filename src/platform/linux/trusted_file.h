#pragma once
#include <sys/types.h>

#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace tolvi::platform {

// What a file must be before it is read on behalf of something that must not be led by another
// account: a regular file, not reached through a link at its last step (and a pipe or device
// put there never blocks the read), owned by one of `owners`, and, with `no_shared_writes`,
// writable by nobody else (no group or other write bit); refused above `max_bytes`.
struct FileTrust {
  std::vector<uid_t> owners;
  bool no_shared_writes = false;
  std::size_t max_bytes = std::numeric_limits<std::size_t>::max();
};

// The contents of `path` when it is what `trust` asks; without `trust`, of whatever file is
// there, links followed. Nothing otherwise, with errno set (that of the failed call, EACCES
// for a file that is not what was asked, EFBIG for one too large) and `why` saying what was
// wrong ("" when the file is simply not there).
std::optional<std::string> read_file_checked(const std::filesystem::path& path,
                                             const FileTrust* trust, std::string& why);

// A file this process may act on without being led by another account: owned by root or by this
// process's own user, nobody else writing it, 64 KiB at most (see read_file_checked).
std::optional<std::string> read_trusted_file(const std::filesystem::path& path, std::string& why);

}  // namespace tolvi::platform
