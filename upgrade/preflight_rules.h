#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "upgrade/preflight.h"

namespace kivo {

// What the check read from the catalog, keyed by CatalogKey.

struct TableFacts {
  bool replicated = false;
  bool partitioned = false;
  long long rows = 0;
  std::optional<bool> canAlter;
  std::optional<bool> canSelect;
  std::string temporal;
  bool memoryOptimized = false;
};

struct ColumnFacts {
  std::string typeName;
  std::string baseType;
  long long maxLength = 0;  // bytes; -1 for max
  bool nullable = true;
  std::string collation;
  bool computed = false;
};

struct Dependency {
  std::string kind;  // "index", "primary-key", "foreign-key", "statistics", ...
  std::string name;
  std::string detail;
  bool schemaBound = false;
};

struct Definition {
  std::string kind;  // CHECK, DEFAULT, COMPUTED
  std::string name;
  std::string column;  // empty for a table-level CHECK
  std::string text;
};

struct ScanResult {
  long long overLimit = 0;
  std::optional<long long> longest;
};

struct CatalogFacts {
  bool serverRead = false;
  int major = 0;  // of the server's version
  std::string state;
  std::string access;
  bool readOnly = false;
  std::string collation;  // the database default
  std::optional<bool> canCreateTable;
  std::map<std::string, std::optional<bool>> schemaCanAlter;  // by lowered schema name
  std::map<std::string, TableFacts> tables;
  std::map<std::string, ColumnFacts> columns;
  std::map<std::string, std::vector<Dependency>> dependencies;  // by column
  std::map<std::string, std::vector<Definition>> definitions;   // by table
  std::map<std::string, ScanResult> scans;                      // by column
  std::set<CatalogQuery> unknown;                               // queries that failed
};

enum class Change { kNone, kWiden, kShrink, kTypeChange, kImpossible };

struct Classified {
  Change change = Change::kNone;
  bool mayTruncate = false;  // the old type holds values longer than the target
  std::string from;          // "varchar(50)"
};

// What altering the column to kTargetType does to it.
Classified Classify(const ColumnFacts& c);

// Appends a finding to the report.
Finding& AddFinding(PreflightReport& report, FindingLevel level, std::string kind,
                    std::string table, std::string column, std::string message);

// Appends the findings that the facts give: the server's first, then each target table's
// before its columns', in batch order. Nothing is said about what a failed query would have
// told (its UNKNOWN finding stands for it).
void DeriveFindings(const CatalogFacts& facts, const PreflightOptions& options,
                    PreflightReport& report);

}  // namespace kivo
