#include "upgrade/upgrade_run.h"

#include <cstdlib>
#include <exception>
#include <utility>

#include "upgrade/batches/upgrade_batches.h"
#include "upgrade/connection/connection_settings.h"
#include "upgrade/odbc/odbc_client.h"
#include "upgrade/run_texts.h"

namespace kivo {
namespace {

constexpr std::string_view kCrLf = "\r\n";

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
  std::optional<Error> base;         // the first "Cannot find the object" on the base table
  std::optional<Error> history;      // the first "Cannot find the object" on the history table
};

// Every failing statement counts, not only the first: a missing table early in a batch must not
// hide a failure of another kind after it. Without a history table, every table of the batch is
// a base table.
BatchFailures SortFailures(const UpgradeBatch& batch, const BatchOutcome& outcome) {
  BatchFailures failures;
  for (std::size_t i = 0; i < outcome.statements.size(); ++i) {
    const std::optional<Error>& error = outcome.statements[i].error;
    if (!error) continue;
    std::optional<Error>* slot = &failures.base;
    if (!Contains(error->description(), kObjectMissing)) {
      slot = &failures.unexplained;
    } else if (batch.history && i >= batch.history->firstStatement) {
      slot = &failures.history;
    }
    if (*slot) continue;
    *slot = error;
    if (error->number() == kLockTimeoutError && i < batch.altered.size()) {
      *slot = WithCause(*error,
                        "Another session holds a lock on " + QualifiedName(batch.altered[i]) + ".");
    }
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
      if ((!environment_.checkFirst || checkPhase()) && sessionPhase()) {
        for (const UpgradeBatch& batch : UpgradeBatches()) runBatch(batch);
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
    report.outcome = client_->execute(batch.statements);
    const BatchFailures failures = SortFailures(batch, report.outcome);
    if (!report.outcome.error) {
      progress(batch.alteredLine);
      report.classification = BatchClassification::kAltered;
    } else if (failures.unexplained) {
      otherError(report, *failures.unexplained);
    } else if (!batch.history) {
      // The server does not tell a missing table from a forbidden one; without a history
      // table to try, a missing table is what this part of the schema most likely means.
      progress(batch.missingLine);
      report.classification = BatchClassification::kMissing;
    } else {
      historyStep(batch, report, failures);
    }
  }

  // The batch's ALTERs met "Cannot find the object", which means a missing table or one the
  // login may not alter; the server does not say which. The history statement reads the base
  // table into a new history table, so its outcome tells which tables exist:
  //
  //   base ALTERs   history ALTERs   history statement      the batch
  //   ok            4902             created                created line; success
  //   4902          any              created                created line, then the other-error
  //                                                         path with the base's 4902 (the base
  //                                                         exists: it was refused)
  //   ok or 4902    ok or 4902       2714 already exists    the other-error path with the first
  //                                                         4902 (both tables exist: refused)
  //   4902          any              208 base not found     its description; tolerated (this
  //                                                         part of the schema is not installed)
  //   ok            4902             208 base not found     the other-error path with the 208
  //                                                         (the base was altered a moment ago)
  //   any           any              any other error        the other-error path with it
  //
  // "4902" stands for any failure with "Cannot find the object"; a batch with a failure of
  // another kind never gets here. With a missing base and a refused history table the server
  // answers as if both were missing, so that row stays tolerated.
  void historyStep(const UpgradeBatch& batch, BatchReport& report, const BatchFailures& failures) {
    const std::string statements[] = {batch.history->statement};
    HistoryReport& history = report.history.emplace();
    history.statement = batch.history->statement;
    history.outcome = client_->execute(statements);
    const std::optional<Error>& error = history.outcome.error;
    if (!error) {
      progress(batch.history->createdLine);
      if (failures.base) {
        otherError(report, *failures.base);
      } else {
        report.classification = BatchClassification::kHistoryCreated;
      }
    } else if (Contains(error->description(), kObjectExists)) {
      otherError(report, failures.base ? *failures.base : *failures.history);
    } else if (Contains(error->description(), kInvalidObjectName) && failures.base) {
      host_.addStatus(error->description());
      report.classification = BatchClassification::kMissing;
    } else {
      otherError(report, *error);
    }
  }

  void verdict() {
    if (lastFailure_) {
      report_.end = RunEnd::kFailed;
      report_.failure = lastFailure_;
      host_.addStatus(lastFailure_->description());
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
