#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kivo {

// Appends the UTF-8 form of a code point (at most U+10FFFF, no surrogate).
void AppendUtf8(std::string& out, char32_t codePoint);

// Decodes the sequence at `pos` and moves `pos` past it. Strict: nothing for a cut or malformed
// sequence, an overlong form, a surrogate or a code point beyond U+10FFFF (`pos` then stands
// somewhere inside the bad sequence).
std::optional<char32_t> NextUtf8CodePoint(std::string_view text, std::size_t& pos);

// UTF-16, code points beyond U+FFFF as surrogate pairs. Throws kivo::Error (invalid argument)
// for text that is not UTF-8; the complaint never quotes the text, which may hold a password.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-8; a lone surrogate, which no well-behaved source sends, becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace kivo
