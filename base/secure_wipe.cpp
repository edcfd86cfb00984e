#include "base/secure_wipe.h"

#include <cstring>

namespace kivo {

void SecureWipe(void* data, std::size_t size) noexcept {
  if (size == 0) return;
#if defined(__GLIBC__)
  explicit_bzero(data, size);
#else
  // Stores through a volatile pointer are observable, so none of them may be dropped.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
#endif
}

}  // namespace kivo
