#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "upgrade/connection/connection_target.h"
#include "upgrade/odbc/database_access.h"
#include "upgrade/odbc/database_client.h"
#include "upgrade/preflight/check.h"
#include "upgrade/preflight/preflight.h"
#include "upgrade/run_host.h"

namespace kivo {

// How a run reaches the database, and how far it goes.
struct RunEnvironment : DatabaseAccess {
  bool dryRun = false;  // stop after the configuration phase; connect to nothing
  // Run the check on the open connection first, and alter nothing when it finds a blocker or
  // something it could not read.
  bool checkFirst = false;
  // SET LOCK_TIMEOUT for the run's session, in seconds; none: wait for locks as long as the
  // statement timeout allows.
  std::optional<int> lockTimeoutSeconds;
  // All or nothing: the batches in one transaction (after the check), committed with the
  // success verdict only and rolled back otherwise.
  bool atomic = false;
};

// ODBC through the platform's driver manager, with the driver the caller read from
// kDriverOverrideVariable (empty: the first installed driver for SQL Server).
RunEnvironment DefaultRunEnvironment(std::string driverOverride);

// What the window's boxes ask to connect with: the normalised web directory and the logon.
ConnectionRequest RequestFrom(RunHost& host);

enum class RunEnd {
  kNotStarted,  // empty data directory: nothing done, nothing shown
  kPrepared,    // dry run: the configuration phase succeeded
  kRefused,     // the open listed errors; its first one was shown
  kSucceeded,   // success verdict
  kFailed,      // failure verdict
};

struct HistoryReport {
  std::string statement;
  BatchOutcome outcome;
};

// What a batch came to, as the status box tells it.
enum class BatchClassification {
  kAltered,         // every statement succeeded
  kMissing,         // a table was missing, which this part of the schema tolerates
  kHistoryCreated,  // the history table was missing and is now a copy of its base table
  kFailed,          // the other-error path: its error stands for the verdict
};

// The name of a classification in reports: "altered", "missing", "history created", "failed".
std::string_view ClassificationName(BatchClassification classification);

struct BatchReport {
  int number = 0;  // as in UpgradeBatches()
  std::string text;
  BatchOutcome outcome;
  BatchClassification classification = BatchClassification::kAltered;
  std::optional<HistoryReport> history;
};

// What became of the changes of an atomic run.
enum class TransactionEnd {
  kNotBegun,            // BEGIN TRANSACTION failed: nothing was sent
  kCommitted,           //
  kRolledBack,          // by the run's ROLLBACK
  kRolledBackByServer,  // the server had ended the transaction (deadlock, uncommittable)
  kLeftToServer,        // the connection ended with the transaction open: the server rolls back
  kCommitUnknown,       // the connection was lost during COMMIT
};

// Its name in reports: "not begun", "committed", "rolled back", "rolled back by the server",
// "left to the server", "commit unknown".
std::string_view TransactionEndName(TransactionEnd end);

struct TransactionReport {
  TransactionEnd end = TransactionEnd::kNotBegun;
  std::vector<StatementOutcome> statements;  // BEGIN, COMMIT and ROLLBACK as sent
};

// What a run did, for reports beyond the status box (the companion's JSON).
struct RunReport {
  RunEnd end = RunEnd::kNotStarted;
  std::optional<ConnectionTarget> target;  // after a successful configuration phase
  std::vector<Diagnostic> openErrors;      // every record of a refused open, the shown one first
  std::string displayConnectionString;     // prefix and logon part, password masked
  // The settings the session gets before batch 1 (once the configuration phase is through),
  // and what came of them once sent.
  std::vector<std::string> sessionSettings;
  std::optional<BatchOutcome> sessionOutcome;
  std::vector<BatchReport> batches;
  std::optional<Error> failure;                  // the error the failure verdict reported
  std::optional<PreflightReport> preflight;      // with checkFirst, once connected
  std::optional<TransactionReport> transaction;  // atomic, once the batches were to start
};

// The whole upgrade run behind the update button, start to end on the calling thread.
RunReport RunUpgrade(RunHost& host, const RunEnvironment& environment);

}  // namespace kivo
