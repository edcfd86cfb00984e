#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "upgrade/preflight/preflight_queries.h"

namespace kivo {

// What the check read from the catalog, keyed by CatalogFacts::key.

// A publication the table is an article of.
struct Publication {
  std::string kind;  // "transactional" or "merge"
  std::string name;
  std::optional<bool> replicatesDdl;
  bool local = true;  // published from this database, not a subscriber's copy
};

struct TableFacts {
  std::string name;  // "CHXD.T2011" as the catalog spells it
  bool replicated = false;
  bool syncTranSubscribed = false;
  bool trackedByCdc = false;
  bool partitioned = false;
  long long rows = 0;
  long long usedPages = 0;  // of its heap or clustered index
  std::optional<bool> canAlter;
  std::optional<bool> canSelect;
  std::optional<bool> canControl;
  std::string filegroup;
  bool filegroupReadOnly = false;
  bool hasIdentity = false;
  std::vector<std::string> addedColumnsPresent;  // of ChangeU and ChangeD
  std::string columnstore;                       // the name of its columnstore index
  bool memoryOptimized = false;
  int temporalType = 0;      // 1 a history table, 2 system-versioned
  std::string historyTable;  // of a system-versioned table
  std::optional<bool> historyCanControl;
  int ledgerType = 0;  // 1 a ledger history table, 2 updatable, 3 append-only
  std::vector<Publication> publications;
};

struct ColumnFacts {
  std::string typeName;
  std::string baseType;     // empty for a CLR type
  long long maxLength = 0;  // bytes; -1 for max
  bool nullable = true;
  std::string collation;
  bool computed = false;
  bool identity = false;
  bool sparse = false;
  bool columnSet = false;
  bool rowGuid = false;
  bool assemblyType = false;
  bool encrypted = false;
  bool unreadable = false;                  // the catalog gave no type name or no length (NULL)
  std::optional<std::string> rule;          // a rule bound with sp_bindrule
  std::optional<std::string> boundDefault;  // a default bound with sp_bindefault
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
  bool hidden = false;  // NULL: the login may not see it (no VIEW DEFINITION, ALTER or CONTROL)
};

struct ScanResult {
  long long overLimit = 0;
  std::optional<long long> longest;
};

struct SessionLock {
  std::string session;
  std::string mode;
  std::string status;
  std::string login;
  std::string host;
  std::string program;
};

struct DdlTrigger {
  std::string name;
  std::string scope;  // "database" or "server"
  std::set<std::string> events;
};

struct LogFile {
  std::string name;
  long long sizePages = 0;
  long long maxSizePages = 0;  // -1 without limit
  long long growth = 0;        // pages, or percent
  bool percentGrowth = false;
  std::optional<long long> usedPages;
};

struct CatalogFacts {
  bool serverRead = false;
  ServerFeatures features;
  std::string serverName;
  std::string state;
  std::string access;
  bool readOnly = false;
  bool standby = false;
  std::string updateability;
  std::optional<bool> ansiWarnings;
  std::string collation;       // the database default
  bool caseSensitive = false;  // names compare as the collation does
  std::optional<bool> canCreateTable;
  std::optional<bool> canViewDefinition;    // on the database: every table is visible
  bool dependenciesFromReferences = false;  // sys.sql_dependencies stood in
  std::map<std::string, std::optional<bool>> schemaCanAlter;  // by key of the schema
  // VIEW DEFINITION or ALTER on the schema, either of which shows every table in it.
  std::map<std::string, bool> schemaSeesAll;
  std::map<std::string, TableFacts> tables;
  std::map<std::string, ColumnFacts> columns;
  std::map<std::string, std::vector<Dependency>> dependencies;  // by column
  std::map<std::string, std::vector<Definition>> definitions;   // by table
  std::map<std::string, ScanResult> scans;                      // by column
  std::map<std::string, std::vector<SessionLock>> locks;        // by table
  std::optional<std::string> locksUnseen;  // why other sessions could not be seen
  std::vector<DdlTrigger> triggers;
  std::vector<LogFile> logFiles;
  std::vector<std::string> subscriptions;  // "publication of publisher.database"
  std::set<CatalogQuery> unknown;          // queries that failed

  // The catalog key of a name, compared as this database compares names.
  std::string key(std::string_view schema, std::string_view table,
                  std::string_view column = {}) const {
    return CatalogKey(schema, table, column, caseSensitive);
  }
};

}  // namespace kivo
