#pragma once

#include <filesystem>
#include <string_view>

namespace kivo {

// The file-system path that a UTF-8 text names. Every path the program opens goes through
// here, since a narrow string is read in the system code page on Windows. There, text that is
// not UTF-8 raises the invalid-argument error.
std::filesystem::path PathFromUtf8(std::string_view utf8);

}  // namespace kivo
