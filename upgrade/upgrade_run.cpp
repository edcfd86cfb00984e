#include "upgrade/upgrade_run.h"

#include <cstdlib>
#include <exception>
#include <utility>

#include "upgrade/connection_settings.h"
#include "upgrade/odbc_client.h"
#include "upgrade/upgrade_batches.h"

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

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

class Run {
 public:
  Run(RunHost& host, const RunEnvironment& environment) : host_(host), environment_(environment) {}

  RunReport operator()() {
    if (!inputPhase()) return std::move(report_);
    BusyPointer busy(host_);
    busy_ = &busy;
    if (!configurationPhase()) return std::move(report_);
    if (environment_.dryRun) {
      report_.end = RunEnd::kPrepared;
      return std::move(report_);
    }
    try {
      if (!connectionPhase()) return std::move(report_);
      for (const UpgradeBatch& batch : UpgradeBatches()) runBatch(batch);
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
      Logon logon;
      if (host_.sqlLoginSelected()) {
        logon.mode = LogonMode::kSqlLogin;
        logon.login = host_.sqlLogin();
        logon.password = host_.sqlPassword();
      }
      const std::vector<std::string> drivers = environment_.installedDrivers
                                                   ? environment_.installedDrivers()
                                                   : std::vector<std::string>{};
      ConnectionSettings settings =
          ReadConnectionSettings(webDirectory_, logon, drivers, environment_.driverOverride);
      settings.target.statementTimeoutSeconds = environment_.statementTimeoutSeconds;
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
    client_ = environment_.makeClient ? environment_.makeClient() : nullptr;
    if (!client_) {
      lastFailure_ = Error(kInvalidArgument, "No database client is available to connect with");
      verdict();
      return false;
    }
    std::optional<Error> openError = client_->open(*report_.target);
    if (!client_->openErrors().empty()) {
      const std::string text = client_->openErrors().front().message + std::string(kCrLf);
      client_.reset();
      busy_->restore();
      host_.showMessage(text);
      report_.end = RunEnd::kRefused;
      return false;
    }
    if (openError) {
      // Batches sent into a connection that never opened would only repeat its failure.
      client_.reset();
      lastFailure_ = std::move(openError);
      verdict();
      return false;
    }
    return true;
  }

  void progress(const std::string& line) { host_.addStatus(line + std::string(kCrLf)); }

  // A failure the run does not recognise: its description and the batch's text go to the
  // status box, and it decides the verdict unless a later one replaces it.
  void otherError(BatchReport& report, const Error& error) {
    host_.addStatus(error.description());
    host_.addStatus(report.text);
    report.classification = "failed";
    lastFailure_ = error;
  }

  void runBatch(const UpgradeBatch& batch) {
    BatchReport& report = report_.batches.emplace_back();
    report.number = batch.number;
    report.text = batch.text();
    report.outcome = client_->execute(batch.statements);
    const std::optional<Error>& error = report.outcome.error;
    if (!error) {
      progress(batch.alteredLine);
      report.classification = "altered";
    } else if (!Contains(error->description(), kObjectMissing)) {
      otherError(report, *error);
    } else if (!batch.history) {
      // The server does not tell a missing table from a forbidden one; without a history
      // table to try, a missing table is what this part of the schema most likely means.
      progress(batch.missingLine);
      report.classification = "missing";
    } else {
      historyStep(batch, report);
    }
  }

  void historyStep(const UpgradeBatch& batch, BatchReport& report) {
    const std::string statements[] = {batch.history->statement};
    HistoryReport& history = report.history.emplace();
    history.statement = batch.history->statement;
    history.outcome = client_->execute(statements);
    const std::optional<Error>& error = history.outcome.error;
    if (!error) {
      progress(batch.history->createdLine);
      report.classification = "history created";
    } else if (Contains(error->description(), kObjectExists)) {
      // Both tables exist, so the ALTER batch failed for want of permission, not of a table.
      otherError(report, *report.outcome.error);
    } else if (Contains(error->description(), kInvalidObjectName)) {
      // The base table is missing too: this part of the schema is not installed here.
      host_.addStatus(error->description());
      report.classification = "missing";
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

RunEnvironment DefaultRunEnvironment() {
  RunEnvironment environment;
  environment.installedDrivers = InstalledOdbcDrivers;
  environment.makeClient = [] { return std::make_unique<OdbcClient>(); };
  if (const char* driver = std::getenv("KIVO_ODBC_DRIVER")) environment.driverOverride = driver;
  return environment;
}

RunReport RunUpgrade(RunHost& host, const RunEnvironment& environment) {
  return Run(host, environment)();
}

}  // namespace kivo
