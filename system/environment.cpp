#include "system/environment.h"

#include <cstdlib>

namespace kivo {

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  // Narrow on every platform for now: on Windows getenv answers in the system code page.
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace kivo
