#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "upgrade/odbc/database_client.h"
#include "upgrade/preflight/preflight_queries.h"
#include "upgrade/preflight/preflight_targets.h"

namespace kivo {

// How much a finding matters for the upgrade that follows.
enum class FindingLevel {
  kBlocker,  // the statement will fail
  kWarn,     // it works, but changes or costs something the administrator should know
  kInfo,
  kUnknown,  // the login may not read what the check needs: never counted as a pass
};

std::string_view LevelName(FindingLevel level);  // "BLOCKER", "WARN", "INFO", "UNKNOWN"

struct Finding {
  FindingLevel level = FindingLevel::kInfo;
  std::string kind;    // what was found, stable for scripts: "type-change", "primary-key", ...
  std::string table;   // "CHXD.T2011"; empty for the server and the database
  std::string column;  // empty for a finding about a whole table
  std::string message;
  std::vector<std::pair<std::string, std::string>> facts;  // what the rule read, as text
};

struct PreflightOptions {
  bool scanData = false;  // count the values that may not fit (a full scan of their tables)
  // How long the scan waits for a lock another session holds before it gives up (1222): a
  // scan that waits would make the application's writers wait behind it.
  int scanLockTimeoutSeconds = 5;
};

struct PreflightReport {
  std::string serverVersion;  // as the server gives it, e.g. "10.50.6000.34"
  std::string database;
  std::vector<Finding> findings;
  int roundTrips = 0;  // queries sent

  int count(FindingLevel level) const;
  // No blocker and nothing unknown; with `strict`, no warning either.
  bool passed(bool strict) const;
};

// Reads the catalog through `client` (already open) and derives the findings. Never alters
// anything; a query that fails becomes an UNKNOWN finding naming what could not be read.
PreflightReport RunPreflight(DatabaseClient& client, const PreflightOptions& options);

// One line per finding for people: level, where, message, with control and bidirectional
// characters escaped (VisibleText).
std::string FindingLine(const Finding& finding);

}  // namespace kivo
