#include "base/path.h"

#include <string>

#ifdef _WIN32
#include "base/utf8.h"
#endif

namespace kivo {

std::filesystem::path PathFromUtf8(std::string_view utf8) {
#ifdef _WIN32
  // Windows names files in UTF-16; a narrow string would be read in the ANSI code page.
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
#else
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
#endif
}

}  // namespace kivo
