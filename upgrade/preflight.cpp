#include "upgrade/preflight.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <set>

#include "upgrade/upgrade_batches.h"

namespace kivo {
namespace {

// ---------------------------------------------------------------------------------------------
// Targets

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Identifiers compare as the catalog's case-insensitive collation compares them.
std::string Key(std::string_view schema, std::string_view table, std::string_view column = {}) {
  std::string key = Lower(schema) + "." + Lower(table);
  if (!column.empty()) key += "." + Lower(column);
  return key;
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == ';') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

std::pair<std::string, std::string> SplitName(const std::string& qualified) {
  const std::size_t dot = qualified.find('.');
  return {qualified.substr(0, dot), qualified.substr(dot + 1)};
}

std::vector<TargetColumn> ReadTargets() {
  std::vector<TargetColumn> targets;
  for (const UpgradeBatch& batch : UpgradeBatches()) {
    // The history statement copies "... INTO history FROM base;".
    std::string historyTable;
    std::string historyBase;
    if (batch.history) {
      const std::vector<std::string> words = Words(batch.history->statement);
      for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        if (Lower(words[i]) == "into") historyTable = Lower(words[i + 1]);
        if (Lower(words[i]) == "from") historyBase = words[i + 1];
      }
    }
    // "ALTER TABLE schema.table ALTER COLUMN column nvarchar(250)"
    for (const std::string& statement : batch.statements) {
      const std::vector<std::string> words = Words(statement);
      if (words.size() < 6) continue;
      const auto [schema, table] = SplitName(words[2]);
      TargetColumn target{schema, table, words[5], {}};
      if (Lower(words[2]) == historyTable) target.historyBase = historyBase;
      targets.push_back(std::move(target));
    }
  }
  return targets;
}

// Distinct values in first-seen order, compared without case.
std::vector<std::string> Distinct(const std::vector<TargetColumn>& targets,
                                  std::string TargetColumn::*member) {
  std::vector<std::string> values;
  std::set<std::string> seen;
  for (const TargetColumn& t : targets) {
    if (seen.insert(Lower(t.*member)).second) values.push_back(t.*member);
  }
  return values;
}

// ---------------------------------------------------------------------------------------------
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

struct QuerySpec {
  CatalogQuery id;
  std::string_view name;
  std::string text;
  enum { kNone, kTables, kColumns, kColumnsTwice, kTablesThrice } parameters;
};

std::vector<QuerySpec> MakeQueries() {
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
       QuerySpec::kNone},
      {CatalogQuery::kSchemas, "schemas",
       "SELECT s.name, HAS_PERMS_BY_NAME(QUOTENAME(s.name), N'SCHEMA', N'ALTER') AS can_alter "
       "FROM sys.schemas AS s WHERE s.name IN " +
           Markers(f.schemas.size()),
       QuerySpec::kNone},
      {CatalogQuery::kTables, "tables",
       "SELECT s.name, t.name, t.is_replicated, t.is_merge_published, ds.type AS "
       "data_space_type, p.partition_number, p.rows, HAS_PERMS_BY_NAME(" +
           perms + "ALTER') AS can_alter, HAS_PERMS_BY_NAME(" + perms +
           "SELECT') AS can_select FROM sys.tables AS t" + schemaScope +
           " JOIN sys.indexes AS i ON i.object_id = t.object_id"
           " JOIN sys.data_spaces AS ds ON ds.data_space_id = i.data_space_id"
           " JOIN sys.partitions AS p ON p.object_id = i.object_id AND p.index_id = i.index_id" +
           f.tables_where() + " AND i.index_id IN (0, 1)",
       QuerySpec::kTables},
      {CatalogQuery::kColumns, "columns",
       "SELECT s.name, t.name, c.name, ty.name AS type_name, bt.name AS base_type, c.max_length, "
       "c.is_nullable, c.collation_name, c.is_computed FROM sys.columns AS c" +
           tableScope + "c.object_id" + schemaScope +
           " JOIN sys.types AS ty ON ty.user_type_id = c.user_type_id"
           " JOIN sys.types AS bt ON bt.user_type_id = c.system_type_id" +
           f.tables_where() + " AND c.name IN " + Markers(f.columns.size()),
       QuerySpec::kColumns},
      {CatalogQuery::kIndexes, "indexes",
       "SELECT s.name, t.name, c.name, i.name, i.type_desc, i.is_primary_key, "
       "i.is_unique_constraint, ic.is_included_column FROM sys.index_columns AS ic "
       "JOIN sys.indexes AS i ON i.object_id = ic.object_id AND i.index_id = ic.index_id" +
           f.columns_of("ic.object_id", "ic.column_id"),
       QuerySpec::kColumns},
      {CatalogQuery::kForeignKeys, "foreign keys",
       fk("referencing", "parent", "referenced") + " UNION ALL " +
           fk("referenced", "referenced", "parent"),
       QuerySpec::kColumnsTwice},
      {CatalogQuery::kConstraints, "constraints and computed columns",
       constraint("CHECK", "check_constraints") + " UNION ALL " +
           constraint("DEFAULT", "default_constraints") +
           " UNION ALL SELECT s.name, t.name, x.name, N'COMPUTED' AS kind, x.name, x.definition "
           "FROM sys.computed_columns AS x" +
           tableScope + "x.object_id" + schemaScope + f.tables_where(),
       QuerySpec::kTablesThrice},
      {CatalogQuery::kDependencies, "dependencies",
       "SELECT s.name, t.name, c.name, OBJECT_SCHEMA_NAME(d.referencing_id) + N'.' + "
       "OBJECT_NAME(d.referencing_id) AS referencing, o.type_desc, d.is_schema_bound_reference "
       "FROM sys.sql_expression_dependencies AS d "
       "LEFT JOIN sys.objects AS o ON o.object_id = d.referencing_id" +
           f.columns_of("d.referenced_id", "d.referenced_minor_id"),
       QuerySpec::kColumns},
      {CatalogQuery::kStatistics, "statistics",
       "SELECT s.name, t.name, c.name, st.name FROM sys.stats_columns AS sc "
       "JOIN sys.stats AS st ON st.object_id = sc.object_id AND st.stats_id = sc.stats_id" +
           f.columns_of("sc.object_id", "sc.column_id") + " AND st.user_created = 1",
       QuerySpec::kColumns},
      {CatalogQuery::kFullText, "full-text indexes",
       "SELECT s.name, t.name, c.name FROM sys.fulltext_index_columns AS fc" +
           f.columns_of("fc.object_id", "fc.column_id"),
       QuerySpec::kColumns},
      {CatalogQuery::kTableKinds, "table kinds",
       "SELECT s.name, t.name, t.temporal_type_desc, t.is_memory_optimized FROM sys.tables AS t" +
           schemaScope + f.tables_where(),
       QuerySpec::kTables},
  };
}

const std::vector<QuerySpec>& Queries() {
  static const std::vector<QuerySpec> queries = MakeQueries();
  return queries;
}

const QuerySpec& Spec(CatalogQuery id) {
  const auto& all = Queries();
  return *std::find_if(all.begin(), all.end(), [id](const QuerySpec& q) { return q.id == id; });
}

std::vector<std::string> ParametersOf(const QuerySpec& spec) {
  const Filters& f = TheFilters();
  std::vector<std::string> p;
  auto repeat = [&p](const std::vector<std::string>& part, int times) {
    for (int i = 0; i < times; ++i) p.insert(p.end(), part.begin(), part.end());
  };
  switch (spec.parameters) {
    case QuerySpec::kNone:
      if (spec.id == CatalogQuery::kSchemas) p = f.schemas;
      break;
    case QuerySpec::kTables:
      p = f.tableParameters();
      break;
    case QuerySpec::kColumns:
      p = f.columnParameters();
      break;
    case QuerySpec::kColumnsTwice:
      repeat(f.columnParameters(), 2);
      break;
    case QuerySpec::kTablesThrice:
      repeat(f.tableParameters(), 3);
      break;
  }
  return p;
}

// ---------------------------------------------------------------------------------------------
// What the rows say

using Row = std::vector<std::optional<std::string>>;

std::string Text(const Row& row, std::size_t i) {
  return i < row.size() && row[i] ? *row[i] : std::string();
}

std::optional<long long> Number(const Row& row, std::size_t i) {
  if (i >= row.size() || !row[i]) return std::nullopt;
  long long value = 0;
  const std::string& text = *row[i];
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A bit column: true, false, or not known (NULL: HAS_PERMS_BY_NAME could not tell).
std::optional<bool> Flag(const Row& row, std::size_t i) {
  const auto n = Number(row, i);
  if (!n) return std::nullopt;
  return *n != 0;
}

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

// Whether a definition uses a column, by its text: [name] or the name as a whole word.
bool Mentions(const std::string& definition, const std::string& column) {
  const std::string text = Lower(definition);
  const std::string name = Lower(column);
  if (text.find("[" + name + "]") != std::string::npos) return true;
  auto isWordChar = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '@' || c == '#' ||
           c == '$' || static_cast<unsigned char>(c) >= 0x80;
  };
  for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    const bool before = at == 0 || !isWordChar(text[at - 1]);
    const std::size_t after = at + name.size();
    if (before && (after >= text.size() || !isWordChar(text[after]))) return true;
  }
  return false;
}

enum class Change { kNone, kWiden, kShrink, kTypeChange, kImpossible };

struct Classified {
  Change change = Change::kNone;
  bool mayTruncate = false;  // the old type holds values longer than the target
  std::string from;          // "varchar(50)"
};

Classified Classify(const ColumnFacts& c) {
  Classified k;
  const std::string base = Lower(c.baseType);
  const bool wide = base == "nvarchar" || base == "nchar";
  const bool character = wide || base == "varchar" || base == "char";
  const long long chars = c.maxLength < 0 ? -1 : (wide ? c.maxLength / 2 : c.maxLength);
  k.from = base;
  if (character) k.from += "(" + (chars < 0 ? std::string("max") : std::to_string(chars)) + ")";
  if (base == "text" || base == "ntext" || base == "image") {
    k.change = Change::kImpossible;
    return k;
  }
  k.mayTruncate = character && (chars < 0 || chars > kTargetLength);
  if (base == "nvarchar") {
    k.change =
        k.mayTruncate ? Change::kShrink : (chars == kTargetLength ? Change::kNone : Change::kWiden);
  } else {
    k.change = Change::kTypeChange;
  }
  return k;
}

class Check {
 public:
  Check(DatabaseClient& client, const PreflightOptions& options)
      : client_(client), options_(options) {}

  PreflightReport operator()() {
    readServer();
    readSchemas();
    readTables();
    readColumns();
    readIndexes();
    readForeignKeys();
    readDefinitions();
    readDependencies();
    readStatistics();
    readFullText();
    if (major_ >= 13) readTableKinds();
    if (options_.scanData) scan();
    derive();
    return std::move(report_);
  }

 private:
  // ---- reading

  std::optional<QueryResult> send(CatalogQuery id, const std::string& text,
                                  const std::vector<std::string>& parameters) {
    ++report_.roundTrips;
    QueryResult result = client_.query(text, parameters);
    if (result.error) {
      unknown_.insert(id);
      Finding& f = add(FindingLevel::kUnknown, "unreadable", {}, {},
                       "could not read the " + std::string(CatalogQueryName(id)) +
                           " the check needs: " + result.error->description());
      f.facts.emplace_back("query", std::string(CatalogQueryName(id)));
      f.facts.emplace_back("error", std::to_string(result.error->number()));
      return std::nullopt;
    }
    return result;
  }

  std::optional<QueryResult> send(CatalogQuery id) {
    const QuerySpec& spec = Spec(id);
    return send(id, spec.text, ParametersOf(spec));
  }

  void readServer() {
    const auto r = send(CatalogQuery::kServer);
    if (!r || r->rows.empty()) return;
    const Row& row = r->rows.front();
    report_.serverVersion = Text(row, 0);
    report_.database = Text(row, 1);
    state_ = Text(row, 2);
    access_ = Text(row, 3);
    readOnly_ = Flag(row, 4).value_or(false);
    collation_ = Text(row, 5);
    canCreateTable_ = Flag(row, 6);
    const std::string& v = report_.serverVersion;
    std::from_chars(v.data(), v.data() + v.size(), major_);
    serverRead_ = true;
  }

  void readSchemas() {
    const auto r = send(CatalogQuery::kSchemas);
    if (!r) return;
    for (const Row& row : r->rows) schemaCanAlter_[Lower(Text(row, 0))] = Flag(row, 1);
  }

  void readTables() {
    const auto r = send(CatalogQuery::kTables);
    if (!r) return;
    for (const Row& row : r->rows) {
      TableFacts& t = tables_[Key(Text(row, 0), Text(row, 1))];
      t.replicated = Flag(row, 2).value_or(false) || Flag(row, 3).value_or(false);
      t.partitioned = t.partitioned || Text(row, 4) == "PS" || Number(row, 5).value_or(1) > 1;
      t.rows += Number(row, 6).value_or(0);
      t.canAlter = Flag(row, 7);
      t.canSelect = Flag(row, 8);
    }
  }

  void readColumns() {
    const auto r = send(CatalogQuery::kColumns);
    if (!r) return;
    for (const Row& row : r->rows) {
      ColumnFacts& c = columns_[Key(Text(row, 0), Text(row, 1), Text(row, 2))];
      c.typeName = Text(row, 3);
      c.baseType = Text(row, 4);
      c.maxLength = Number(row, 5).value_or(0);
      c.nullable = Flag(row, 6).value_or(true);
      c.collation = Text(row, 7);
      c.computed = Flag(row, 8).value_or(false);
    }
  }

  void readIndexes() {
    const auto r = send(CatalogQuery::kIndexes);
    if (!r) return;
    for (const Row& row : r->rows) {
      const bool pk = Flag(row, 5).value_or(false);
      const bool unique = Flag(row, 6).value_or(false);
      const bool included = Flag(row, 7).value_or(false);
      std::string detail = Lower(Text(row, 4));
      if (unique) detail += ", unique constraint";
      if (included) detail += ", included column";
      dependencies_[Key(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {pk ? "primary-key" : "index", Text(row, 3), detail, false});
    }
  }

  void readForeignKeys() {
    const auto r = send(CatalogQuery::kForeignKeys);
    if (!r) return;
    for (const Row& row : r->rows) {
      dependencies_[Key(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"foreign-key", Text(row, 3), Text(row, 4) + " " + Text(row, 5), false});
    }
  }

  void readDefinitions() {
    const auto r = send(CatalogQuery::kConstraints);
    if (!r) return;
    for (const Row& row : r->rows) {
      definitions_[Key(Text(row, 0), Text(row, 1))].push_back(
          {Text(row, 3), Text(row, 4), Text(row, 2), Text(row, 5)});
    }
  }

  void readDependencies() {
    const auto r = send(CatalogQuery::kDependencies);
    if (!r) return;
    for (const Row& row : r->rows) {
      dependencies_[Key(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"dependent", Text(row, 3), Lower(Text(row, 4)), Flag(row, 5).value_or(false)});
    }
  }

  void readStatistics() {
    const auto r = send(CatalogQuery::kStatistics);
    if (!r) return;
    for (const Row& row : r->rows) {
      dependencies_[Key(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"statistics", Text(row, 3), "created by CREATE STATISTICS", false});
    }
  }

  void readFullText() {
    const auto r = send(CatalogQuery::kFullText);
    if (!r) return;
    for (const Row& row : r->rows) {
      dependencies_[Key(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"full-text", "full-text index", {}, false});
    }
  }

  void readTableKinds() {
    const auto r = send(CatalogQuery::kTableKinds);
    if (!r) return;
    for (const Row& row : r->rows) {
      TableFacts& t = tables_[Key(Text(row, 0), Text(row, 1))];
      t.temporal = Text(row, 2);
      t.memoryOptimized = Flag(row, 3).value_or(false);
    }
  }

  // Counts, in one query, the values that a shrink would not hold. The tables and columns are
  // the batches' own names, quoted; only the label that comes back is a parameter.
  void scan() {
    std::string text;
    std::vector<std::string> labels;
    for (const TargetColumn& t : TargetColumns()) {
      const auto column = columns_.find(Key(t.schema, t.table, t.column));
      const auto table = tables_.find(Key(t.schema, t.table));
      if (column == columns_.end() || table == tables_.end()) continue;
      if (!Classify(column->second).mayTruncate || table->second.canSelect == false) continue;
      const std::string value = "DATALENGTH(CONVERT(nvarchar(max), " + Quoted(t.column) + "))";
      if (!text.empty()) text += " UNION ALL ";
      text += "SELECT ? AS target, COUNT_BIG(*) AS over_limit, MAX(" + value +
              ") / 2 AS longest FROM " + Quoted(t.schema) + "." + Quoted(t.table) + " WHERE " +
              value + " > " + std::to_string(2 * kTargetLength);
      labels.push_back(Key(t.schema, t.table, t.column));
    }
    if (text.empty()) return;
    const auto r = send(CatalogQuery::kScan, text, labels);
    if (!r) return;
    for (const Row& row : r->rows) {
      scans_[Lower(Text(row, 0))] = {Number(row, 1).value_or(0), Number(row, 2)};
    }
  }

  static std::string Quoted(const std::string& name) {
    std::string out = "[";
    for (char c : name) out += c == ']' ? std::string("]]") : std::string(1, c);
    return out + "]";
  }

  // ---- rules

  Finding& add(FindingLevel level, std::string kind, std::string table, std::string column,
               std::string message) {
    Finding& f = report_.findings.emplace_back();
    f.level = level;
    f.kind = std::move(kind);
    f.table = std::move(table);
    f.column = std::move(column);
    f.message = std::move(message);
    return f;
  }

  bool known(CatalogQuery id) const { return !unknown_.contains(id); }

  void derive() {
    deriveServer();
    std::set<std::string> seen;
    for (const TargetColumn& t : TargetColumns()) {
      if (seen.insert(Key(t.schema, t.table)).second) deriveTable(t);
      deriveColumn(t);
    }
  }

  void deriveServer() {
    if (!serverRead_) return;
    Finding& f = add(FindingLevel::kInfo, "server", {}, {},
                     "SQL Server " + report_.serverVersion + ", database " + report_.database +
                         " (" + state_ + ", " + access_ + (readOnly_ ? ", read-only" : "") +
                         ", collation " + collation_ + ")");
    f.facts = {{"version", report_.serverVersion}, {"state", state_}, {"access", access_}};
    if (major_ < 10) {
      add(FindingLevel::kWarn, "server-version", {}, {},
          "the server is older than SQL Server 2008 R2: the check may not read what it needs");
    }
    if (state_ != "ONLINE") {
      add(FindingLevel::kBlocker, "database-state", {}, {},
          "the database is " + state_ + ": nothing can be altered");
    }
    if (readOnly_) {
      add(FindingLevel::kBlocker, "database-read-only", {}, {},
          "the database is read-only: nothing can be altered");
    }
    if (access_ == "SINGLE_USER") {
      add(FindingLevel::kBlocker, "database-single-user", {}, {},
          "the database is in single-user mode: the upgrade's connection may be refused");
    } else if (access_ == "RESTRICTED_USER") {
      add(FindingLevel::kWarn, "database-restricted", {}, {},
          "the database is in restricted-user mode: only db_owner, dbcreator and sysadmin "
          "members may connect");
    }
  }

  void deriveTable(const TargetColumn& target) {
    const std::string name = target.schema + "." + target.table;
    if (!known(CatalogQuery::kTables)) return;
    const auto it = tables_.find(Key(target.schema, target.table));
    if (it == tables_.end()) {
      if (target.historyBase.empty()) {
        add(FindingLevel::kWarn, "table-missing", name, {},
            "the table does not exist: the run reports it missing and alters none of its "
            "columns");
        return;
      }
      const auto [baseSchema, baseTable] = SplitName(target.historyBase);
      if (!tables_.contains(Key(baseSchema, baseTable))) {
        add(FindingLevel::kWarn, "table-missing", name, {},
            "neither the history table nor its base " + target.historyBase +
                " exists: the run reports this part of the schema missing");
        return;
      }
      add(FindingLevel::kInfo, "history-missing", name, {},
          "the history table does not exist: the run creates it as a copy of " +
              target.historyBase + " with ChangeU and ChangeD, after altering the base")
          .facts.emplace_back("base", target.historyBase);
      const auto schema = schemaCanAlter_.find(Lower(target.schema));
      const std::optional<bool> canSchema =
          schema == schemaCanAlter_.end() ? std::nullopt : schema->second;
      if (canCreateTable_ == false || canSchema == false) {
        add(FindingLevel::kBlocker, "history-permission", name, {},
            "the login may not create the history table: it needs CREATE TABLE on the "
            "database and ALTER on schema " +
                target.schema);
      } else if (!canCreateTable_ || !canSchema) {
        add(FindingLevel::kUnknown, "history-permission", name, {},
            "could not tell whether the login may create the history table (CREATE TABLE on "
            "the database, ALTER on schema " +
                target.schema + ")");
      }
      return;
    }
    const TableFacts& t = it->second;
    if (!target.historyBase.empty()) {
      add(FindingLevel::kInfo, "history-present", name, {},
          "the history table exists: its columns are altered like its base's");
    }
    if (t.canAlter == false) {
      add(FindingLevel::kBlocker, "alter-permission", name, {},
          "the login has no ALTER permission on the table: every ALTER of it fails (4902)");
    } else if (!t.canAlter) {
      add(FindingLevel::kUnknown, "alter-permission", name, {},
          "could not tell whether the login may alter the table");
    }
    if (t.replicated) {
      add(FindingLevel::kWarn, "replication", name, {},
          "the table is published for replication: the change propagates to the subscribers");
    }
    if (t.temporal == "SYSTEM_VERSIONED_TEMPORAL_TABLE") {
      add(FindingLevel::kInfo, "system-versioned", name, {},
          "the table is system-versioned: the change reaches its period history table too");
    }
    if (t.memoryOptimized) {
      add(FindingLevel::kWarn, "memory-optimized", name, {},
          "the table is memory-optimized: ALTER TABLE rebuilds it offline");
    }
  }

  void deriveColumn(const TargetColumn& target) {
    const std::string table = target.schema + "." + target.table;
    const auto tableIt = tables_.find(Key(target.schema, target.table));
    if (!known(CatalogQuery::kTables) || tableIt == tables_.end()) return;
    if (!known(CatalogQuery::kColumns)) return;
    const TableFacts& t = tableIt->second;
    const std::string key = Key(target.schema, target.table, target.column);
    const auto it = columns_.find(key);
    auto add = [&](FindingLevel level, std::string kind, std::string message) -> Finding& {
      return this->add(level, std::move(kind), table, target.column, std::move(message));
    };
    if (it == columns_.end()) {
      add(FindingLevel::kBlocker, "column-missing",
          "the column does not exist: its ALTER fails (4924)");
      return;
    }
    const ColumnFacts& c = it->second;
    const Classified k = Classify(c);
    const std::string to = " to " + std::string(kTargetType);
    const std::string rows = std::to_string(t.rows);
    const bool character = !c.collation.empty();
    const bool collationChanges = character && Lower(c.collation) != Lower(collation_);
    const bool rewrite = k.change == Change::kTypeChange;
    const bool resize = rewrite || k.change == Change::kShrink;

    Finding* type = nullptr;
    if (c.computed) {
      type = &add(FindingLevel::kBlocker, "computed",
                  "the column is computed: a computed column cannot be altered");
    } else {
      switch (k.change) {
        case Change::kNone:
          type = &add(FindingLevel::kInfo, "no-change",
                      "already " + std::string(kTargetType) + ": the type does not change");
          break;
        case Change::kWiden:
          type = &add(FindingLevel::kInfo, "widening", k.from + to + ": a widening, metadata only");
          break;
        case Change::kShrink:
          type = &add(FindingLevel::kWarn, "shrink",
                      k.from + to + ": a shrink; it fails if a value is longer than " +
                          std::to_string(kTargetLength) + " characters" +
                          (options_.scanData ? "" : " (check --scan-data counts them)"));
          break;
        case Change::kTypeChange:
          type = &add(FindingLevel::kWarn, "type-change",
                      k.from + to + ": a type change; every row (" + rows +
                          ") is rewritten under a schema-modification lock");
          break;
        case Change::kImpossible:
          type = &add(FindingLevel::kBlocker, "type-not-alterable",
                      k.from + " cannot be altered" + to +
                          " (text, ntext and image allow only a few target types)");
          break;
      }
    }
    type->facts = {{"type", c.typeName},
                   {"maxLength", std::to_string(c.maxLength)},
                   {"nullable", c.nullable ? "true" : "false"},
                   {"collation", c.collation},
                   {"rows", rows}};
    if (Lower(c.typeName) != Lower(c.baseType)) {
      add(FindingLevel::kInfo, "alias-type",
          "the column has the alias type " + c.typeName + ", which becomes " +
              std::string(kTargetType));
    }
    if (!c.nullable) {
      add(FindingLevel::kWarn, "not-null-lost",
          "the column is NOT NULL: the statement names neither NULL nor NOT NULL, so it "
          "becomes nullable");
    }
    if (collationChanges) {
      add(FindingLevel::kWarn, "collation-change",
          "collation " + c.collation + " becomes the database default " + collation_);
    }
    if (rewrite && t.partitioned) {
      add(FindingLevel::kBlocker, "partitioned",
          "the table is partitioned: the data type of its columns cannot be changed");
    }

    // What uses the column. A change of collation is refused where anything does.
    const std::string why = collationChanges ? "the collation changes" : "the type changes";
    if (const auto deps = dependencies_.find(key); deps != dependencies_.end()) {
      for (const Dependency& d : deps->second) {
        const std::string what = d.kind == "dependent" ? d.detail + " " + d.name : d.name;
        if (d.kind == "primary-key") {
          add(FindingLevel::kBlocker, d.kind,
              "primary key " + d.name + ": a key column cannot be altered (5074, 4922)");
        } else if (d.kind == "foreign-key") {
          add(FindingLevel::kBlocker, d.kind,
              "foreign key " + d.name + " (" + d.detail +
                  "): a column in a FOREIGN KEY cannot be altered (5074, 4922)");
        } else if (d.kind == "full-text") {
          add(FindingLevel::kBlocker, d.kind,
              "the column is in a full-text index: it cannot be altered (7614)");
        } else if (d.kind == "dependent" && d.schemaBound) {
          add(FindingLevel::kBlocker, "schema-bound",
              "schema-bound " + what + " uses the column: it cannot be altered (5074, 4922)");
        } else if (d.kind == "dependent") {
          add(FindingLevel::kInfo, d.kind, what + " uses the column; it may need a recompile");
        } else if (resize || collationChanges) {
          add(FindingLevel::kBlocker, d.kind,
              d.kind + " " + d.name + " uses the column and " +
                  (collationChanges && !resize ? why : std::string("the type or size changes")) +
                  ": the ALTER fails (5074, 4922)");
        } else {
          add(FindingLevel::kInfo, d.kind,
              d.kind + " " + d.name + " uses the column; a widening is allowed");
        }
      }
    }
    if (const auto defs = definitions_.find(Key(target.schema, target.table));
        defs != definitions_.end()) {
      for (const Definition& d : defs->second) {
        const bool own = !d.column.empty() && Lower(d.column) == Lower(target.column);
        if (d.kind == "COMPUTED") {
          if (!own && Mentions(d.text, target.column)) {
            add(FindingLevel::kBlocker, "computed-column",
                "computed column " + d.name + " uses the column (by its definition " + d.text +
                    "): it cannot be altered");
          }
        } else if (d.kind == "DEFAULT") {
          if (own) {
            add(rewrite ? FindingLevel::kBlocker : FindingLevel::kInfo, "default",
                "DEFAULT " + d.name + " " + d.text +
                    (rewrite ? ": the data type of a column with a default cannot change"
                             : ": its length may change"));
          }
        } else if (own || (d.column.empty() && Mentions(d.text, target.column))) {
          const bool blocks = rewrite || collationChanges;
          add(blocks ? FindingLevel::kBlocker : FindingLevel::kInfo, "check",
              std::string(own ? "" : "table-level ") + "CHECK " + d.name + " " + d.text +
                  (own ? "" : " (matched by its text)") +
                  (blocks ? ": the ALTER fails while it uses the column"
                          : ": a change of length is allowed"));
        }
      }
    }
    if (k.mayTruncate && options_.scanData && !c.computed) {
      if (t.canSelect == false) {
        add(FindingLevel::kUnknown, "scan",
            "the login may not read the table, so the values were not counted");
      } else if (const auto s = scans_.find(key); s != scans_.end()) {
        Finding& f =
            s->second.overLimit > 0
                ? add(FindingLevel::kBlocker, "too-long-values",
                      std::to_string(s->second.overLimit) + " values are longer than " +
                          std::to_string(kTargetLength) + " UTF-16 units: the ALTER fails (8152)")
                : add(FindingLevel::kInfo, "values-fit",
                      "every value fits in " + std::to_string(kTargetLength) + " UTF-16 units");
        f.facts.emplace_back("overLimit", std::to_string(s->second.overLimit));
        if (s->second.longest) f.facts.emplace_back("longest", std::to_string(*s->second.longest));
      }
    }
  }

  DatabaseClient& client_;
  const PreflightOptions& options_;
  PreflightReport report_;
  std::set<CatalogQuery> unknown_;
  bool serverRead_ = false;
  int major_ = 0;
  std::string state_;
  std::string access_;
  bool readOnly_ = false;
  std::string collation_;
  std::optional<bool> canCreateTable_;
  std::map<std::string, std::optional<bool>> schemaCanAlter_;
  std::map<std::string, TableFacts> tables_;
  std::map<std::string, ColumnFacts> columns_;
  std::map<std::string, std::vector<Dependency>> dependencies_;
  std::map<std::string, std::vector<Definition>> definitions_;
  std::map<std::string, ScanResult> scans_;
};

}  // namespace

std::string_view LevelName(FindingLevel level) {
  switch (level) {
    case FindingLevel::kBlocker:
      return "BLOCKER";
    case FindingLevel::kWarn:
      return "WARN";
    case FindingLevel::kInfo:
      return "INFO";
    case FindingLevel::kUnknown:
      return "UNKNOWN";
  }
  return "UNKNOWN";
}

const std::vector<TargetColumn>& TargetColumns() {
  static const std::vector<TargetColumn> targets = ReadTargets();
  return targets;
}

int PreflightReport::count(FindingLevel level) const {
  return static_cast<int>(std::count_if(findings.begin(), findings.end(),
                                        [level](const Finding& f) { return f.level == level; }));
}

bool PreflightReport::passed(bool strict) const {
  return count(FindingLevel::kBlocker) == 0 && count(FindingLevel::kUnknown) == 0 &&
         (!strict || count(FindingLevel::kWarn) == 0);
}

std::string_view CatalogQueryName(CatalogQuery query) {
  if (query == CatalogQuery::kScan) return "values of the shrinking columns";
  return Spec(query).name;
}

const std::string& CatalogQueryText(CatalogQuery query) {
  static const std::string none;
  if (query == CatalogQuery::kScan) return none;
  return Spec(query).text;
}

PreflightReport RunPreflight(DatabaseClient& client, const PreflightOptions& options) {
  return Check(client, options)();
}

std::string FindingLine(const Finding& finding) {
  std::string where = finding.table;
  if (!finding.column.empty()) where += "." + finding.column;
  if (where.empty()) where = "(server)";
  std::string line(LevelName(finding.level));
  line.resize(8, ' ');
  return line + where + ": " + finding.message;
}

}  // namespace kivo
