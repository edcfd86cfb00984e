#include "codec/windows1252.h"

#include <array>
#include <cstdint>

#include "codec/error.h"

namespace kivo {
namespace {

// Code points of the bytes 0x80 to 0x9F; the rest of the set equals Latin-1.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t ByteToCodePoint(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
  return byte;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    // Windows-1252 reaches no further than the Basic Multilingual Plane.
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

[[noreturn]] void Refuse() { throw Error::Standard(kInvalidArgument); }

// Decodes one UTF-8 sequence at `pos`, strictly: no overlong forms, no surrogates.
char32_t NextCodePoint(std::string_view s, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(s[pos++]);
  if (lead < 0x80) return lead;
  int extra;
  char32_t cp;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, minimum = 0x10000;
  } else {
    Refuse();
  }
  for (int i = 0; i < extra; ++i) {
    if (pos >= s.size()) Refuse();
    const auto next = static_cast<unsigned char>(s[pos++]);
    if ((next & 0xC0) != 0x80) Refuse();
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) Refuse();
  return cp;
}

unsigned char CodePointToByte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == cp) return static_cast<unsigned char>(0x80 + i);
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
  while (pos < utf8.size())
    out.push_back(static_cast<char>(CodePointToByte(NextCodePoint(utf8, pos))));
  return out;
}

}  // namespace kivo
