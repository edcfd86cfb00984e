#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/preflight/preflight_targets.h"

namespace kivo {

// The catalog queries of the check, in the order it sends them. Each is one SELECT whose
// names are bound parameters; none changes anything. The server query comes first: what it
// reads decides which columns and views the others may name.
enum class CatalogQuery {
  kServer,
  kSchemas,
  kTables,
  kColumns,
  kIndexes,
  kForeignKeys,
  kConstraints,
  kDependencies,           // sys.sql_expression_dependencies: db_owner's by default
  kSchemaBoundReferences,  // sys.sql_dependencies, for a login that may not read the former
  kStatistics,
  kFullText,
  kTriggers,
  kSpace,
  kLocks,
  kReplication,  // only in a database with publications or subscriptions
  kScan,         // built per run, only with --scan-data
};

// The server query's row, column by column.
struct ServerRow {
  enum Column : std::size_t {
    kProductVersion,
    kDatabaseName,
    kDatabaseState,
    kUserAccess,
    kReadOnly,
    kDatabaseCollation,
    kCanCreateTable,
    kEngineEdition,
    kComparisonStyle,
    kAnsiWarnings,
    kUpdateability,
    kStandby,
    kHasMemoryOptimized,
    kHasTemporal,
    kHasLedger,
    kHasEncryption,
    kHasSqlDependencies,
    kCanViewDefinition,
    kCanReadExpressionDependencies,
    kHasPublications,
    kHasMergePublications,
    kHasSubscriptions,
    kServerName,
  };
};

// What the server's catalog has and what the login may read of it, from the server query.
// Newer columns are gated on their presence (COL_LENGTH), not on the major version: Azure SQL
// Database reports 12 and has them all.
struct ServerFeatures {
  int major = 0;
  // SERVERPROPERTY('EngineEdition'): 5 Azure SQL Database, 8 Managed Instance.
  int engineEdition = 0;
  bool memoryOptimized = false;  // sys.tables.is_memory_optimized
  bool temporal = false;         // sys.tables.temporal_type and history_table_id
  bool ledger = false;           // sys.tables.ledger_type
  bool encryption = false;       // sys.columns.encryption_type
  bool sqlDependencies = false;  // the view sys.sql_dependencies
  // VIEW DEFINITION on the database and SELECT on sys.sql_expression_dependencies.
  std::optional<bool> readsExpressionDependencies;
  bool publications = false;       // dbo.sysarticles: transactional publications
  bool mergePublications = false;  // dbo.sysmergearticles
  bool subscriptions = false;      // dbo.MSreplication_subscriptions

  bool azureDatabase() const { return engineEdition == 5; }
  // A SQL Server of its own, not a service of the cloud whose major version says little.
  bool onPremises() const { return engineEdition != 5 && engineEdition != 8; }
  bool replication() const { return publications || mergePublications || subscriptions; }
};

ServerFeatures ReadServerFeatures(const std::vector<std::optional<std::string>>& serverRow);

std::string_view CatalogQueryName(CatalogQuery query);
// The text of a query for a server with these features; empty for kScan.
std::string CatalogQueryText(CatalogQuery query, const ServerFeatures& features);
// The values bound to the query's markers, in order: the added history columns and the target
// schemas, tables and columns it filters on. Empty for kScan.
std::vector<std::string> CatalogQueryParameters(CatalogQuery query, const ServerFeatures& features);

// A table whose values --scan-data counts, and its columns that may not fit.
struct ScanTable {
  std::string schema;
  std::string table;
  std::vector<std::string> columns;
};

// Reads each table once, counting per column the values longer than kTargetLength without
// their trailing blanks, with the longest one, waiting at most `lockTimeoutMs` for a lock. The
// tables and columns are the batches' own names, quoted; each table's label is a parameter
// that comes back as the first value of its row, followed by a count and a longest value per
// column in order (NULL past the table's last).
std::string ScanQueryText(const std::vector<ScanTable>& tables, int lockTimeoutMs);

}  // namespace kivo
