#pragma once

#include <string>
#include <vector>

#include "upgrade/batches/upgrade_batches.h"

namespace kivo::testing {

// The n-th batch, counted from 1 as the status box counts them.
const UpgradeBatch& Batch(int n);
// A status line as the box shows it, with the blank line after it.
std::string Line(const std::string& text);
// Every statement of every batch, in the order the run sends them when nothing is missing.
std::vector<std::string> AllStatements();
// The lines of a run in which every batch altered its tables, without the final verdict line.
std::string AllAlteredLines();

}  // namespace kivo::testing
