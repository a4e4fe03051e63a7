#pragma once
#include <string>

namespace tolvi {

// Percent-encodes every byte outside the unreserved URI characters (letters, digits, "-._~"),
// with upper-case hex digits: a folder name as a URI path segment.
std::string percent_encode(const std::string& text);

}  // namespace tolvi
