#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kivo {

// Creates a missing history table as a copy of its base table with ChangeU and ChangeD.
struct HistoryStep {
  std::string statement;
  std::string createdLine;
  std::size_t firstStatement = 0;  // the batch's statements from here on alter the history table
};

// One upgrade batch: statements sent in order, whose concatenation is the batch's text, and
// the progress lines that report it.
struct UpgradeBatch {
  int number = 0;
  std::vector<std::string> statements;
  std::string alteredLine;  // every statement succeeded
  std::string missingLine;  // batches without history: a table of the batch does not exist
  std::optional<HistoryStep> history;

  std::string text() const;
};

// The five batches of this schema revision, in the order they must be sent.
const std::array<UpgradeBatch, 5>& UpgradeBatches();

}  // namespace kivo
