#include "codec/windows1252.h"

#include <array>
#include <cstdint>
#include <optional>

#include "base/error.h"
#include "base/utf8.h"

namespace kivo {
namespace {

// Where Latin-1 has its C1 controls, bytes 0x80 to 0x9F, Windows-1252 has printable characters
// (euro sign, curly quotes, dashes); only its five undefined bytes stay the control of the same
// number. Every other byte is its Latin-1 character.
constexpr std::array<char32_t, 32> kBytes80To9F = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t ByteToCodePoint(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kBytes80To9F[byte - 0x80];
  return byte;
}

[[noreturn]] void Refuse() { throw Error::Standard(kInvalidArgument); }

unsigned char CodePointToByte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
  for (std::size_t i = 0; i < kBytes80To9F.size(); ++i) {
    if (kBytes80To9F[i] == cp) return static_cast<unsigned char>(0x80 + i);
  }
  Refuse();
}

}  // namespace

std::string Windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) AppendUtf8(out, ByteToCodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToWindows1252(std::string_view utf8) {
  // ASCII, which connection strings are made of, is the same in both: copied as it stands.
  std::size_t pos = 0;
  while (pos < utf8.size() && static_cast<unsigned char>(utf8[pos]) < 0x80) ++pos;
  std::string out(utf8.substr(0, pos));
  if (pos == utf8.size()) return out;
  out.reserve(utf8.size());
  while (pos < utf8.size()) {
    const std::optional<char32_t> cp = NextUtf8CodePoint(utf8, pos);
    if (!cp) Refuse();
    out.push_back(static_cast<char>(CodePointToByte(*cp)));
  }
  return out;
}

}  // namespace kivo
