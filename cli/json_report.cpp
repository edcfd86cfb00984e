#include "cli/json_report.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <span>

#include "cli/check_report.h"
#include "upgrade/batches/upgrade_batches.h"

namespace kivo::cli {
namespace {

// Members stay in the order they are written: the report reads top-down like the run.
using Json = nlohmann::ordered_json;

// docs/REPORT.md says when this changes.
constexpr int kSchemaVersion = 1;

const char* EndName(RunEnd end) {
  switch (end) {
    case RunEnd::kNotStarted:
      return "not started";
    case RunEnd::kPrepared:
      return "prepared";
    case RunEnd::kRefused:
      return "refused";
    case RunEnd::kSucceeded:
      return "succeeded";
    case RunEnd::kFailed:
      return "failed";
  }
  return "unknown";
}

Json ErrorJson(const std::optional<Error>& error) {
  if (!error) return nullptr;
  return Json{{"number", error->number()}, {"description", error->description()}};
}

Json RecordsJson(const std::vector<Diagnostic>& records) {
  Json list = Json::array();
  for (const Diagnostic& d : records) {
    list.push_back(
        {{"sqlState", d.sqlState}, {"nativeError", d.nativeError}, {"message", d.message}});
  }
  return list;
}

Json StatementsJson(std::span<const StatementOutcome> outcomes) {
  Json statements = Json::array();
  for (const auto& s : outcomes) {
    statements.push_back({{"text", s.text},
                          {"succeeded", s.succeeded},
                          {"messages", RecordsJson(s.diagnostics)},
                          {"durationMs", s.duration.count()}});
  }
  return statements;
}

// Adds the statements and the error of an outcome to `object`.
void AddOutcome(Json& object, const BatchOutcome& outcome) {
  object["statements"] = StatementsJson(outcome.statements);
  object["error"] = ErrorJson(outcome.error);
}

// Statements as a dry run would send them: none has an outcome yet.
Json UnsentStatements(std::span<const std::string> texts) {
  Json statements = Json::array();
  for (const std::string& text : texts) {
    statements.push_back({{"text", text},
                          {"succeeded", nullptr},
                          {"messages", Json::array()},
                          {"durationMs", nullptr}});
  }
  return statements;
}

Json SentBatches(const RunReport& report) {
  Json batches = Json::array();
  for (const BatchReport& b : report.batches) {
    Json batch{{"number", b.number},
               {"text", b.text},
               {"sent", true},
               {"outcome", std::string(ClassificationName(b.classification))}};
    AddOutcome(batch, b.outcome);
    batch["history"] = nullptr;
    if (b.history) {
      Json history{{"statement", b.history->statement}, {"sent", true}};
      AddOutcome(history, b.history->outcome);
      batch["history"] = std::move(history);
    }
    batches.push_back(std::move(batch));
  }
  return batches;
}

// The batches a dry run would send, with the history statement each would send where a table
// turns out to be missing.
Json UnsentBatches() {
  Json batches = Json::array();
  for (const UpgradeBatch& b : UpgradeBatches()) {
    Json batch{{"number", b.number},
               {"text", b.text()},
               {"sent", false},
               {"outcome", "not sent"},
               {"statements", UnsentStatements(b.statements)},
               {"error", nullptr},
               {"history", nullptr}};
    if (b.history) {
      const std::string statements[] = {b.history->statement};
      batch["history"] = {{"statement", b.history->statement},
                          {"sent", false},
                          {"statements", UnsentStatements(statements)},
                          {"error", nullptr}};
    }
    batches.push_back(std::move(batch));
  }
  return batches;
}

// The settings sent before batch 1, or that a run would send.
Json SessionJson(const RunReport& report) {
  if (report.sessionSettings.empty()) return nullptr;
  Json session{{"sent", report.sessionOutcome.has_value()}};
  if (report.sessionOutcome) {
    AddOutcome(session, *report.sessionOutcome);
  } else {
    session["statements"] = UnsentStatements(report.sessionSettings);
    session["error"] = nullptr;
  }
  return session;
}

// A port the driver is given as digits is a number; anything else names no port.
Json PortJson(const std::string& port) {
  int number = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size()) return nullptr;
  return number;
}

// Why the run did not succeed. A refused connection has no verdict error of its own: the
// records the open was refused with stand for it, the shown one first.
Json FailureJson(const RunReport& report) {
  if (report.end == RunEnd::kRefused && !report.openErrors.empty()) {
    const Diagnostic& shown = report.openErrors.front();
    return {{"number", shown.nativeError},
            {"description", shown.message},
            {"records", RecordsJson(report.openErrors)}};
  }
  if (!report.failure) return nullptr;
  Json failure = ErrorJson(report.failure);
  failure["records"] = Json::array();
  return failure;
}

}  // namespace

std::string JsonReport(const RunReport& report, const RunTranscript& transcript) {
  Json j;
  j["schemaVersion"] = kSchemaVersion;
  j["verdict"] = EndName(report.end);
  j["exitStatus"] = transcript.exitStatus;
  j["computer"] = transcript.computer;
  j["webDirectory"] = transcript.webDirectory;
  j["connection"] = nullptr;
  if (report.target) {
    const ConnectionTarget& t = *report.target;
    j["connection"] = {{"driver", t.driver},
                       {"server", t.server},
                       {"port", PortJson(t.port)},
                       {"database", t.database},
                       {"logonMode", t.logon.mode == LogonMode::kSqlLogin ? "sql" : "windows"},
                       {"login", t.logon.login},
                       {"connectionString", report.displayConnectionString}};
  }
  j["statusLines"] = transcript.statusLines;
  j["messages"] = transcript.messages;
  j["sessionSettings"] = SessionJson(report);
  j["batches"] = report.end == RunEnd::kPrepared ? UnsentBatches() : SentBatches(report);
  j["failure"] = FailureJson(report);
  if (transcript.hint.empty()) {
    j["hint"] = nullptr;
  } else {
    j["hint"] = transcript.hint;
  }
  // What became of the changes, for a run with --atomic that got as far as the batches.
  j["transaction"] = nullptr;
  if (report.transaction) {
    j["transaction"] = {{"outcome", std::string(TransactionEndName(report.transaction->end))},
                        {"statements", StatementsJson(report.transaction->statements)}};
  }
  // What the check found, for a run with --check-first.
  j["check"] = nullptr;
  if (report.preflight) j["check"] = PreflightJson(*report.preflight);
  // Paths, server texts and typed values may hold any bytes: the report stays valid UTF-8, and
  // everything outside printable ASCII is written \uXXXX, as for the check's report.
  return j.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace kivo::cli
