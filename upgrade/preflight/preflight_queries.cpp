#include "upgrade/preflight/preflight_queries.h"

#include <algorithm>
#include <set>

#include "base/ascii.h"

namespace kivo {
namespace {

// Distinct values in first-seen order, compared without case.
std::vector<std::string> Distinct(const std::vector<TargetColumn>& targets,
                                  std::string TargetColumn::*member) {
  std::vector<std::string> values;
  std::set<std::string> seen;
  for (const TargetColumn& t : targets) {
    if (seen.insert(LowerAscii(t.*member)).second) values.push_back(t.*member);
  }
  return values;
}

// The queries. They keep to SELECT lists, equality joins and WHERE with AND, =, IN and IS NULL,
// on catalog views and functions that SQL Server 2008 R2 has; the filters take the target
// schemas, tables and columns as bound parameters and the rows are matched to the exact targets
// here, so the number of queries does not grow with the number of columns.

std::string Markers(std::size_t count) {
  std::string text = "(";
  for (std::size_t i = 0; i < count; ++i) text += i ? ", ?" : "?";
  return text + ")";
}

struct Filters {
  std::vector<std::string> schemas = Distinct(TargetColumns(), &TargetColumn::schema);
  std::vector<std::string> tables = Distinct(TargetColumns(), &TargetColumn::table);
  std::vector<std::string> columns = Distinct(TargetColumns(), &TargetColumn::column);

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

struct CatalogQueryEntry {
  CatalogQuery id;
  std::string_view name;
  std::string text;
  enum { kNone, kTables, kColumns, kColumnsTwice, kTablesThrice } parameters;
};

std::vector<CatalogQueryEntry> MakeQueries() {
  const Filters& f = TheFilters();
  const std::string tableScope = " JOIN sys.tables AS t ON t.object_id = ";
  const std::string schemaScope = " JOIN sys.schemas AS s ON s.schema_id = t.schema_id";
  const std::string perms = "QUOTENAME(s.name) + N'.' + QUOTENAME(t.name), N'OBJECT', N'";
  const std::string fkColumns =
      "SELECT s.name, t.name, c.name, fk.name, N'%SIDE%' AS side, "
      "OBJECT_SCHEMA_NAME(fkc.%OTHER%_object_id) + N'.' + OBJECT_NAME(fkc.%OTHER%_object_id) "
      "AS other_table FROM sys.foreign_key_columns AS fkc "
      "JOIN sys.foreign_keys AS fk ON fk.object_id = fkc.constraint_object_id";
  auto fk = [&](const std::string& side, const std::string& own, const std::string& other) {
    std::string text = fkColumns;
    text.replace(text.find("%SIDE%"), 6, side);
    for (std::size_t at; (at = text.find("%OTHER%")) != std::string::npos;)
      text.replace(at, 7, other);
    return text + f.columns_of("fkc." + own + "_object_id", "fkc." + own + "_column_id");
  };
  auto constraint = [&](const std::string& kind, const std::string& view) {
    return "SELECT s.name, t.name, COL_NAME(x.parent_object_id, x.parent_column_id) AS "
           "column_name, N'" +
           kind + "' AS kind, x.name, x.definition FROM sys." + view + " AS x" + tableScope +
           "x.parent_object_id" + schemaScope + f.tables_where();
  };
  return {
      {CatalogQuery::kServer, "server",
       "SELECT CAST(SERVERPROPERTY('ProductVersion') AS nvarchar(128)) AS product_version, "
       "d.name, d.state_desc, d.user_access_desc, d.is_read_only, d.collation_name, "
       "HAS_PERMS_BY_NAME(DB_NAME(), N'DATABASE', N'CREATE TABLE') AS can_create_table "
       "FROM sys.databases AS d WHERE d.database_id = DB_ID()",
       CatalogQueryEntry::kNone},
      {CatalogQuery::kSchemas, "schemas",
       "SELECT s.name, HAS_PERMS_BY_NAME(QUOTENAME(s.name), N'SCHEMA', N'ALTER') AS can_alter "
       "FROM sys.schemas AS s WHERE s.name IN " +
           Markers(f.schemas.size()),
       CatalogQueryEntry::kNone},
      {CatalogQuery::kTables, "tables",
       "SELECT s.name, t.name, t.is_replicated, t.is_merge_published, ds.type AS "
       "data_space_type, p.partition_number, p.rows, HAS_PERMS_BY_NAME(" +
           perms + "ALTER') AS can_alter, HAS_PERMS_BY_NAME(" + perms +
           "SELECT') AS can_select FROM sys.tables AS t" + schemaScope +
           " JOIN sys.indexes AS i ON i.object_id = t.object_id"
           " JOIN sys.data_spaces AS ds ON ds.data_space_id = i.data_space_id"
           " JOIN sys.partitions AS p ON p.object_id = i.object_id AND p.index_id = i.index_id" +
           f.tables_where() + " AND i.index_id IN (0, 1)",
       CatalogQueryEntry::kTables},
      {CatalogQuery::kColumns, "columns",
       "SELECT s.name, t.name, c.name, ty.name AS type_name, bt.name AS base_type, c.max_length, "
       "c.is_nullable, c.collation_name, c.is_computed FROM sys.columns AS c" +
           tableScope + "c.object_id" + schemaScope +
           " JOIN sys.types AS ty ON ty.user_type_id = c.user_type_id"
           " JOIN sys.types AS bt ON bt.user_type_id = c.system_type_id" +
           f.tables_where() + " AND c.name IN " + Markers(f.columns.size()),
       CatalogQueryEntry::kColumns},
      {CatalogQuery::kIndexes, "indexes",
       "SELECT s.name, t.name, c.name, i.name, i.type_desc, i.is_primary_key, "
       "i.is_unique_constraint, ic.is_included_column FROM sys.index_columns AS ic "
       "JOIN sys.indexes AS i ON i.object_id = ic.object_id AND i.index_id = ic.index_id" +
           f.columns_of("ic.object_id", "ic.column_id"),
       CatalogQueryEntry::kColumns},
      {CatalogQuery::kForeignKeys, "foreign keys",
       fk("referencing", "parent", "referenced") + " UNION ALL " +
           fk("referenced", "referenced", "parent"),
       CatalogQueryEntry::kColumnsTwice},
      {CatalogQuery::kConstraints, "constraints and computed columns",
       constraint("CHECK", "check_constraints") + " UNION ALL " +
           constraint("DEFAULT", "default_constraints") +
           " UNION ALL SELECT s.name, t.name, x.name, N'COMPUTED' AS kind, x.name, x.definition "
           "FROM sys.computed_columns AS x" +
           tableScope + "x.object_id" + schemaScope + f.tables_where(),
       CatalogQueryEntry::kTablesThrice},
      {CatalogQuery::kDependencies, "dependencies",
       "SELECT s.name, t.name, c.name, OBJECT_SCHEMA_NAME(d.referencing_id) + N'.' + "
       "OBJECT_NAME(d.referencing_id) AS referencing, o.type_desc, d.is_schema_bound_reference "
       "FROM sys.sql_expression_dependencies AS d "
       "LEFT JOIN sys.objects AS o ON o.object_id = d.referencing_id" +
           f.columns_of("d.referenced_id", "d.referenced_minor_id"),
       CatalogQueryEntry::kColumns},
      {CatalogQuery::kStatistics, "statistics",
       "SELECT s.name, t.name, c.name, st.name FROM sys.stats_columns AS sc "
       "JOIN sys.stats AS st ON st.object_id = sc.object_id AND st.stats_id = sc.stats_id" +
           f.columns_of("sc.object_id", "sc.column_id") + " AND st.user_created = 1",
       CatalogQueryEntry::kColumns},
      {CatalogQuery::kFullText, "full-text indexes",
       "SELECT s.name, t.name, c.name FROM sys.fulltext_index_columns AS fc" +
           f.columns_of("fc.object_id", "fc.column_id"),
       CatalogQueryEntry::kColumns},
      {CatalogQuery::kTableKinds, "table kinds",
       "SELECT s.name, t.name, t.temporal_type_desc, t.is_memory_optimized FROM sys.tables AS t" +
           schemaScope + f.tables_where(),
       CatalogQueryEntry::kTables},
  };
}

const std::vector<CatalogQueryEntry>& Queries() {
  static const std::vector<CatalogQueryEntry> queries = MakeQueries();
  return queries;
}

const CatalogQueryEntry& Lookup(CatalogQuery id) {
  const auto& all = Queries();
  return *std::find_if(all.begin(), all.end(),
                       [id](const CatalogQueryEntry& q) { return q.id == id; });
}

std::vector<std::string> ParametersOf(const CatalogQueryEntry& query) {
  const Filters& f = TheFilters();
  std::vector<std::string> p;
  auto repeat = [&p](const std::vector<std::string>& part, int times) {
    for (int i = 0; i < times; ++i) p.insert(p.end(), part.begin(), part.end());
  };
  switch (query.parameters) {
    case CatalogQueryEntry::kNone:
      if (query.id == CatalogQuery::kSchemas) p = f.schemas;
      break;
    case CatalogQueryEntry::kTables:
      p = f.tableParameters();
      break;
    case CatalogQueryEntry::kColumns:
      p = f.columnParameters();
      break;
    case CatalogQueryEntry::kColumnsTwice:
      repeat(f.columnParameters(), 2);
      break;
    case CatalogQueryEntry::kTablesThrice:
      repeat(f.tableParameters(), 3);
      break;
  }
  return p;
}

std::string Quoted(const std::string& name) {
  std::string out = "[";
  for (char c : name) out += c == ']' ? std::string("]]") : std::string(1, c);
  return out + "]";
}

}  // namespace

std::string_view CatalogQueryName(CatalogQuery query) {
  if (query == CatalogQuery::kScan) return "values of the shrinking columns";
  return Lookup(query).name;
}

const std::string& CatalogQueryText(CatalogQuery query) {
  static const std::string none;
  if (query == CatalogQuery::kScan) return none;
  return Lookup(query).text;
}

std::vector<std::string> CatalogQueryParameters(CatalogQuery query) {
  if (query == CatalogQuery::kScan) return {};
  return ParametersOf(Lookup(query));
}

std::string ScanQueryText(const std::vector<TargetColumn>& columns) {
  std::string text;
  for (const TargetColumn& t : columns) {
    const std::string value = "DATALENGTH(CONVERT(nvarchar(max), " + Quoted(t.column) + "))";
    if (!text.empty()) text += " UNION ALL ";
    text += "SELECT ? AS target, COUNT_BIG(*) AS over_limit, MAX(" + value +
            ") / 2 AS longest FROM " + Quoted(t.schema) + "." + Quoted(t.table) + " WHERE " +
            value + " > " + std::to_string(2 * kTargetLength);
  }
  return text;
}

}  // namespace kivo
