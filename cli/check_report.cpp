#include "cli/check_report.h"

namespace kivo::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string Counts(const PreflightReport& r) {
  std::string out = std::to_string(r.count(FindingLevel::kBlocker));
  out += " blocker(s), ";
  out += std::to_string(r.count(FindingLevel::kWarn));
  out += " warning(s), ";
  out += std::to_string(r.count(FindingLevel::kUnknown));
  out += " unknown, ";
  out += std::to_string(r.count(FindingLevel::kInfo));
  out += " info";
  return out;
}

const char* Verdict(const CheckReport& report, bool strict) {
  if (report.end == CheckEnd::kRefused) return "refused";
  if (report.end != CheckEnd::kChecked) return "failed";
  return report.preflight.passed(strict) ? "passed" : "not passed";
}

}  // namespace

std::vector<std::string> TextCheckReport(const CheckReport& report,
                                         const CheckTranscript& transcript) {
  const PreflightReport& r = report.preflight;
  std::string heading = "check of database ";
  heading += r.database.empty() ? "(unknown)" : r.database;
  heading += " on SQL Server ";
  heading += r.serverVersion.empty() ? "(unknown)" : r.serverVersion;
  heading += ", ";
  heading += std::to_string(r.roundTrips);
  heading += " queries";
  std::vector<std::string> lines = {heading};
  for (const Finding& f : r.findings) lines.push_back(FindingLine(f));
  std::string verdict = "verdict: ";
  verdict += Verdict(report, transcript.strict);
  verdict += " (";
  verdict += Counts(r);
  verdict += transcript.strict ? "; strict)" : ")";
  lines.push_back(verdict);
  return lines;
}

Json PreflightJson(const PreflightReport& r) {
  Json findings = Json::array();
  for (const Finding& f : r.findings) {
    Json facts = Json::object();
    for (const auto& [name, value] : f.facts) facts[name] = value;
    findings.push_back({{"level", std::string(LevelName(f.level))},
                        {"kind", f.kind},
                        {"table", f.table},
                        {"column", f.column},
                        {"message", f.message},
                        {"facts", std::move(facts)}});
  }
  return Json{{"server", r.serverVersion},
              {"database", r.database},
              {"roundTrips", r.roundTrips},
              {"counts",
               {{"blocker", r.count(FindingLevel::kBlocker)},
                {"warn", r.count(FindingLevel::kWarn)},
                {"info", r.count(FindingLevel::kInfo)},
                {"unknown", r.count(FindingLevel::kUnknown)}}},
              {"findings", std::move(findings)}};
}

std::string JsonCheckReport(const CheckReport& report, const CheckTranscript& transcript) {
  Json j;
  j["schemaVersion"] = kCheckReportVersion;
  j["report"] = "check";
  j["verdict"] = Verdict(report, transcript.strict);
  j["exitStatus"] = transcript.exitStatus;
  j["computer"] = transcript.computer;
  j["webDirectory"] = transcript.webDirectory;
  j["connectionString"] = report.displayConnectionString;
  j["strict"] = transcript.strict;
  j["scanData"] = transcript.scanData;
  j["failure"] = nullptr;
  if (report.failure) {
    j["failure"] = {{"number", report.failure->number()},
                    {"description", report.failure->description()}};
  }
  if (transcript.hint.empty()) {
    j["hint"] = nullptr;
  } else {
    j["hint"] = transcript.hint;
  }
  j["check"] = nullptr;
  if (report.end == CheckEnd::kChecked) j["check"] = PreflightJson(report.preflight);
  // Server texts and paths may hold any bytes: the report stays valid UTF-8, and everything
  // outside printable ASCII is written \uXXXX, so no control or bidirectional character
  // reaches a terminal that shows it.
  return j.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace kivo::cli
