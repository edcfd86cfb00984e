#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "upgrade/connection/connection_target.h"

namespace kivo {

// One diagnostic record as the driver reported it, informational ones included.
struct Diagnostic {
  std::string sqlState;
  std::int32_t nativeError = 0;
  std::string message;  // without the driver's bracketed tags, as the server wrote it
};

struct StatementOutcome {
  std::string text;
  bool succeeded = false;
  std::vector<Diagnostic> diagnostics;
  // Set when the statement failed: its first error record's native number and all of its
  // records' messages joined by CR LF.
  std::optional<Error> error;
  std::chrono::milliseconds duration{0};  // from sending it to its last result
};

struct BatchOutcome {
  // The statements that were sent, in order; a batch stops early only where the server would
  // have abandoned the rest of it (name resolution) or the connection is gone.
  std::vector<StatementOutcome> statements;
  // The error of the first failing statement, or of the batch when it could not be sent at all.
  // Empty when every statement succeeded.
  std::optional<Error> error;
};

// The rows of one query, every value as text as the driver converts it (NULL: no value).
struct QueryResult {
  std::vector<std::string> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
  std::vector<Diagnostic> diagnostics;
  std::optional<Error> error;  // the query failed; rows may be incomplete
};

// What the caller of execute() hears while a batch runs: each statement (by its index) before
// it is sent and after it ended. `after` returning false sends none of the rest.
struct StatementHooks {
  std::function<void(std::size_t index)> before;
  std::function<bool(std::size_t index, const StatementOutcome& outcome)> after;
};

// The database connection of one run.
class DatabaseClient {
 public:
  virtual ~DatabaseClient() = default;

  // Opens synchronously. Returns the failure, if the open failed; openErrors() then lists the
  // records with which the server or driver refused it (possibly none).
  virtual std::optional<Error> open(const ConnectionTarget& target) = 0;
  virtual const std::vector<Diagnostic>& openErrors() const = 0;

  // Sends the statements of one batch, whose concatenation is the batch's text.
  virtual BatchOutcome execute(std::span<const std::string> statements,
                               const StatementHooks& hooks) = 0;
  BatchOutcome execute(std::span<const std::string> statements) { return execute(statements, {}); }

  // Runs one read-only query whose `?` markers take `parameters` in order, bound as Unicode
  // text and never spliced into the statement. A client that cannot query says so in the
  // result's error.
  virtual QueryResult query(const std::string& text, std::span<const std::string> parameters);

  // Closes the connection; a no-op when it is not open.
  virtual std::optional<Error> close() = 0;
};

}  // namespace kivo
