#pragma once
#include <cstddef>

namespace tolvi {

// Overwrites `length` bytes with zeros in a way the optimiser cannot remove.
void secure_zero(void* data, std::size_t length);

}  // namespace tolvi
