#include "base/secure_zero.h"

#include <windows.h>

namespace tolvi {

void secure_zero(void* data, std::size_t length) {
  if (data && length) SecureZeroMemory(data, length);
}

}  // namespace tolvi
