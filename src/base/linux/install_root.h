#pragma once
#include <filesystem>
#include <string_view>

namespace tolvi {

// The folder that stands for "/" for every system-wide file the host installs or keeps
// (program, unit, desktop entries, machine settings, manifest, the process list): the folder
// $TOLVI_INSTALL_ROOT names (relative to the current folder when not absolute), "/" when it is
// unset or empty. Tests point it at a temporary folder.
std::filesystem::path install_root();

// `absolute` (a path as the installed system names it) under the install root.
std::filesystem::path under_install_root(std::string_view absolute);

}  // namespace tolvi
