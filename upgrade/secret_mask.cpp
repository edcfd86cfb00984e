#include "upgrade/secret_mask.h"

#include <algorithm>

#include "base/ascii.h"
#include "upgrade/odbc_connection_string.h"

namespace kivo {
namespace {

bool IsSecretName(std::string_view name) {
  const std::string_view trimmed = TrimAscii(name);
  return EqualsIgnoringAsciiCase(trimmed, "password") || EqualsIgnoringAsciiCase(trimmed, "pwd");
}

// The end of the value that starts at `pos`: the ";" after it, or the end of the text.
// Returns npos for a quote that is never closed.
std::size_t ValueEnd(std::string_view s, std::size_t pos) {
  std::size_t i = pos;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i < s.size() && (s[i] == '"' || s[i] == '\'' || s[i] == '{')) {
    const std::size_t end = QuotedValueEnd(s, i);
    if (end == std::string_view::npos) return end;
    return std::min(s.find(';', end), s.size());
  }
  return std::min(s.find(';', pos), s.size());
}

}  // namespace

std::string MaskPasswords(std::string_view s) {
  std::string out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t equals = s.find('=', pos);
    const std::size_t semicolon = s.find(';', pos);
    if (equals == std::string_view::npos ||
        (semicolon != std::string_view::npos && semicolon < equals)) {
      // An item without a value: copy it as it stands.
      const std::size_t end = std::min(semicolon, s.size());
      out.append(s.substr(pos, end - pos));
      if (end < s.size()) out.push_back(';');
      pos = end + 1;
      continue;
    }
    const std::size_t end = ValueEnd(s, equals + 1);
    const bool secret = IsSecretName(s.substr(pos, equals - pos));
    out.append(s.substr(pos, equals + 1 - pos));
    if (end == std::string_view::npos) {
      // Unbalanced quote: nothing after it can be trusted to be harmless.
      out.append(kMaskedSecret);
      break;
    }
    out.append(secret ? kMaskedSecret : s.substr(equals + 1, end - equals - 1));
    if (end < s.size()) out.push_back(';');
    pos = end + 1;
  }
  return out;
}

}  // namespace kivo
