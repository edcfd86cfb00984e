#include "codec/scrambled_value.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>

#include "base/error.h"
#include "codec/windows1252.h"

namespace kivo {
namespace {

// The value's numbers are 16-bit: arithmetic that leaves the range raises overflow instead
// of wrapping.
std::int16_t ToInt16(long long v) {
  if (v < std::numeric_limits<std::int16_t>::min() || v > std::numeric_limits<std::int16_t>::max())
    throw Error::Standard(kOverflow);
  return static_cast<std::int16_t>(v);
}

// Conversion of a double to a 16-bit integer rounds half to even.
std::int16_t RoundToInt16(double v) {
  if (!(v >= -32768.5 && v <= 32767.5)) throw Error::Standard(kOverflow);
  return ToInt16(static_cast<long long>(std::nearbyint(v)));
}

// Text to number, strictly: an optional minus sign and decimal digits, nothing else. The
// fields are at most three characters, so a long long cannot overflow here.
long long ParseNumber(std::string_view s) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && s[i] == '-') negative = true, ++i;
  if (i == s.size() || s.size() > 18) throw Error::Standard(kTypeMismatch);
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') throw Error::Standard(kTypeMismatch);
    v = v * 10 + (s[i] - '0');
  }
  return negative ? -v : v;
}

std::int16_t ReadInt16(std::string_view s) { return ToInt16(ParseNumber(s)); }
double ReadDouble(std::string_view s) { return static_cast<double>(ParseNumber(s)); }

// Mid(s, start, length) with a 1-based start: past the end gives "", a length past the end is
// cut. Callers check that start is at least 1.
std::string_view Mid(std::string_view s, long long start, long long length) {
  const auto from = static_cast<std::size_t>(start - 1);
  if (from >= s.size()) return {};
  return s.substr(from, static_cast<std::size_t>(length));
}

// Characters as the platform's UTF-16 strings count them: one per code point, two beyond the
// BMP. A malformed sequence counts by its lead bytes; the conversion refuses it anyway.
std::size_t CharacterCount(std::string_view utf8) {
  std::size_t count = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) ++count;
    if (byte >= 0xF0) ++count;
  }
  return count;
}

std::string_view Right(std::string_view s, std::size_t n) {
  return s.size() <= n ? s : s.substr(s.size() - n);
}

// The shift of a width code: its first decimal digit times its last, plus 20.
std::int16_t ShiftOf(std::int16_t widthCode) {
  const std::string digits = std::to_string(widthCode);
  const double first = ReadDouble(std::string_view(digits).substr(0, 1));
  const double last = ReadDouble(Right(digits, 1));
  return RoundToInt16(first * last + 20);
}

std::string Padded(long long v, std::size_t width) {
  return std::string(Right(std::string(width - 1, '0') + std::to_string(v), width));
}

// SplitMix64's finaliser (Steele, Lea and Flood): every input bit affects every output bit.
std::uint64_t Mix64(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15u;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

// Every number below 1000 as three digits with leading zeros, for the groups.
constexpr auto kThreeDigits = [] {
  std::array<std::array<char, 3>, 1000> digits{};
  for (int v = 0; v < 1000; ++v) {
    digits[v] = {static_cast<char>('0' + v / 100), static_cast<char>('0' + v / 10 % 10),
                 static_cast<char>('0' + v % 10)};
  }
  return digits;
}();

}  // namespace

std::string DecodeValue(std::string_view value) {
  const auto n = static_cast<long long>(value.size());
  const std::int16_t draw = ReadInt16(Right(value, 2));
  if (n - 3 <= 0) throw Error::Standard(kInvalidArgument);
  const std::int16_t widthCode = ReadInt16(Mid(value, n - 3, 2));
  const std::int16_t shift = ShiftOf(widthCode);
  const int width = widthCode <= 33 ? 3 : widthCode <= 66 ? 2 : 1;
  if (n - 3 - width <= 0) throw Error::Standard(kInvalidArgument);
  const std::int16_t masked = ReadInt16(Mid(value, n - 3 - width, width));
  const auto count = static_cast<std::int16_t>(masked ^ draw);

  std::string bytes;
  unsigned seen = 0;  // the codes or-ed together: ASCII alone needs no conversion
  std::int16_t i = 1;
  if (count > 0) {
    // Groups that lie wholly inside the value, at positions far from the 16-bit limit, are
    // read digit by digit. The first one that is not three plain digits goes to the general
    // loop below, which raises what the conversions define for it.
    const long long inside = std::min<long long>({count, (n - 3) / 3, 10922});
    bytes.resize(static_cast<std::size_t>(std::max<long long>(inside, 0)));
    const char* group = value.data() + 3;
    for (; i <= inside; ++i, group += 3) {
      const unsigned hundreds = static_cast<unsigned char>(group[0]) - '0';
      const unsigned tens = static_cast<unsigned char>(group[1]) - '0';
      const unsigned ones = static_cast<unsigned char>(group[2]) - '0';
      if (hundreds > 9 || tens > 9 || ones > 9) break;
      // A group and the shift are whole numbers, so their difference needs no rounding.
      const int code = static_cast<int>(hundreds * 100 + tens * 10 + ones) - shift;
      if (code < 0 || code > 255) throw Error::Standard(kInvalidArgument);
      bytes[static_cast<std::size_t>(i - 1)] = static_cast<char>(code);
      seen |= static_cast<unsigned>(code);
    }
    bytes.resize(static_cast<std::size_t>(i - 1));
  }
  for (; i <= count; i = ToInt16(i + 1)) {
    const std::int16_t pos = ToInt16(3 * ToInt16(i - 1) + 4);
    const long long code = ParseNumber(Mid(value, pos, 3)) - shift;
    if (code < 0 || code > 255) throw Error::Standard(kInvalidArgument);
    bytes.push_back(static_cast<char>(static_cast<unsigned char>(code)));
    seen |= static_cast<unsigned>(code);
  }
  if (seen < 0x80) return bytes;
  return Windows1252ToUtf8(bytes);
}

std::string EncodeValue(std::string_view text) { return EncodeValue(text, RandomBetween); }

std::string EncodeValue(std::string_view text, const RandomSource& random) {
  // The length is taken first: a text too long for its 16-bit count overflows (6) whatever
  // characters it holds. Characters are never more than bytes, so short texts skip the count.
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max()))
    ToInt16(static_cast<long long>(CharacterCount(text)));
  const std::string bytes = Utf8ToWindows1252(text);
  const std::int16_t length = ToInt16(static_cast<long long>(bytes.size()));
  // Longer texts would need a masked length of four digits and decode cut short.
  if (static_cast<std::size_t>(length) > kMaxEncodableLength)
    throw Error::Standard(kInvalidArgument);

  const std::int16_t draw = RoundToInt16(random(0, 33));
  const auto masked = static_cast<std::int16_t>(length ^ draw);
  const std::int16_t base = masked >= 100 ? 33 : masked >= 10 ? 66 : 99;
  const std::int16_t widthCode = ToInt16(base - draw);
  const std::int16_t shift = ShiftOf(widthCode);

  // A shift of 20 to 101 on codes of 0 to 255 makes every group a number of 20 to 356: no
  // overflow, and three digits with their leading zeros.
  std::string groups(bytes.size() * 3, '0');
  char* out = groups.data();
  for (const char c : bytes) {
    std::memcpy(out, kThreeDigits[static_cast<unsigned char>(c) + shift].data(), 3);
    out += 3;
  }
  const std::int16_t filler = RoundToInt16(random(0, 1000));
  return Padded(filler, 3) + groups + std::to_string(masked) + Padded(widthCode, 2) +
         Padded(draw, 2);
}

double RandomBetween(std::int32_t lower, std::int32_t span) {
  static std::mutex mutex;
  static std::uint64_t state = 0;
  std::lock_guard lock(mutex);
  // Reseeding from the clock alone would repeat the number for two calls within one tick,
  // so the previous state is folded into the seed. SplitMix64's mixing spreads both over all
  // 64 bits; a full generator would cost its whole seeding at every call.
  const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  state = Mix64(state ^ Mix64(static_cast<std::uint64_t>(ticks)));
  // 53 random bits scaled into [0, 1): never 1.
  const double u = static_cast<double>(state >> 11) * 0x1.0p-53;
  return std::floor(u * span) + lower;
}

}  // namespace kivo
