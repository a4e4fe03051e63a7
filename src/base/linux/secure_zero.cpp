#include "base/secure_zero.h"

#include <openssl/crypto.h>

namespace tolvi {

void secure_zero(void* data, std::size_t length) {
  if (data && length) OPENSSL_cleanse(data, length);
}

}  // namespace tolvi
