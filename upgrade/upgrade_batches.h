#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

// Creates a missing history table as a copy of its base table with ChangeU and ChangeD.
struct HistoryStep {
  std::string statement;
  std::string createdLine;
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

// Message openings by which the server's descriptions are recognised.
inline constexpr std::string_view kObjectMissing = "Cannot find the object";
inline constexpr std::string_view kObjectExists = "There is already an object named";
inline constexpr std::string_view kInvalidObjectName = "Invalid object name";

inline constexpr std::string_view kSuccessLine = "Kivo client was update successful";
inline constexpr std::string_view kSuccessMessage = "Update successful!";
inline constexpr std::string_view kFailureMessage = "Update NOT successful. Contact Admin!";
inline constexpr std::string_view kClientDefaultLine = "Client is empty. Assump default (CHXD)";

}  // namespace kivo
