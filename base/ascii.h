#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kivo {

// The blanks of the C locale: space, tab, CR, LF, vertical tab and form feed.
inline constexpr std::string_view kAsciiBlanks = " \t\r\n\v\f";

// `text` without the characters of `blanks` at either end.
std::string_view TrimAscii(std::string_view text, std::string_view blanks = kAsciiBlanks);

// `text` with A to Z turned into a to z; every other byte, UTF-8 included, left as it is.
std::string LowerAscii(std::string_view text);

// Whether the two are equal once A to Z are lowered.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Whether `text` is exactly one of `names`; lower it first to match keywords without case.
bool IsOneOf(std::string_view text, std::initializer_list<std::string_view> names);

}  // namespace kivo
