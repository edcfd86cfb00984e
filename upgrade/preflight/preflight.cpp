#include "upgrade/preflight/preflight.h"

#include <algorithm>
#include <charconv>
#include <limits>
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
    // What hurts a live upgrade is asked only of a server that answered.
    if (facts_.serverRead) {
      readTriggers();
      readSpace();
      readLocks();
      if (facts_.features.replication()) readReplication();
    }
    if (options_.scanData) scan();
    DeriveFindings(facts_, options_, report_);
    return std::move(report_);
  }

 private:
  // Sends a query. A failure becomes an UNKNOWN finding unless `quiet`, for a query whose
  // refusal the rules speak of themselves.
  std::optional<QueryResult> send(CatalogQuery id, const std::string& text,
                                  const std::vector<std::string>& parameters,
                                  std::optional<Error>* refusal = nullptr) {
    ++report_.roundTrips;
    QueryResult result = client_.query(text, parameters);
    if (result.error) {
      if (refusal) {
        *refusal = result.error;
        return std::nullopt;
      }
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

  std::optional<QueryResult> send(CatalogQuery id, std::optional<Error>* refusal = nullptr) {
    return send(id, CatalogQueryText(id, facts_.features),
                CatalogQueryParameters(id, facts_.features), refusal);
  }

  std::string key(const Row& row, bool column = true) const {
    return facts_.key(Text(row, 0), Text(row, 1), column ? Text(row, 2) : std::string());
  }

  void readServer() {
    const auto r = send(CatalogQuery::kServer);
    if (!r || r->rows.empty()) return;
    const Row& row = r->rows.front();
    report_.serverVersion = Text(row, ServerRow::kProductVersion);
    report_.database = Text(row, ServerRow::kDatabaseName);
    facts_.features = ReadServerFeatures(row);
    facts_.state = Text(row, ServerRow::kDatabaseState);
    facts_.access = Text(row, ServerRow::kUserAccess);
    facts_.readOnly = Flag(row, ServerRow::kReadOnly).value_or(false);
    facts_.collation = Text(row, ServerRow::kDatabaseCollation);
    facts_.canCreateTable = Flag(row, ServerRow::kCanCreateTable);
    facts_.canViewDefinition = Flag(row, ServerRow::kCanViewDefinition);
    facts_.ansiWarnings = Flag(row, ServerRow::kAnsiWarnings);
    facts_.updateability = Text(row, ServerRow::kUpdateability);
    facts_.standby = Flag(row, ServerRow::kStandby).value_or(false);
    facts_.serverName = Text(row, ServerRow::kServerName);
    // ComparisonStyle 0 is a binary or fully sensitive collation; bit 1 ignores case.
    if (const auto style = Number(row, ServerRow::kComparisonStyle)) {
      facts_.caseSensitive = (*style & 1) == 0;
    } else {
      const std::string name = "_" + LowerAscii(facts_.collation) + "_";
      facts_.caseSensitive =
          name.find("_cs_") != std::string::npos || name.find("_bin") != std::string::npos;
    }
    facts_.serverRead = true;
  }

  void readSchemas() {
    const auto r = send(CatalogQuery::kSchemas);
    if (!r) return;
    for (const Row& row : r->rows) {
      const std::string schema = facts_.key(Text(row, 0), {});
      facts_.schemaCanAlter[schema] = Flag(row, 1);
      facts_.schemaSeesAll[schema] = Flag(row, 1) == true || Flag(row, 2) == true;
    }
  }

  void readTables() {
    const auto r = send(CatalogQuery::kTables);
    if (!r) return;
    const std::size_t added = HistoryAddedColumns().size();
    for (const Row& row : r->rows) {
      TableFacts& t = facts_.tables[key(row, false)];
      t.name = Text(row, 0) + "." + Text(row, 1);
      t.replicated = Flag(row, 2).value_or(false) || Flag(row, 3).value_or(false);
      t.partitioned = t.partitioned || Text(row, 4) == "PS" || Number(row, 5).value_or(1) > 1;
      // Summed over the partitions: a sum beyond the type stays at its largest value.
      const long long rows = std::max(Number(row, 6).value_or(0), 0LL);
      t.rows = rows > std::numeric_limits<long long>::max() - t.rows
                   ? std::numeric_limits<long long>::max()
                   : t.rows + rows;
      t.canAlter = Flag(row, 7);
      t.canSelect = Flag(row, 8);
      t.syncTranSubscribed = Flag(row, 9).value_or(false);
      t.trackedByCdc = Flag(row, 10).value_or(false);
      t.filegroup = Text(row, 11);
      t.filegroupReadOnly = Flag(row, 12).value_or(false);
      t.hasIdentity = Flag(row, 13).value_or(false);
      t.addedColumnsPresent.clear();
      for (std::size_t i = 0; i < added; ++i) {
        if (Number(row, 14 + i)) t.addedColumnsPresent.push_back(HistoryAddedColumns()[i]);
      }
      const std::size_t at = 14 + added;
      t.canControl = Flag(row, at);
      t.columnstore = Text(row, at + 1);
      t.memoryOptimized = Flag(row, at + 2).value_or(false);
      t.temporalType = static_cast<int>(Number(row, at + 3).value_or(0));
      t.historyTable = Text(row, at + 4);
      t.historyCanControl = Flag(row, at + 5);
      t.ledgerType = static_cast<int>(Number(row, at + 6).value_or(0));
    }
  }

  void readColumns() {
    const auto r = send(CatalogQuery::kColumns);
    if (!r) return;
    for (const Row& row : r->rows) {
      ColumnFacts& c = facts_.columns[key(row)];
      c.typeName = Text(row, 3);
      c.baseType = Text(row, 4);
      c.maxLength = Number(row, 5).value_or(0);
      // A type the login may not see has no name; a length of NULL cannot be classified.
      c.unreadable = !row.at(3) || !Number(row, 5);
      c.nullable = Flag(row, 6).value_or(true);
      c.collation = Text(row, 7);
      c.computed = Flag(row, 8).value_or(false);
      c.identity = Flag(row, 9).value_or(false);
      c.sparse = Flag(row, 10).value_or(false);
      c.columnSet = Flag(row, 11).value_or(false);
      c.rowGuid = Flag(row, 12).value_or(false);
      // A rule or default the login may not see still has its id.
      if (Number(row, 14).value_or(0) != 0) c.rule = Text(row, 13);
      if (Number(row, 16).value_or(0) != 0 && !Number(row, 17)) c.boundDefault = Text(row, 15);
      c.assemblyType = Flag(row, 18).value_or(false);
      c.encrypted = Number(row, 19).has_value();
    }
  }

  void depend(const Row& row, Dependency d) {
    std::vector<Dependency>& list = facts_.dependencies[key(row)];
    for (const Dependency& known : list) {
      if (known.kind == d.kind && known.name == d.name) return;
    }
    list.push_back(std::move(d));
  }

  void readIndexes() {
    const auto r = send(CatalogQuery::kIndexes);
    if (!r) return;
    for (const Row& row : r->rows) {
      if (Number(row, 8).value_or(0) > 0) {
        depend(row, {"partitioning-column", {}, {}, false});  // once, whichever index says it
        continue;
      }
      const bool pk = Flag(row, 5).value_or(false);
      const bool unique = Flag(row, 6).value_or(false);
      const bool included = Flag(row, 7).value_or(false);
      std::string detail = LowerAscii(Text(row, 4));
      if (unique) detail += ", unique constraint";
      if (included) detail += ", included column";
      depend(row, {pk ? "primary-key" : "index", Text(row, 3), detail, false});
    }
  }

  void readForeignKeys() {
    const auto r = send(CatalogQuery::kForeignKeys);
    if (!r) return;
    for (const Row& row : r->rows) {
      depend(row, {"foreign-key", Text(row, 3), Text(row, 4) + " " + Text(row, 5), false});
    }
  }

  void readDefinitions() {
    const auto r = send(CatalogQuery::kConstraints);
    if (!r) return;
    for (const Row& row : r->rows) {
      facts_.definitions[key(row, false)].push_back(
          {Text(row, 3), Text(row, 4), Text(row, 2), Text(row, 5), row.size() > 5 && !row[5]});
    }
  }

  // sys.sql_expression_dependencies where the login may read it; otherwise the schema-bound
  // references, which are the ones that block, from sys.sql_dependencies.
  void readDependencies() {
    const ServerFeatures& f = facts_.features;
    std::optional<QueryResult> r;
    if (f.readsExpressionDependencies != false) {
      std::optional<Error> refusal;
      r = send(CatalogQuery::kDependencies, f.sqlDependencies ? &refusal : nullptr);
    }
    if (!r && f.sqlDependencies && !facts_.unknown.contains(CatalogQuery::kDependencies)) {
      facts_.dependenciesFromReferences = true;
      r = send(CatalogQuery::kSchemaBoundReferences);
    } else if (!r && f.readsExpressionDependencies == false) {
      facts_.unknown.insert(CatalogQuery::kDependencies);
      add(FindingLevel::kUnknown, "unreadable", {}, {},
          "could not read the dependencies the check needs: the login has no VIEW DEFINITION "
          "and SELECT on sys.sql_expression_dependencies, and the server has no "
          "sys.sql_dependencies")
          .facts.emplace_back("query", std::string(CatalogQueryName(CatalogQuery::kDependencies)));
    }
    if (!r) return;
    for (const Row& row : r->rows) {
      depend(row,
             {"dependent", Text(row, 3), LowerAscii(Text(row, 4)), Flag(row, 5).value_or(false)});
    }
  }

  void readStatistics() {
    const auto r = send(CatalogQuery::kStatistics);
    if (!r) return;
    for (const Row& row : r->rows) {
      depend(row, {"statistics", Text(row, 3), "created by CREATE STATISTICS", false});
    }
  }

  void readFullText() {
    const auto r = send(CatalogQuery::kFullText);
    if (!r) return;
    for (const Row& row : r->rows) depend(row, {"full-text", "full-text index", {}, false});
  }

  void readTriggers() {
    const auto r = send(CatalogQuery::kTriggers);
    if (!r) return;
    for (const Row& row : r->rows) {
      if (Flag(row, 2).value_or(false)) continue;  // disabled
      const std::string name = Text(row, 0);
      const std::string scope = Text(row, 3);
      auto it =
          std::find_if(facts_.triggers.begin(), facts_.triggers.end(),
                       [&](const DdlTrigger& t) { return t.name == name && t.scope == scope; });
      if (it == facts_.triggers.end()) it = facts_.triggers.insert(it, {name, scope, {}});
      it->events.insert(Text(row, 1));
    }
  }

  void readSpace() {
    const auto r = send(CatalogQuery::kSpace);
    if (!r) return;
    for (const Row& row : r->rows) {
      if (Text(row, 0) == "log") {
        facts_.logFiles.push_back({Text(row, 2), Number(row, 3).value_or(0),
                                   Number(row, 4).value_or(-1), Number(row, 5).value_or(0),
                                   Flag(row, 6).value_or(false), Number(row, 7)});
      } else if (const auto t = facts_.tables.find(facts_.key(Text(row, 1), Text(row, 2)));
                 t != facts_.tables.end()) {
        t->second.usedPages += Number(row, 3).value_or(0);
      }
    }
  }

  // Without VIEW SERVER STATE the locks are refused, which most logins are: the check still
  // passes, saying it could not look.
  void readLocks() {
    std::optional<Error> refusal;
    const auto r = send(CatalogQuery::kLocks, &refusal);
    if (!r) {
      facts_.locksUnseen = refusal->description();
      return;
    }
    for (const Row& row : r->rows) {
      facts_.locks[key(row, false)].push_back(
          {Text(row, 2), Text(row, 3), Text(row, 4), Text(row, 5), Text(row, 6), Text(row, 7)});
    }
  }

  void readReplication() {
    const auto r = send(CatalogQuery::kReplication);
    if (!r) return;
    for (const Row& row : r->rows) {
      const std::string kind = Text(row, 2);
      if (kind == "subscription") {
        facts_.subscriptions.push_back(Text(row, 3) + " of " + Text(row, 5) + "." + Text(row, 6));
        continue;
      }
      const auto t = facts_.tables.find(key(row, false));
      if (t == facts_.tables.end()) continue;
      Publication p{kind, Text(row, 3), Flag(row, 4), true};
      // A merge publication's rows are in its subscribers' databases too.
      if (kind == "merge") {
        p.local = LowerAscii(Text(row, 5)) == LowerAscii(facts_.serverName) &&
                  LowerAscii(Text(row, 6)) == LowerAscii(report_.database);
      }
      t->second.publications.push_back(std::move(p));
    }
  }

  // Counts, in one query that reads each table once, the values that may not fit.
  void scan() {
    std::vector<ScanTable> tables;
    std::vector<std::string> labels;
    for (const TargetColumn& t : TargetColumns()) {
      const auto column = facts_.columns.find(facts_.key(t.schema, t.table, t.column));
      const auto table = facts_.tables.find(facts_.key(t.schema, t.table));
      if (column == facts_.columns.end() || table == facts_.tables.end()) continue;
      if (!Classify(column->second).mayTruncate || table->second.canSelect == false) continue;
      const std::string label = facts_.key(t.schema, t.table);
      auto at = std::find(labels.begin(), labels.end(), label);
      if (at == labels.end()) {
        labels.push_back(label);
        tables.push_back({t.schema, t.table, {}});
        at = labels.end() - 1;
      }
      tables[static_cast<std::size_t>(at - labels.begin())].columns.push_back(t.column);
    }
    if (tables.empty()) return;
    const auto r = send(
        CatalogQuery::kScan,
        ScanQueryText(
            tables, std::clamp(options_.scanLockTimeoutSeconds, 0, kMaxLockTimeoutSeconds) * 1000),
        labels);
    if (!r) return;
    for (const Row& row : r->rows) {
      const auto table = std::find(labels.begin(), labels.end(), Text(row, 0));
      if (table == labels.end()) continue;
      const ScanTable& t = tables[static_cast<std::size_t>(table - labels.begin())];
      for (std::size_t i = 0; i < t.columns.size(); ++i) {
        facts_.scans[facts_.key(t.schema, t.table, t.columns[i])] = {
            Number(row, 1 + 2 * i).value_or(0), Number(row, 2 + 2 * i)};
      }
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
