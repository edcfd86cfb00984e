#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kivo {

// The digit string in which web.config keeps the application's connection value:
//   filler (3 digits) | one 3-digit group per character: code + shift |
//   masked length (L XOR draw, 1 to 3 digits) | width code (2) | draw (2)
// Character codes are Windows-1252; text on both sides of the codec is UTF-8.

// The longest text a value can carry for every draw: beyond it the masked length can need
// four digits, which the format has no room for.
inline constexpr std::size_t kMaxEncodableLength = 967;

// Restores the text of a scrambled value. Lenient about the value's shape as stored values may
// rely on it: the filler is never read and groups after the count-th are ignored. Throws
// kivo::Error: type mismatch (13) for fields that form no number, invalid argument (5) for a
// value too short for its fields or a code outside 0 to 255, overflow (6) for 16-bit overflow.
std::string DecodeValue(std::string_view value);

// Draws a whole number in [lower, lower + span) as a double, like RandomBetween.
using RandomSource = std::function<double(std::int32_t lower, std::int32_t span)>;

// Scrambles a text with fresh random numbers. Throws kivo::Error: invalid argument (5) for a
// text that is not UTF-8, holds a character outside Windows-1252, or is longer than
// kMaxEncodableLength but within 32,767 characters; overflow (6) beyond 32,767 characters.
std::string EncodeValue(std::string_view text);

// The same with the draw and the filler taken from `random`: first (0, 33), then (0, 1000).
std::string EncodeValue(std::string_view text, const RandomSource& random);

// floor(u * span) + lower for a fresh uniform u in [0, 1); the process-wide generator is
// reseeded from the clock before every draw.
double RandomBetween(std::int32_t lower, std::int32_t span);

}  // namespace kivo
