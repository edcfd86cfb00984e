#include "upgrade/connection/secret_mask.h"

#include "base/ascii.h"
#include "upgrade/connection/oledb_connection_string.h"

namespace kivo {
namespace {

bool IsSecretName(std::string_view name) {
  return EqualsIgnoringAsciiCase(name, "password") || EqualsIgnoringAsciiCase(name, "pwd");
}

}  // namespace

bool MentionsPasswordItem(std::string_view value) {
  const std::string lowered = LowerAscii(value);
  for (const std::string_view name : {"pwd", "password"}) {
    for (std::size_t at = lowered.find(name); at != std::string::npos;
         at = lowered.find(name, at + 1)) {
      const std::size_t equals = lowered.find_first_not_of(kAsciiBlanks, at + name.size());
      if (equals != std::string::npos && lowered[equals] == '=') return true;
    }
  }
  return false;
}

std::string MaskPasswords(std::string_view s) {
  const OleDbReading reading = ReadOleDbConnectionString(s);
  std::string out;
  std::size_t copied = 0;
  for (const OleDbItemSpan& span : reading.items) {
    if (!IsSecretName(span.item.name) && !MentionsPasswordItem(span.item.value)) continue;
    out.append(s.substr(copied, span.valueBegin - copied));
    out.append(kMaskedSecret);
    copied = span.valueEnd;
  }
  // Where the parser gives up, a password may stand anywhere in the rest, or be cut in two by a
  // ";" there; only a text that no reading can take a password from is shown on.
  const bool hideRest = reading.unreadableFrom != std::string_view::npos && MentionsPasswordItem(s);
  const std::size_t shownTo = hideRest ? reading.unreadableFrom : s.size();
  out.append(s.substr(copied, shownTo - copied));
  if (hideRest) out.append(kMaskedSecret);
  return out;
}

}  // namespace kivo
