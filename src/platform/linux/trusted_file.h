#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace tolvi::platform {

// The contents of a file this process may act on without being led by another account: a
// regular file, not reached through a link at its last step, owned by root or by this process's
// own user, and writable by nobody else (no group or other write bit). Nothing otherwise; `why`
// then says what was wrong ("" when the file is simply not there). A pipe or device there never
// blocks the read.
std::optional<std::string> read_trusted_file(const std::filesystem::path& path, std::string& why);

}  // namespace tolvi::platform
