#pragma once

#include <string>
#include <vector>

namespace kivo {

// The program's arguments without its name, in UTF-8. On Windows they come from the wide
// command line: argv holds them in the ANSI code page, which has no room for most letters.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

}  // namespace kivo
