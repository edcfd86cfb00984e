#pragma once

#include <iosfwd>

namespace kivo {

// Standard output and standard error for UTF-8 text. On Windows a console is given the text
// through WriteConsoleW, since it reads narrow text in its own code page; a file or a pipe
// gets the UTF-8 bytes, lines ending in CR LF. Elsewhere these are std::cout and std::cerr.
std::ostream& ConsoleOutput();
std::ostream& ConsoleError();

}  // namespace kivo
