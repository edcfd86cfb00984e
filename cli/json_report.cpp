#include "cli/json_report.h"

#include <nlohmann/json.hpp>

namespace kivo::cli {
namespace {

// Members stay in the order they are written: the report reads top-down like the run.
using Json = nlohmann::ordered_json;

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

// The server's records, each with its SQLSTATE, native number and text.
Json RecordsJson(const std::vector<Diagnostic>& diagnostics) {
  Json records = Json::array();
  for (const auto& d : diagnostics) {
    records.push_back(
        {{"sqlState", d.sqlState}, {"nativeError", d.nativeError}, {"message", d.message}});
  }
  return records;
}

// Adds the statements and the error of an outcome to `object`.
void AddOutcome(Json& object, const BatchOutcome& outcome) {
  Json statements = Json::array();
  for (const auto& s : outcome.statements) {
    statements.push_back(
        {{"text", s.text}, {"succeeded", s.succeeded}, {"messages", RecordsJson(s.diagnostics)}});
  }
  object["statements"] = std::move(statements);
  object["error"] = ErrorJson(outcome.error);
}

}  // namespace

std::string JsonReport(const RunReport& report, const RunTranscript& transcript) {
  Json j;
  j["verdict"] = EndName(report.end);
  j["exitStatus"] = transcript.exitStatus;
  j["computer"] = transcript.computer;
  j["webDirectory"] = transcript.webDirectory;
  j["connection"] = nullptr;
  if (report.target) {
    const ConnectionTarget& t = *report.target;
    j["connection"] = {{"driver", t.driver},
                       {"server", t.server},
                       {"port", t.port},
                       {"database", t.database},
                       {"logonMode", t.logon.mode == LogonMode::kSqlLogin ? "sql" : "windows"},
                       {"login", t.logon.login},
                       {"connectionString", report.displayConnectionString}};
  }
  j["statusLines"] = transcript.statusLines;
  j["messages"] = transcript.messages;
  Json batches = Json::array();
  for (const BatchReport& b : report.batches) {
    Json batch{{"number", b.number},
               {"text", b.text},
               {"outcome", std::string(ClassificationName(b.classification))}};
    AddOutcome(batch, b.outcome);
    batch["history"] = nullptr;
    if (b.history) {
      Json history{{"statement", b.history->statement}};
      AddOutcome(history, b.history->outcome);
      batch["history"] = std::move(history);
    }
    batches.push_back(std::move(batch));
  }
  j["batches"] = std::move(batches);
  j["openErrors"] = RecordsJson(report.openErrors);
  j["failure"] = ErrorJson(report.failure);
  if (transcript.hint.empty()) {
    j["hint"] = nullptr;
  } else {
    j["hint"] = transcript.hint;
  }
  // Paths, server texts and typed values may hold any bytes; the report stays valid UTF-8.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace kivo::cli
