#pragma once

#include <string>

#include "upgrade/upgrade_run.h"

namespace kivo::cli {

// The likely cause of a run that did not succeed, in an administrator's words, for the line
// "hint: ..." and the report; empty when the run succeeded or no cause is known. May read
// web.config again to tell the ways its entry can be wrong.
std::string HintFor(const RunReport& report, const std::string& webDirectory);

}  // namespace kivo::cli
