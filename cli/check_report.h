#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "upgrade/preflight/check.h"
#include "upgrade/preflight/preflight.h"

namespace kivo::cli {

// Version of the check's JSON document; raised whenever a field changes meaning or goes away.
inline constexpr int kCheckReportVersion = 1;

// What the companion adds to a check's findings.
struct CheckTranscript {
  std::string computer;
  std::string webDirectory;
  bool strict = false;
  bool scanData = false;
  int exitStatus = 0;
  std::string hint;  // why the check could not run, as for a run; empty when none is known
};

// The findings for people, line by line: a heading with the server and database, one line per
// finding (level, table.column, message), the counts and the verdict.
std::vector<std::string> TextCheckReport(const CheckReport& report,
                                         const CheckTranscript& transcript);

// One JSON document for scripts (docs/REPORT.md describes it).
std::string JsonCheckReport(const CheckReport& report, const CheckTranscript& transcript);

// The check's own part, {"server": ..., "findings": [...], ...}, for the run's report too.
nlohmann::ordered_json PreflightJson(const PreflightReport& report);

}  // namespace kivo::cli
