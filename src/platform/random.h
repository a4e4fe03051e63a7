#pragma once
#include <cstddef>

namespace tolvi {

// Fills `buffer` from the system's preferred random generator (getrandom on Linux,
// BCryptGenRandom on Windows). Returns false only when the generator failed.
bool random_bytes(void* buffer, std::size_t length);

}  // namespace tolvi
