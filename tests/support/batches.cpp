#include "tests/support/batches.h"

namespace kivo::testing {

const UpgradeBatch& Batch(int n) { return UpgradeBatches()[static_cast<std::size_t>(n - 1)]; }

std::string Line(const std::string& text) { return text + "\r\n\r\n"; }

std::vector<std::string> AllStatements() {
  std::vector<std::string> all;
  for (const UpgradeBatch& b : UpgradeBatches())
    all.insert(all.end(), b.statements.begin(), b.statements.end());
  return all;
}

std::string AllAlteredLines() {
  std::string lines;
  for (const UpgradeBatch& b : UpgradeBatches()) lines += Line(b.alteredLine);
  return lines;
}

}  // namespace kivo::testing
