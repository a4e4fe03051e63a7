#include "base/linux/install_root.h"

#include <cstdlib>

namespace tolvi {

std::filesystem::path install_root() {
  const char* root = std::getenv("TOLVI_INSTALL_ROOT");
  if (!root || !root[0]) return "/";
  // A relative root is taken from the current folder, never mistaken for the system's own.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(root, ec);
  return ec ? std::filesystem::path(root) : absolute;
}

std::filesystem::path under_install_root(std::string_view absolute) {
  const std::filesystem::path root = install_root();
  if (root == "/") return std::filesystem::path(absolute);
  while (!absolute.empty() && absolute.front() == '/') absolute.remove_prefix(1);
  return root / absolute;
}

}  // namespace tolvi
