#pragma once
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace tolvi::platform {

// A system path (/etc/..., /run/...) under the install root: TOLVI_INSTALL_ROOT when set, so
// that tests and staged installs move every system file together; "/" otherwise.
inline std::filesystem::path system_path(std::string_view absolute) {
  const char* root = std::getenv("TOLVI_INSTALL_ROOT");
  std::filesystem::path path = (root && *root) ? root : "/";
  return path / std::filesystem::path(absolute).relative_path();
}

}  // namespace tolvi::platform
