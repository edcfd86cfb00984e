#pragma once

#include <string>
#include <string_view>

namespace kivo {

// The single-byte character set of stored values and of web.config: Windows-1252. The five
// bytes it leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 control characters
// of the same number, as Windows maps them, so every byte 0 to 255 has exactly one character.

// Never fails: every byte is a character.
std::string Windows1252ToUtf8(std::string_view bytes);

// Throws kivo::Error (invalid argument, 5) for bytes that are not UTF-8 and for characters
// that Windows-1252 cannot represent; nothing is ever replaced by another character.
std::string Utf8ToWindows1252(std::string_view utf8);

}  // namespace kivo
