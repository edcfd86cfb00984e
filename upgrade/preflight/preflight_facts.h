#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "upgrade/preflight/preflight_queries.h"

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

}  // namespace kivo
