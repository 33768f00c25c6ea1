#include "secret/secret.h"

namespace bv {

void secure_zero(void* data, std::size_t size) {
  // Volatile stores are not removed as dead stores, unlike a plain memset
  // before a free.
  auto* p = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace bv
