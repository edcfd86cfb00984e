#include "system/environment.h"

#ifdef _WIN32
#include <windows.h>

#include "base/utf8.h"
#else
#include <cstdlib>
#endif

namespace kivo {

#ifdef _WIN32

// getenv would answer in the ANSI code page, which has no room for most letters.
std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const std::u16string name16 = Utf8ToUtf16(name);
  const std::wstring wideName(name16.begin(), name16.end());
  std::wstring value(256, L'\0');
  // The variable may grow between the call that measures it and the one that reads it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < value.size()) {
      return Utf16ToUtf8(std::u16string(value.begin(), value.begin() + length));
    }
    value.assign(length, L'\0');  // the size needed, its terminating zero included
  }
  return std::nullopt;
}

#else

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

#endif

}  // namespace kivo
