#include "upgrade/preflight/preflight_queries.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace kivo {
namespace {

// Distinct values in first-seen order, compared exactly: on a case-sensitive database
// "CustomerContact_Hist" and "CustomerContact_HIST" are two tables, and on any other a name
// twice in a list does no harm.
std::vector<std::string> Distinct(const std::vector<std::string>& names) {
  std::vector<std::string> values;
  std::set<std::string> seen;
  for (const std::string& name : names) {
    if (seen.insert(name).second) values.push_back(name);
  }
  return values;
}

// The queries. They keep to SELECT lists, CASE, equality joins and WHERE with AND, =, <>, IN
// and IS NULL, on catalog views and functions that SQL Server 2008 R2 has; newer columns only
// where the server query found them. The filters take the target schemas, tables and columns
// as bound parameters and the rows are matched to the exact targets here, so the number of
// queries does not grow with the number of columns.

std::string Markers(std::size_t count) {
  std::string text = "(";
  for (std::size_t i = 0; i < count; ++i) text += i ? ", ?" : "?";
  return text + ")";
}

struct Filters {
  std::vector<std::string> schemas;
  std::vector<std::string> tables;
  std::vector<std::string> columns;

  Filters() {
    std::vector<std::string> s, t, c;
    for (const TargetColumn& target : TargetColumns()) {
      s.push_back(target.schema);
      t.push_back(target.table);
      c.push_back(target.column);
      if (!target.historyCreated.empty()) {
        // The table the history statement creates, to tell it from the one altered.
        const auto [schema, table] = SplitQualifiedName(target.historyCreated);
        t.push_back(table);
      }
    }
    schemas = Distinct(s);
    tables = Distinct(t);
    columns = Distinct(c);
  }

  // Tables and schemas as `t` and `s`.
  std::string tables_where() const {
    return " WHERE s.name IN " + Markers(schemas.size()) + " AND t.name IN " +
           Markers(tables.size());
  }
  // The target columns as `c`, `t` and `s`, for a view whose object and column ids are given.
  std::string columns_of(const std::string& objectId, const std::string& columnId) const {
    return " JOIN sys.columns AS c ON c.object_id = " + objectId +
           " AND c.column_id = " + columnId +
           " JOIN sys.tables AS t ON t.object_id = c.object_id"
           " JOIN sys.schemas AS s ON s.schema_id = t.schema_id" +
           tables_where() + " AND c.name IN " + Markers(columns.size());
  }
  std::vector<std::string> tableParameters() const {
    std::vector<std::string> p = schemas;
    p.insert(p.end(), tables.begin(), tables.end());
    return p;
  }
  std::vector<std::string> columnParameters() const {
    std::vector<std::string> p = tableParameters();
    p.insert(p.end(), columns.begin(), columns.end());
    return p;
  }
};

const Filters& TheFilters() {
  static const Filters filters;
  return filters;
}

struct Query {
  std::string text;
  std::vector<std::string> parameters;
};

std::vector<std::string> Repeat(const std::vector<std::string>& part, int times) {
  std::vector<std::string> p;
  for (int i = 0; i < times; ++i) p.insert(p.end(), part.begin(), part.end());
  return p;
}

// A newer column where the server has it, else NULL under its name.
std::string Optional(bool present, const std::string& expression, const std::string& name) {
  return (present ? expression : std::string("NULL")) + " AS " + name;
}

const std::string kTableScope = " JOIN sys.tables AS t ON t.object_id = ";
const std::string kSchemaScope = " JOIN sys.schemas AS s ON s.schema_id = t.schema_id";
const std::string kTableName = "QUOTENAME(s.name) + N'.' + QUOTENAME(t.name)";

std::string Permission(const std::string& permission) {
  return "HAS_PERMS_BY_NAME(" + kTableName + ", N'OBJECT', N'" + permission + "')";
}

Query ServerQuery() {
  // SERVERPROPERTY, SESSIONPROPERTY, DATABASEPROPERTYEX and COLLATIONPROPERTY return
  // sql_variant, which is cast to what the driver reads plainly.
  return {
      "SELECT CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)) AS product_version, "
      "d.name, d.state_desc, d.user_access_desc, d.is_read_only, d.collation_name, "
      "HAS_PERMS_BY_NAME(DB_NAME(), N'DATABASE', N'CREATE TABLE') AS can_create_table, "
      "CAST(SERVERPROPERTY('EngineEdition') AS int) AS engine_edition, "
      "CAST(COLLATIONPROPERTY(d.collation_name, 'ComparisonStyle') AS int) AS comparison_style, "
      "CAST(SESSIONPROPERTY('ANSI_WARNINGS') AS int) AS ansi_warnings, "
      "CAST(DATABASEPROPERTYEX(DB_NAME(), 'Updateability') AS nvarchar(128)) AS updateability, "
      "d.is_in_standby, "
      "COL_LENGTH('sys.tables', 'is_memory_optimized') AS has_memory_optimized, "
      "COL_LENGTH('sys.tables', 'temporal_type') AS has_temporal, "
      "COL_LENGTH('sys.tables', 'ledger_type') AS has_ledger, "
      "COL_LENGTH('sys.columns', 'encryption_type') AS has_encryption, "
      "OBJECT_ID('sys.sql_dependencies') AS has_sql_dependencies, "
      "HAS_PERMS_BY_NAME(DB_NAME(), N'DATABASE', N'VIEW DEFINITION') AS can_view_definition, "
      "HAS_PERMS_BY_NAME(N'sys.sql_expression_dependencies', N'OBJECT', N'SELECT') "
      "AS can_read_dependencies, "
      "OBJECT_ID(N'dbo.sysarticles') AS has_publications, "
      "OBJECT_ID(N'dbo.sysmergearticles') AS has_merge_publications, "
      "OBJECT_ID(N'dbo.MSreplication_subscriptions') AS has_subscriptions, "
      "@@SERVERNAME AS server_name "
      "FROM sys.databases AS d WHERE d.database_id = DB_ID()",
      {}};
}

Query TablesQuery(const ServerFeatures& f) {
  const Filters& filters = TheFilters();
  const std::string history =
      "OBJECT_SCHEMA_NAME(t.history_table_id) + N'.' + "
      "OBJECT_NAME(t.history_table_id)";
  std::string text =
      "SELECT s.name, t.name, t.is_replicated, t.is_merge_published, ds.type AS "
      "data_space_type, p.partition_number, p.rows, " +
      Permission("ALTER") + " AS can_alter, " + Permission("SELECT") +
      " AS can_select, t.is_sync_tran_subscribed, t.is_tracked_by_cdc, fg.name AS filegroup, "
      "fg.is_read_only AS filegroup_read_only, "
      "OBJECTPROPERTY(t.object_id, N'TableHasIdentity') AS has_identity, ";
  std::vector<std::string> parameters;
  for (const std::string& added : HistoryAddedColumns()) {
    text += "COL_LENGTH(" + kTableName + ", ?) AS has_" + added + ", ";
    parameters.push_back(added);
  }
  text += Permission("CONTROL") + " AS can_control, cs.name AS columnstore, " +
          Optional(f.memoryOptimized, "t.is_memory_optimized", "is_memory_optimized") + ", " +
          Optional(f.temporal, "t.temporal_type", "temporal_type") + ", " +
          Optional(f.temporal, history, "history_table") + ", " +
          Optional(f.temporal,
                   "HAS_PERMS_BY_NAME(QUOTENAME(OBJECT_SCHEMA_NAME(t.history_table_id)) + N'.' + "
                   "QUOTENAME(OBJECT_NAME(t.history_table_id)), N'OBJECT', N'CONTROL')",
                   "history_can_control") +
          ", " + Optional(f.ledger, "t.ledger_type", "ledger_type") + " FROM sys.tables AS t" +
          kSchemaScope +
          // Outer joins: a table without a heap or clustered index is a table all the same.
          " LEFT JOIN sys.indexes AS i ON i.object_id = t.object_id AND i.index_id IN (0, 1)"
          " LEFT JOIN sys.data_spaces AS ds ON ds.data_space_id = i.data_space_id"
          " LEFT JOIN sys.partitions AS p ON p.object_id = i.object_id AND p.index_id = "
          "i.index_id"
          " LEFT JOIN sys.filegroups AS fg ON fg.data_space_id = i.data_space_id"
          " LEFT JOIN sys.indexes AS cs ON cs.object_id = t.object_id AND cs.type IN (5, 6)" +
          filters.tables_where();
  const auto where = filters.tableParameters();
  parameters.insert(parameters.end(), where.begin(), where.end());
  return {text, parameters};
}

Query ColumnsQuery(const ServerFeatures& f) {
  const Filters& filters = TheFilters();
  // A CLR type's system_type_id (240) names no row of sys.types: the base type is optional.
  // An alias type the login may not see has no row either: the column still comes back.
  return {
      "SELECT s.name, t.name, c.name, ty.name AS type_name, bt.name AS base_type, "
      "c.max_length, c.is_nullable, c.collation_name, c.is_computed, c.is_identity, "
      "c.is_sparse, c.is_column_set, c.is_rowguidcol, "
      "OBJECT_NAME(c.rule_object_id) AS rule_name, c.rule_object_id, "
      "OBJECT_NAME(c.default_object_id) AS default_name, c.default_object_id, "
      "dc.object_id AS default_constraint, ty.is_assembly_type, " +
          Optional(f.encryption, "c.encryption_type", "encryption_type") +
          " FROM sys.columns AS c" + kTableScope + "c.object_id" + kSchemaScope +
          " LEFT JOIN sys.types AS ty ON ty.user_type_id = c.user_type_id"
          " LEFT JOIN sys.types AS bt ON bt.user_type_id = c.system_type_id"
          " LEFT JOIN sys.default_constraints AS dc ON dc.object_id = c.default_object_id" +
          filters.tables_where() + " AND c.name IN " + Markers(filters.columns.size()),
      filters.columnParameters()};
}

Query ForeignKeysQuery() {
  const Filters& f = TheFilters();
  auto side = [&](const std::string& name, const std::string& own, const std::string& other) {
    return "SELECT s.name, t.name, c.name, fk.name, N'" + name +
           "' AS side, OBJECT_SCHEMA_NAME(fkc." + other + "_object_id) + N'.' + OBJECT_NAME(fkc." +
           other +
           "_object_id) AS other_table FROM sys.foreign_key_columns AS fkc "
           "JOIN sys.foreign_keys AS fk ON fk.object_id = fkc.constraint_object_id" +
           f.columns_of("fkc." + own + "_object_id", "fkc." + own + "_column_id");
  };
  return {side("referencing", "parent", "referenced") + " UNION ALL " +
              side("referenced", "referenced", "parent"),
          Repeat(f.columnParameters(), 2)};
}

Query ConstraintsQuery() {
  const Filters& f = TheFilters();
  auto constraint = [&](const std::string& kind, const std::string& view) {
    return "SELECT s.name, t.name, COL_NAME(x.parent_object_id, x.parent_column_id) AS "
           "column_name, N'" +
           kind + "' AS kind, x.name, x.definition FROM sys." + view + " AS x" + kTableScope +
           "x.parent_object_id" + kSchemaScope + f.tables_where();
  };
  return {constraint("CHECK", "check_constraints") + " UNION ALL " +
              constraint("DEFAULT", "default_constraints") +
              " UNION ALL SELECT s.name, t.name, x.name, N'COMPUTED' AS kind, x.name, "
              "x.definition FROM sys.computed_columns AS x" +
              kTableScope + "x.object_id" + kSchemaScope + f.tables_where(),
          Repeat(f.tableParameters(), 3)};
}

Query TriggersQuery(const ServerFeatures& features) {
  // Each event of a trigger made for an event group is a row of its own.
  const std::string events = "te.type_desc IN (N'ALTER_TABLE', N'CREATE_TABLE')";
  std::string text =
      "SELECT tr.name, te.type_desc, tr.is_disabled, N'database' AS scope FROM sys.triggers "
      "AS tr JOIN sys.trigger_events AS te ON te.object_id = tr.object_id WHERE "
      "tr.parent_class = 0 AND " +
      events;
  // An Azure SQL database has no server of its own to hold triggers.
  if (!features.azureDatabase()) {
    text +=
        " UNION ALL SELECT tr.name, te.type_desc, tr.is_disabled, N'server' FROM "
        "sys.server_triggers AS tr JOIN sys.server_trigger_events AS te ON te.object_id = "
        "tr.object_id WHERE " +
        events;
  }
  return {text, {}};
}

Query SpaceQuery() {
  const Filters& f = TheFilters();
  // Pages of the heap or clustered index: in-row and row-overflow units belong to the hobt,
  // LOB units to the partition.
  auto pages = [&](const std::string& container, const std::string& types) {
    return " UNION ALL SELECT N'table', s.name, t.name, au.used_pages, NULL, NULL, NULL, NULL "
           "FROM sys.allocation_units AS au JOIN sys.partitions AS p ON p." +
           container + " = au.container_id" + kTableScope + "p.object_id" + kSchemaScope +
           f.tables_where() + " AND p.index_id IN (0, 1) AND au.type IN " + types;
  };
  return {
      "SELECT N'log' AS kind, N'' AS schema_name, df.name, df.size, df.max_size, "
      "df.growth, df.is_percent_growth, FILEPROPERTY(df.name, 'SpaceUsed') AS used "
      "FROM sys.database_files AS df WHERE df.type = 1" +
          pages("hobt_id", "(1, 3)") + pages("partition_id", "(2)"),
      Repeat(f.tableParameters(), 2)};
}

Query LocksQuery() {
  const Filters& f = TheFilters();
  return {
      "SELECT s.name, t.name, l.request_session_id, l.request_mode, l.request_status, "
      "es.login_name, es.host_name, es.program_name FROM sys.dm_tran_locks AS l" +
          kTableScope + "l.resource_associated_entity_id" + kSchemaScope +
          " LEFT JOIN sys.dm_exec_sessions AS es ON es.session_id = l.request_session_id" +
          f.tables_where() +
          " AND l.resource_database_id = DB_ID() AND l.resource_type = N'OBJECT' "
          "AND l.request_session_id <> @@SPID",
      f.tableParameters()};
}

Query ReplicationQuery(const ServerFeatures& features) {
  const Filters& f = TheFilters();
  std::vector<std::string> parts;
  std::vector<std::string> parameters;
  auto articles = [&](const std::string& kind, const std::string& prefix,
                      const std::string& publisher) {
    parts.push_back("SELECT s.name, t.name, N'" + kind +
                    "' AS kind, p.name AS publication, p.replicate_ddl, " + publisher +
                    " FROM dbo." + prefix + "articles AS a JOIN dbo." + prefix +
                    "publications AS p ON p.pubid = a.pubid" + kTableScope + "a.objid" +
                    kSchemaScope + f.tables_where());
    const auto p = f.tableParameters();
    parameters.insert(parameters.end(), p.begin(), p.end());
  };
  if (features.publications) {
    articles("transactional", "sys", "NULL AS publisher, NULL AS publisher_db");
  }
  if (features.mergePublications) {
    articles("merge", "sysmerge", "p.publisher, p.publisher_db");
  }
  if (features.subscriptions) {
    parts.push_back(
        "SELECT N'', N'', N'subscription', ms.publication, NULL, ms.publisher, ms.publisher_db "
        "FROM dbo.MSreplication_subscriptions AS ms");
  }
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : " UNION ALL ") + part;
  return {text, parameters};
}

Query Build(CatalogQuery id, const ServerFeatures& features) {
  const Filters& f = TheFilters();
  switch (id) {
    case CatalogQuery::kServer:
      return ServerQuery();
    case CatalogQuery::kSchemas:
      return {
          "SELECT s.name, HAS_PERMS_BY_NAME(QUOTENAME(s.name), N'SCHEMA', N'ALTER') AS "
          "can_alter, HAS_PERMS_BY_NAME(QUOTENAME(s.name), N'SCHEMA', N'VIEW DEFINITION') AS "
          "can_view_definition FROM sys.schemas AS s WHERE s.name IN " +
              Markers(f.schemas.size()),
          f.schemas};
    case CatalogQuery::kTables:
      return TablesQuery(features);
    case CatalogQuery::kColumns:
      return ColumnsQuery(features);
    case CatalogQuery::kIndexes:
      return {
          "SELECT s.name, t.name, c.name, i.name, i.type_desc, i.is_primary_key, "
          "i.is_unique_constraint, ic.is_included_column, ic.partition_ordinal "
          "FROM sys.index_columns AS ic "
          "JOIN sys.indexes AS i ON i.object_id = ic.object_id AND i.index_id = ic.index_id" +
              f.columns_of("ic.object_id", "ic.column_id"),
          f.columnParameters()};
    case CatalogQuery::kForeignKeys:
      return ForeignKeysQuery();
    case CatalogQuery::kConstraints:
      return ConstraintsQuery();
    case CatalogQuery::kDependencies:
      return {
          "SELECT s.name, t.name, c.name, OBJECT_SCHEMA_NAME(d.referencing_id) + N'.' + "
          "OBJECT_NAME(d.referencing_id) AS referencing, o.type_desc, "
          "d.is_schema_bound_reference FROM sys.sql_expression_dependencies AS d "
          "LEFT JOIN sys.objects AS o ON o.object_id = d.referencing_id" +
              f.columns_of("d.referenced_id", "d.referenced_minor_id"),
          f.columnParameters()};
    case CatalogQuery::kSchemaBoundReferences:
      // Every login may read this view; class 1 is a schema-bound reference. The table's own
      // computed columns are read from their definitions.
      return {
          "SELECT s.name, t.name, c.name, OBJECT_SCHEMA_NAME(d.object_id) + N'.' + "
          "OBJECT_NAME(d.object_id) AS referencing, o.type_desc, d.class "
          "FROM sys.sql_dependencies AS d "
          "LEFT JOIN sys.objects AS o ON o.object_id = d.object_id" +
              f.columns_of("d.referenced_major_id", "d.referenced_minor_id") +
              " AND d.class = 1 AND d.object_id <> d.referenced_major_id",
          f.columnParameters()};
    case CatalogQuery::kStatistics:
      return {
          "SELECT s.name, t.name, c.name, st.name FROM sys.stats_columns AS sc "
          "JOIN sys.stats AS st ON st.object_id = sc.object_id AND st.stats_id = "
          "sc.stats_id" +
              f.columns_of("sc.object_id", "sc.column_id") + " AND st.user_created = 1",
          f.columnParameters()};
    case CatalogQuery::kFullText:
      return {"SELECT s.name, t.name, c.name FROM sys.fulltext_index_columns AS fc" +
                  f.columns_of("fc.object_id", "fc.column_id"),
              f.columnParameters()};
    case CatalogQuery::kTriggers:
      return TriggersQuery(features);
    case CatalogQuery::kSpace:
      return SpaceQuery();
    case CatalogQuery::kLocks:
      return LocksQuery();
    case CatalogQuery::kReplication:
      return ReplicationQuery(features);
    case CatalogQuery::kScan:
      break;
  }
  return {};
}

std::string Quoted(const std::string& name) {
  std::string out = "[";
  for (char c : name) out += c == ']' ? std::string("]]") : std::string(1, c);
  return out + "]";
}

std::optional<long long> Number(const std::vector<std::optional<std::string>>& row, std::size_t i) {
  if (i >= row.size() || !row[i]) return std::nullopt;
  long long value = 0;
  const std::string& text = *row[i];
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

ServerFeatures ReadServerFeatures(const std::vector<std::optional<std::string>>& row) {
  ServerFeatures f;
  if (row.size() > ServerRow::kProductVersion && row[ServerRow::kProductVersion]) {
    const std::string& v = *row[ServerRow::kProductVersion];
    std::from_chars(v.data(), v.data() + v.size(), f.major);
  }
  auto present = [&row](ServerRow::Column c) { return Number(row, c).has_value(); };
  f.engineEdition = static_cast<int>(Number(row, ServerRow::kEngineEdition).value_or(0));
  f.memoryOptimized = present(ServerRow::kHasMemoryOptimized);
  f.temporal = present(ServerRow::kHasTemporal);
  f.ledger = present(ServerRow::kHasLedger);
  f.encryption = present(ServerRow::kHasEncryption);
  f.sqlDependencies = present(ServerRow::kHasSqlDependencies);
  const auto definition = Number(row, ServerRow::kCanViewDefinition);
  const auto select = Number(row, ServerRow::kCanReadExpressionDependencies);
  if (definition == 0 || select == 0) {
    f.readsExpressionDependencies = false;
  } else if (definition && select) {
    f.readsExpressionDependencies = true;
  }
  f.publications = present(ServerRow::kHasPublications);
  f.mergePublications = present(ServerRow::kHasMergePublications);
  f.subscriptions = present(ServerRow::kHasSubscriptions);
  return f;
}

std::string_view CatalogQueryName(CatalogQuery query) {
  switch (query) {
    case CatalogQuery::kServer:
      return "server";
    case CatalogQuery::kSchemas:
      return "schemas";
    case CatalogQuery::kTables:
      return "tables";
    case CatalogQuery::kColumns:
      return "columns";
    case CatalogQuery::kIndexes:
      return "indexes";
    case CatalogQuery::kForeignKeys:
      return "foreign keys";
    case CatalogQuery::kConstraints:
      return "constraints and computed columns";
    case CatalogQuery::kDependencies:
      return "dependencies";
    case CatalogQuery::kSchemaBoundReferences:
      return "schema-bound references";
    case CatalogQuery::kStatistics:
      return "statistics";
    case CatalogQuery::kFullText:
      return "full-text indexes";
    case CatalogQuery::kTriggers:
      return "DDL triggers";
    case CatalogQuery::kSpace:
      return "log and table sizes";
    case CatalogQuery::kLocks:
      return "locks of other sessions";
    case CatalogQuery::kReplication:
      return "replication articles";
    case CatalogQuery::kScan:
      return "values of the columns that may not fit";
  }
  return "catalog";
}

std::string CatalogQueryText(CatalogQuery query, const ServerFeatures& features) {
  return Build(query, features).text;
}

std::vector<std::string> CatalogQueryParameters(CatalogQuery query,
                                                const ServerFeatures& features) {
  return Build(query, features).parameters;
}

std::string ScanQueryText(const std::vector<ScanTable>& tables, int lockTimeoutMs) {
  std::size_t widest = 0;
  for (const ScanTable& t : tables) widest = std::max(widest, t.columns.size());
  std::string text;
  for (const ScanTable& t : tables) {
    text += text.empty() ? "SELECT ? AS target" : " UNION ALL SELECT ?";
    for (std::size_t i = 0; i < widest; ++i) {
      if (i >= t.columns.size()) {
        text += ", NULL, NULL";
        continue;
      }
      // Trailing blanks do not count, as SQL Server ignores them when it checks for
      // truncation; DATALENGTH / 2 counts UTF-16 units, as nvarchar(n) does.
      const std::string units =
          "DATALENGTH(RTRIM(CONVERT(nvarchar(max), " + Quoted(t.columns[i]) + ")))";
      const std::string n = std::to_string(i + 1);
      text += ", COUNT_BIG(CASE WHEN " + units + " > " + std::to_string(2 * kTargetLength) +
              " THEN 1 END) AS over_" + n + ", MAX(" + units + ") / 2 AS longest_" + n;
    }
    text += " FROM " + Quoted(t.schema) + "." + Quoted(t.table);
  }
  // The batch is its own scope for SET; the lock timeout is set back all the same, for a
  // run that goes on on this connection.
  return "SET LOCK_TIMEOUT " + std::to_string(lockTimeoutMs) + "; " + text +
         "; SET LOCK_TIMEOUT -1";
}

}  // namespace kivo
