#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "system/command_line.h"
#include "system/console.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args = kivo::CommandLineArguments(argc, argv);
  std::ostream& out = kivo::ConsoleOutput();
  const int status = kivo::cli::RunCommandLine(args, std::cin, out, kivo::ConsoleError());
  out.flush();
  return status;
}
