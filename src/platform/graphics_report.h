#pragma once
#include <string>
#include <vector>

namespace tolvi::platform {

// For a person diagnosing video: one line per graphics adapter and per display output the
// capture backend can see, in its order of search, marking the one it would stream. Nothing
// here logs.
std::vector<std::string> describe_graphics_outputs();

}  // namespace tolvi::platform
