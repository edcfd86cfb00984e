#include "upgrade/upgrade_run.h"

#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <utility>

#include "upgrade/batches/upgrade_batches.h"
#include "upgrade/connection/connection_settings.h"
#include "upgrade/odbc/odbc_client.h"
#include "upgrade/odbc/odbc_diagnostics.h"
#include "upgrade/run_texts.h"

namespace kivo {
namespace {

constexpr std::string_view kCrLf = "\r\n";

constexpr std::string_view kBeginTransaction = "BEGIN TRANSACTION";
constexpr std::string_view kCommitTransaction = "COMMIT TRANSACTION";
constexpr std::string_view kRollbackTransaction = "ROLLBACK TRANSACTION";
constexpr std::string_view kTransactionStateQuery = "SELECT @@TRANCOUNT, XACT_STATE()";

// Where an atomic run's transaction stands.
enum class TransactionState {
  kOpen,           // XACT_STATE() 1: the batches go on (also every run without a transaction)
  kUncommittable,  // XACT_STATE() -1: it can only be rolled back
  kEnded,          // @@TRANCOUNT 0: the server rolled it back
  kLost,           // with the connection
  kUnknown,        // the server did not say
};

std::string_view TransactionLine(TransactionEnd end) {
  switch (end) {
    case TransactionEnd::kCommitted:
      return kCommittedLine;
    case TransactionEnd::kRolledBack:
      return kRolledBackLine;
    case TransactionEnd::kRolledBackByServer:
      return kRolledBackByServerLine;
    case TransactionEnd::kLeftToServer:
      return kLeftToServerLine;
    case TransactionEnd::kCommitUnknown:
      return kCommitUnknownLine;
    case TransactionEnd::kNotBegun:
      break;
  }
  return {};
}

int StatementCount() {
  std::size_t count = 0;
  for (const UpgradeBatch& batch : UpgradeBatches()) count += batch.statements.size();
  return static_cast<int>(count);
}

// Keeps the wait pointer up while the run works and puts the normal one back before every
// message box and on every path out.
class BusyPointer {
 public:
  explicit BusyPointer(RunHost& host) : host_(host) { host_.setBusy(true); }
  ~BusyPointer() { restore(); }
  BusyPointer(const BusyPointer&) = delete;
  BusyPointer& operator=(const BusyPointer&) = delete;

  void restore() {
    if (busy_) host_.setBusy(false);
    busy_ = false;
  }

 private:
  RunHost& host_;
  bool busy_ = true;
};

Logon LogonFrom(RunHost& host) {
  Logon logon;
  if (host.sqlLoginSelected()) {
    logon.mode = LogonMode::kSqlLogin;
    logon.login = host.sqlLogin();
    logon.password = host.sqlPassword();
  }
  return logon;
}

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

std::string QualifiedName(const AlteredColumn& column) {
  return column.schema + "." + column.table;
}

// The server's error with what its own text leaves unsaid.
Error WithCause(const Error& error, const std::string& cause) {
  return Error(error.number(), error.description() + " " + cause);
}

// The failing statements of a batch, sorted by what they can mean.
struct BatchFailures {
  std::optional<Error> unexplained;  // the first failure a missing table does not explain
  std::optional<Error> base;         // the first ALTER of a missing base table
  std::optional<Error> history;      // the first ALTER of a missing history table
};

// Why an ALTER met "Cannot find the object" on a table: nothing when the server says the
// table does not exist, otherwise the cause to add to the server's text.
using NotFoundCause = std::function<std::optional<std::string>(const AlteredColumn&)>;

// Every failing statement counts, not only the first: a missing table early in a batch must not
// hide a failure of another kind after it. Without a history table, every table of the batch is
// a base table.
BatchFailures SortFailures(const UpgradeBatch& batch, const BatchOutcome& outcome,
                           const NotFoundCause& whyNotFound) {
  BatchFailures failures;
  for (std::size_t i = 0; i < outcome.statements.size(); ++i) {
    const std::optional<Error>& error = outcome.statements[i].error;
    if (!error) continue;
    const AlteredColumn* target = i < batch.altered.size() ? &batch.altered[i] : nullptr;
    std::optional<Error> sorted = error;
    std::optional<Error>* slot = &failures.unexplained;
    if (target && Contains(error->description(), kObjectMissing)) {
      if (auto cause = whyNotFound(*target)) {
        sorted = WithCause(*error, *cause);
      } else if (batch.history && i >= batch.history->firstStatement) {
        slot = &failures.history;
      } else {
        slot = &failures.base;
      }
    } else if (target && error->number() == kLockTimeoutError) {
      sorted = WithCause(*error, "Another session holds a lock on " + QualifiedName(*target) + ".");
    }
    if (!*slot) *slot = std::move(sorted);
  }
  // A batch that could not be sent at all has no statement to blame.
  if (outcome.error && !failures.unexplained && !failures.base && !failures.history)
    failures.unexplained = outcome.error;
  return failures;
}

class Run {
 public:
  Run(RunHost& host, const RunEnvironment& environment) : host_(host), environment_(environment) {}

  RunReport operator()() {
    if (!inputPhase()) return std::move(report_);
    BusyPointer busy(host_);
    busy_ = &busy;
    if (!configurationPhase()) return std::move(report_);
    report_.sessionSettings = SessionSettings(environment_.lockTimeoutSeconds);
    if (environment_.dryRun) {
      report_.end = RunEnd::kPrepared;
      return std::move(report_);
    }
    try {
      if (!connectionPhase()) return std::move(report_);
      if ((!environment_.checkFirst || checkPhase()) && sessionPhase() &&
          (!environment_.atomic || beginTransaction())) {
        for (const UpgradeBatch& batch : UpgradeBatches()) {
          if (transaction_ != TransactionState::kOpen) break;
          runBatch(batch);
        }
        if (environment_.atomic) endTransaction();
      }
      if (auto closeError = client_->close()) lastFailure_ = std::move(closeError);
    } catch (const Error& e) {
      lastFailure_ = e;
    } catch (const std::exception& e) {
      // Whatever goes wrong below the run still ends in a verdict that says so.
      lastFailure_ = Error(kUnspecifiedError, e.what());
    }
    client_.reset();
    verdict();
    return std::move(report_);
  }

 private:
  bool inputPhase() {
    if (host_.clientCode().empty()) host_.addStatus(kClientDefaultLine);
    if (host_.dataDirectory().empty()) return false;
    webDirectory_ = NormaliseWebDirectory(host_.webDirectory());
    host_.prepareStatusBox(kRunStatusBoxWidthTwips);
    return true;
  }

  bool configurationPhase() {
    try {
      ConnectionSettings settings =
          ReadSettingsFor({webDirectory_, LogonFrom(host_)}, environment_);
      report_.displayConnectionString = settings.displayString;
      report_.target = std::move(settings.target);
      return true;
    } catch (const Error& e) {
      lastFailure_ = e;
    } catch (const std::exception& e) {
      lastFailure_ = Error(kUnspecifiedError, e.what());
    }
    verdict();
    return false;
  }

  bool connectionPhase() {
    OpenedConnection connection = OpenConnection(*report_.target, environment_);
    client_ = std::move(connection.client);
    if (client_) return true;
    if (!connection.refusal.empty()) {
      // Only a refused open lists records; the warnings of a successful one do not end the run.
      report_.openErrors = std::move(connection.refusal);
      busy_->restore();
      host_.showMessage(report_.openErrors.front().message + std::string(kCrLf));
      report_.end = RunEnd::kRefused;
      return false;
    }
    lastFailure_ = std::move(connection.failure);
    verdict();
    return false;
  }

  // False when the check found what would make a statement fail, or could not tell: then
  // nothing is altered, the findings that stopped the run are in the status box and the
  // verdict is a failure.
  bool checkPhase() {
    const PreflightReport& check = report_.preflight.emplace(RunPreflight(*client_, {}));
    if (check.passed(false)) return true;
    for (const Finding& f : check.findings) {
      if (f.level == FindingLevel::kBlocker || f.level == FindingLevel::kUnknown) {
        host_.addStatus(FindingLine(f));
      }
    }
    lastFailure_ =
        Error(kUnspecifiedError,
              "The check found " + std::to_string(check.count(FindingLevel::kBlocker)) +
                  " blocker(s) and " + std::to_string(check.count(FindingLevel::kUnknown)) +
                  " unknown(s); nothing was altered.");
    return false;
  }

  // A setting the server refuses leaves the session as the DSN made it, which may not be safe
  // to alter tables in: the run stops before the first batch.
  bool sessionPhase() {
    const BatchOutcome& outcome =
        report_.sessionOutcome.emplace(client_->execute(report_.sessionSettings));
    if (!outcome.error) return true;
    for (const StatementOutcome& s : outcome.statements) {
      if (!s.error) continue;
      host_.addStatus(s.error->description());
      host_.addStatus(s.text);
      break;
    }
    lastFailure_ = outcome.error;
    return false;
  }

  void progress(const std::string& line) { host_.addStatus(line + std::string(kCrLf)); }

  // Sends statements through the client, telling the host about each. In an atomic run a
  // failure may have ended the transaction on the server (a deadlock victim, an uncommittable
  // transaction at the end of its request, a lost connection); whatever was sent after that
  // would be committed statement by statement, so then nothing more goes.
  BatchOutcome send(std::span<const std::string> statements,
                    const std::function<StatementStep(std::size_t)>& stepOf, bool watch) {
    StatementStep step;
    StatementHooks hooks;
    hooks.before = [&](std::size_t i) {
      step = stepOf(i);
      host_.statementStarted(step);
    };
    hooks.after = [&](std::size_t, const StatementOutcome& outcome) {
      host_.statementEnded(step, outcome);
      if (outcome.succeeded || !watch || !environment_.atomic) return true;
      transaction_ = stateAfter(outcome);
      if (transaction_ == TransactionState::kOpen) return true;
      endingError_ = outcome.error;
      return false;
    };
    return client_->execute(statements, hooks);
  }

  TransactionState stateAfter(const StatementOutcome& failed) {
    if (ConnectionLost(failed.diagnostics)) return TransactionState::kLost;
    const QueryResult state = client_->query(std::string(kTransactionStateQuery), {});
    if (state.error) {
      const bool lost =
          ConnectionLost(state.diagnostics) || state.error->number() == kConnectionClosedError;
      return lost ? TransactionState::kLost : TransactionState::kUnknown;
    }
    if (state.rows.size() != 1 || state.rows[0].size() != 2) return TransactionState::kUnknown;
    if (state.rows[0][0] == "0") return TransactionState::kEnded;
    return state.rows[0][1] == "1" ? TransactionState::kOpen : TransactionState::kUncommittable;
  }

  StatementOutcome sendTransactionStatement(std::string_view text) {
    const std::string statements[] = {std::string(text)};
    BatchOutcome outcome = send(
        statements,
        [&](std::size_t) {
          return StatementStep{0, 0, std::string(text)};
        },
        false);
    if (outcome.statements.empty()) {
      // Not sent at all: the client says why in the batch's error.
      StatementOutcome& unsent = outcome.statements.emplace_back();
      unsent.text = text;
      unsent.error = outcome.error;
    }
    report_.transaction->statements.push_back(outcome.statements.front());
    return outcome.statements.front();
  }

  bool beginTransaction() {
    report_.transaction.emplace();
    const StatementOutcome begin = sendTransactionStatement(kBeginTransaction);
    if (!begin.succeeded) {
      lastFailure_ = begin.error;
      return false;
    }
    // Whatever stops the run from here on, the connection ends with it and the server rolls back.
    report_.transaction->end = TransactionEnd::kLeftToServer;
    return true;
  }

  // COMMIT with the success verdict; otherwise, and when COMMIT fails, ROLLBACK where the
  // transaction may still be open. The failure that ended the transaction is the verdict's.
  void endTransaction() {
    TransactionEnd& end = report_.transaction->end;
    TransactionState state = transaction_;
    if (state != TransactionState::kOpen && endingError_) lastFailure_ = endingError_;
    if (state == TransactionState::kOpen && !lastFailure_) {
      const StatementOutcome commit = sendTransactionStatement(kCommitTransaction);
      if (commit.succeeded) {
        end = TransactionEnd::kCommitted;
        return;
      }
      lastFailure_ = commit.error;
      state = stateAfter(commit);
      if (state == TransactionState::kLost) {
        end = TransactionEnd::kCommitUnknown;
        return;
      }
    }
    if (state != TransactionState::kEnded && state != TransactionState::kLost) {
      const StatementOutcome rollback = sendTransactionStatement(kRollbackTransaction);
      if (rollback.succeeded) {
        end = TransactionEnd::kRolledBack;
        return;
      }
      state = stateAfter(rollback);
    }
    end = state == TransactionState::kEnded ? TransactionEnd::kRolledBackByServer
                                            : TransactionEnd::kLeftToServer;
  }

  // A failure the run does not recognise: its description and the batch's text go to the
  // status box, and it decides the verdict unless a later one replaces it.
  void otherError(BatchReport& report, const Error& error) {
    host_.addStatus(error.description());
    host_.addStatus(report.text);
    report.classification = BatchClassification::kFailed;
    lastFailure_ = error;
  }

  void runBatch(const UpgradeBatch& batch) {
    BatchReport& report = report_.batches.emplace_back();
    report.number = batch.number;
    report.text = batch.text();
    const int first = statementsSent_;
    statementsSent_ += static_cast<int>(batch.statements.size());
    report.outcome = send(
        batch.statements,
        [&](std::size_t i) {
          const AlteredColumn& c = batch.altered[i];
          return StatementStep{first + static_cast<int>(i) + 1, statementCount_,
                               QualifiedName(c) + "." + c.column};
        },
        true);
    if (transaction_ != TransactionState::kOpen) return otherError(report, *endingError_);
    std::map<std::string, std::optional<std::string>> asked;  // one question per table
    const BatchFailures failures =
        SortFailures(batch, report.outcome, [&](const AlteredColumn& target) {
          const std::string table = QualifiedName(target);
          if (!asked.contains(table)) asked[table] = whyNotFound(target);
          return asked[table];
        });
    if (!report.outcome.error) {
      progress(batch.alteredLine);
      report.classification = BatchClassification::kAltered;
    } else if (batch.history && (failures.history || (failures.base && !failures.unexplained))) {
      historyStep(batch, report, failures);
    } else if (failures.unexplained) {
      otherError(report, *failures.unexplained);
    } else {
      progress(batch.missingLine);
      report.classification = BatchClassification::kMissing;
    }
  }

  // SQL Server answers an ALTER of a table the login may not alter, or may not even see, as it
  // answers one of a missing table (4902), so the run asks. OBJECT_ID sees only tables the login
  // holds a permission on (metadata visibility); a NULL means "missing" only where VIEW
  // DEFINITION on the database or the schema shows every table, or where ALTER on the schema
  // would have let the ALTER through. A DENY on the table itself can still hide it from a login
  // with VIEW DEFINITION on the database: the server offers no way to tell that apart.
  std::optional<std::string> whyNotFound(const AlteredColumn& target) {
    const std::string table = QualifiedName(target);
    const std::string parameters[] = {table, target.schema, target.schema};
    const QueryResult result = client_->query(std::string(kTableExistsQuery), parameters);
    if (result.error) {
      return "Whether " + table + " exists could not be asked: " + result.error->description();
    }
    if (result.rows.size() != 1 || result.rows[0].size() != 4) {
      return "Whether " + table + " exists could not be told.";
    }
    const auto& row = result.rows[0];
    if (row[0]) return "The table exists: the login may not alter " + table + ".";
    if (row[1] == "1" || row[2] == "1" || row[3] == "1") return std::nullopt;
    return "The login may not see " + table +
           " (no VIEW DEFINITION permission): whether it is missing or may not be altered "
           "cannot be told.";
  }

  // The batch's ALTERs met a missing history table, or a missing base table alone; the server
  // said so when asked (a table that exists, or that the login may not see, is the other-error
  // path: see whyNotFound). The history statement copies the base into a new history table:
  //
  //   history ALTERs   base ALTERs   history statement      the batch
  //   missing          ok            created                created line; success
  //   missing          missing       208 base not found     its description; tolerated (this
  //                                                         part of the schema is not installed)
  //   ok               missing       208 base not found     the same
  //   ok               missing       2714 already exists    created line; tolerated, as for 208
  //   missing          ok            208 base not found     the other-error path with the 208
  //                                                         (the base was altered a moment ago)
  //   missing          missing       created                created line, then the other-error
  //                                                         path with the base's 4902 (the copy
  //                                                         read a base the server called missing)
  //   missing          any           2714 already exists    the other-error path with the 2714 (a
  //                                                         case-sensitive collation tells _HIST
  //                                                         from _Hist: nothing was created)
  //   any              any           any other error        the other-error path with it
  //
  // A batch with a failure of another kind gets here only with a missing history table; that
  // failure then takes the other-error path after the step, whatever the step came to.
  void historyStep(const UpgradeBatch& batch, BatchReport& report, const BatchFailures& failures) {
    const std::string statements[] = {batch.history->statement};
    HistoryReport& history = report.history.emplace();
    history.statement = batch.history->statement;
    history.outcome = send(
        statements,
        [&](std::size_t) {
          return StatementStep{0, 0, "history of " + batch.history->baseTable};
        },
        true);
    if (transaction_ != TransactionState::kOpen) return otherError(report, *endingError_);
    const std::optional<Error>& error = history.outcome.error;
    std::optional<Error> standing = failures.unexplained;
    if (!error) {
      progress(batch.history->createdLine);
      if (!standing) standing = failures.base;
    } else if (Contains(error->description(), kObjectExists) && !failures.history) {
      progress(batch.history->createdLine);
    } else if (Contains(error->description(), kInvalidObjectName) && failures.base) {
      host_.addStatus(error->description());
    } else if (!standing) {
      standing = error;
    } else {
      host_.addStatus(error->description());  // the batch's own failure stands for it
    }
    if (standing) {
      otherError(report, *standing);
    } else {
      report.classification =
          error ? BatchClassification::kMissing : BatchClassification::kHistoryCreated;
    }
  }

  void verdict() {
    if (lastFailure_) {
      report_.end = RunEnd::kFailed;
      report_.failure = lastFailure_;
      host_.addStatus(lastFailure_->description());
      if (report_.transaction) {
        const std::string_view line = TransactionLine(report_.transaction->end);
        if (!line.empty()) host_.addStatus(line);
      }
      busy_->restore();
      host_.enableExit();
      host_.showMessage(kFailureMessage);
    } else {
      report_.end = RunEnd::kSucceeded;
      host_.addStatus(kSuccessLine);
      busy_->restore();
      host_.showMessage(kSuccessMessage);
    }
  }

  RunHost& host_;
  const RunEnvironment& environment_;
  RunReport report_;
  BusyPointer* busy_ = nullptr;
  std::string webDirectory_;
  std::unique_ptr<DatabaseClient> client_;
  std::optional<Error> lastFailure_;
  TransactionState transaction_ = TransactionState::kOpen;
  std::optional<Error> endingError_;  // of the statement after which the transaction was not open
  int statementsSent_ = 0;            // of the batches, for the steps' numbers
  const int statementCount_ = StatementCount();
};

}  // namespace

std::string_view ClassificationName(BatchClassification classification) {
  switch (classification) {
    case BatchClassification::kAltered:
      return "altered";
    case BatchClassification::kMissing:
      return "missing";
    case BatchClassification::kHistoryCreated:
      return "history created";
    case BatchClassification::kFailed:
      return "failed";
  }
  return "unknown";
}

std::string_view TransactionEndName(TransactionEnd end) {
  switch (end) {
    case TransactionEnd::kNotBegun:
      return "not begun";
    case TransactionEnd::kCommitted:
      return "committed";
    case TransactionEnd::kRolledBack:
      return "rolled back";
    case TransactionEnd::kRolledBackByServer:
      return "rolled back by the server";
    case TransactionEnd::kLeftToServer:
      return "left to the server";
    case TransactionEnd::kCommitUnknown:
      return "commit unknown";
  }
  return "unknown";
}

RunEnvironment DefaultRunEnvironment(std::string driverOverride) {
  RunEnvironment environment;
  static_cast<DatabaseAccess&>(environment) = OdbcDatabaseAccess(std::move(driverOverride));
  return environment;
}

ConnectionRequest RequestFrom(RunHost& host) {
  return {NormaliseWebDirectory(host.webDirectory()), LogonFrom(host)};
}

RunReport RunUpgrade(RunHost& host, const RunEnvironment& environment) {
  return Run(host, environment)();
}

}  // namespace kivo
