#include "base/visible_text.h"

#include <cstdio>
#include <optional>

#include "base/utf8.h"

namespace kivo {
namespace {

bool Hidden(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void AppendEscape(std::string& out, const char* format, unsigned value) {
  char escape[8];
  std::snprintf(escape, sizeof escape, format, value);
  out += escape;
}

}  // namespace

std::string VisibleText(std::string_view text, LineEnds lineEnds) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (lineEnds == LineEnds::kKeepCrLf && text.substr(i, 2) == "\r\n") {
      out += '\n';
      i += 2;
      continue;
    }
    const std::size_t start = i;
    const std::optional<char32_t> c = NextUtf8CodePoint(text, i);
    if (!c) {
      // Resume right after the first byte, which is the one shown.
      i = start + 1;
      AppendEscape(out, "\\x%02x", static_cast<unsigned char>(text[start]));
    } else if (!Hidden(*c)) {
      out.append(text, start, i - start);
    } else if (*c < 0x80) {
      AppendEscape(out, "\\x%02x", static_cast<unsigned>(*c));
    } else {
      AppendEscape(out, "\\u%04x", static_cast<unsigned>(*c));
    }
  }
  return out;
}

}  // namespace kivo
