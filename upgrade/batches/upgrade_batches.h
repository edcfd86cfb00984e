#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

// The type every altered column becomes, and its length in UTF-16 units.
inline constexpr std::string_view kTargetType = "nvarchar(250)";
inline constexpr int kTargetLength = 250;

// What one statement of a batch alters.
struct AlteredColumn {
  std::string schema;
  std::string table;
  std::string column;
};

// Creates a missing history table as a copy of its base table with ChangeU and ChangeD.
struct HistoryStep {
  std::string statement;
  std::string createdLine;
  std::size_t firstStatement = 0;  // the batch's statements from here on alter the history table
  std::string baseTable;           // "CHXD.CustomerContact": the table the statement copies
  std::string createdTable;        // "CHXD.CustomerContact_HIST": as its INTO clause spells it
  std::vector<std::string> addedColumns;  // the columns the copy has besides the base's
};

// One upgrade batch: statements sent in order, whose concatenation is the batch's text, what
// each of them alters (`altered[i]` for `statements[i]`), and the progress lines that report it.
struct UpgradeBatch {
  int number = 0;
  std::vector<std::string> statements;
  std::vector<AlteredColumn> altered;
  std::string alteredLine;  // every statement succeeded
  std::string missingLine;  // batches without history: a table of the batch does not exist
  std::optional<HistoryStep> history;

  std::string text() const;
};

// The batches of this schema revision, in the order they must be sent. Adding a batch is
// adding a row to this table; everything else (the run, the check, the reports) reads it.
std::span<const UpgradeBatch> UpgradeBatches();

// The largest lock timeout SET LOCK_TIMEOUT can carry, in whole seconds.
inline constexpr int kMaxLockTimeoutSeconds = 2147483;

// The statements, one per setting, that put the session into known state before the first
// batch, whatever the DSN, the driver or the server's user options made of it. With a lock
// timeout (seconds, at most kMaxLockTimeoutSeconds) an ALTER that waits for another session's
// lock fails after that long; without one it waits as long as the statement timeout allows.
std::vector<std::string> SessionSettings(std::optional<int> lockTimeoutSeconds);

}  // namespace kivo
