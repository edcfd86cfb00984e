#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "upgrade/upgrade_run.h"

namespace kivo::cli {

// Exit statuses of the companion.
enum ExitStatus : int {
  kExitSuccess = 0,
  kExitFailure = 1,  // a codec error, or the run's failure verdict
  kExitUsage = 2,
  kExitRefused = 3,  // the database refused the connection
};

// Runs one command line (without the program name) against the given streams, so that tests
// drive exactly what the program does.
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err);

// The same with the database reached through `environment` instead of the platform's ODBC.
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err, const RunEnvironment& environment);

}  // namespace kivo::cli
