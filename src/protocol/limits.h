#pragma once
#include <cstddef>

namespace tolvi {

// Limits of the wire that host and client both hold to.

// The longest clipboard text exchanged, in UTF-8 bytes, both ways.
constexpr std::size_t kMaxClipboardTextBytes = 1048575;

}  // namespace tolvi
