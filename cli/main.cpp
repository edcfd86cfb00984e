#include <iostream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "system/command_line.h"
#include "system/console.h"
#include "system/dump_protection.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args = kivo::CommandLineArguments(argc, argv);
  std::ostream& out = kivo::ConsoleOutput();
  // Before anything reads a password, a connection value or web.config.
  if (const std::optional<kivo::Error> failure = kivo::KeepOutOfDumps()) {
    kivo::ConsoleError() << "error " << failure->number() << ": " << failure->description() << "\n";
    return 1;
  }
  const int status = kivo::cli::RunCommandLine(args, std::cin, out, kivo::ConsoleError());
  out.flush();
  return status;
}
