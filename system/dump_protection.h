#pragma once

#include <optional>

#include "base/error.h"

namespace kivo {

// Keeps the process's memory, and the password it may hold, out of dumps. On Linux: a core
// limit of zero and a process that is not dumpable, so that no core file is written and no
// other process of the same user can attach to it or read its memory. On Windows nothing is to
// be done: the programs write no dump of their own and install no handler that would. Both
// programs call it before they read anything; the failure, if any, is returned.
std::optional<Error> KeepOutOfDumps();

}  // namespace kivo
