#include "upgrade/preflight/preflight.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "base/ascii.h"
#include "base/visible_text.h"
#include "upgrade/preflight/preflight_rules.h"

namespace kivo {
namespace {

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
    if (facts_.major >= 13) readTableKinds();
    if (options_.scanData) scan();
    DeriveFindings(facts_, options_, report_);
    return std::move(report_);
  }

 private:
  std::optional<QueryResult> send(CatalogQuery id, const std::string& text,
                                  const std::vector<std::string>& parameters) {
    ++report_.roundTrips;
    QueryResult result = client_.query(text, parameters);
    if (result.error) {
      facts_.unknown.insert(id);
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
    return send(id, CatalogQueryText(id), CatalogQueryParameters(id));
  }

  void readServer() {
    const auto r = send(CatalogQuery::kServer);
    if (!r || r->rows.empty()) return;
    const Row& row = r->rows.front();
    report_.serverVersion = Text(row, 0);
    report_.database = Text(row, 1);
    facts_.state = Text(row, 2);
    facts_.access = Text(row, 3);
    facts_.readOnly = Flag(row, 4).value_or(false);
    facts_.collation = Text(row, 5);
    facts_.canCreateTable = Flag(row, 6);
    const std::string& v = report_.serverVersion;
    std::from_chars(v.data(), v.data() + v.size(), facts_.major);
    facts_.serverRead = true;
  }

  void readSchemas() {
    const auto r = send(CatalogQuery::kSchemas);
    if (!r) return;
    for (const Row& row : r->rows) facts_.schemaCanAlter[LowerAscii(Text(row, 0))] = Flag(row, 1);
  }

  void readTables() {
    const auto r = send(CatalogQuery::kTables);
    if (!r) return;
    for (const Row& row : r->rows) {
      TableFacts& t = facts_.tables[CatalogKey(Text(row, 0), Text(row, 1))];
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
      ColumnFacts& c = facts_.columns[CatalogKey(Text(row, 0), Text(row, 1), Text(row, 2))];
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
      std::string detail = LowerAscii(Text(row, 4));
      if (unique) detail += ", unique constraint";
      if (included) detail += ", included column";
      facts_.dependencies[CatalogKey(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {pk ? "primary-key" : "index", Text(row, 3), detail, false});
    }
  }

  void readForeignKeys() {
    const auto r = send(CatalogQuery::kForeignKeys);
    if (!r) return;
    for (const Row& row : r->rows) {
      facts_.dependencies[CatalogKey(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"foreign-key", Text(row, 3), Text(row, 4) + " " + Text(row, 5), false});
    }
  }

  void readDefinitions() {
    const auto r = send(CatalogQuery::kConstraints);
    if (!r) return;
    for (const Row& row : r->rows) {
      facts_.definitions[CatalogKey(Text(row, 0), Text(row, 1))].push_back(
          {Text(row, 3), Text(row, 4), Text(row, 2), Text(row, 5)});
    }
  }

  void readDependencies() {
    const auto r = send(CatalogQuery::kDependencies);
    if (!r) return;
    for (const Row& row : r->rows) {
      facts_.dependencies[CatalogKey(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"dependent", Text(row, 3), LowerAscii(Text(row, 4)), Flag(row, 5).value_or(false)});
    }
  }

  void readStatistics() {
    const auto r = send(CatalogQuery::kStatistics);
    if (!r) return;
    for (const Row& row : r->rows) {
      facts_.dependencies[CatalogKey(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"statistics", Text(row, 3), "created by CREATE STATISTICS", false});
    }
  }

  void readFullText() {
    const auto r = send(CatalogQuery::kFullText);
    if (!r) return;
    for (const Row& row : r->rows) {
      facts_.dependencies[CatalogKey(Text(row, 0), Text(row, 1), Text(row, 2))].push_back(
          {"full-text", "full-text index", {}, false});
    }
  }

  void readTableKinds() {
    const auto r = send(CatalogQuery::kTableKinds);
    if (!r) return;
    for (const Row& row : r->rows) {
      TableFacts& t = facts_.tables[CatalogKey(Text(row, 0), Text(row, 1))];
      t.temporal = Text(row, 2);
      t.memoryOptimized = Flag(row, 3).value_or(false);
    }
  }

  // Counts, in one query, the values that a shrink would not hold. The tables and columns are
  // the batches' own names, quoted; only the label that comes back is a parameter.
  // Counts the values that a shrink would not hold, for the columns it may happen to.
  void scan() {
    std::vector<TargetColumn> columns;
    std::vector<std::string> labels;
    for (const TargetColumn& t : TargetColumns()) {
      const auto column = facts_.columns.find(CatalogKey(t.schema, t.table, t.column));
      const auto table = facts_.tables.find(CatalogKey(t.schema, t.table));
      if (column == facts_.columns.end() || table == facts_.tables.end()) continue;
      if (!Classify(column->second).mayTruncate || table->second.canSelect == false) continue;
      columns.push_back(t);
      labels.push_back(CatalogKey(t.schema, t.table, t.column));
    }
    if (columns.empty()) return;
    const auto r = send(CatalogQuery::kScan, ScanQueryText(columns), labels);
    if (!r) return;
    for (const Row& row : r->rows) {
      facts_.scans[LowerAscii(Text(row, 0))] = {Number(row, 1).value_or(0), Number(row, 2)};
    }
  }

  Finding& add(FindingLevel level, std::string kind, std::string table, std::string column,
               std::string message) {
    return AddFinding(report_, level, std::move(kind), std::move(table), std::move(column),
                      std::move(message));
  }

  DatabaseClient& client_;
  const PreflightOptions& options_;
  PreflightReport report_;
  CatalogFacts facts_;
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

int PreflightReport::count(FindingLevel level) const {
  return static_cast<int>(std::count_if(findings.begin(), findings.end(),
                                        [level](const Finding& f) { return f.level == level; }));
}

bool PreflightReport::passed(bool strict) const {
  return count(FindingLevel::kBlocker) == 0 && count(FindingLevel::kUnknown) == 0 &&
         (!strict || count(FindingLevel::kWarn) == 0);
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
  // Names and messages come from the catalog: a CR or a bidirectional override in them must
  // not make the line read as another level, in the status box or on a terminal.
  return VisibleText(line + where + ": " + finding.message);
}

}  // namespace kivo
