#include "upgrade/preflight/preflight_rules.h"

#include "base/ascii.h"

namespace kivo {
namespace {

// Whether a definition uses a column, by its text: [name] or the name as a whole word.
bool Mentions(const std::string& definition, const std::string& column) {
  const std::string text = LowerAscii(definition);
  const std::string name = LowerAscii(column);
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

class Rules {
 public:
  Rules(const CatalogFacts& facts, const PreflightOptions& options, PreflightReport& report)
      : facts_(facts), options_(options), report_(report) {}

  void derive() {
    deriveServer();
    std::set<std::string> seen;
    for (const TargetColumn& t : TargetColumns()) {
      if (seen.insert(CatalogKey(t.schema, t.table)).second) deriveTable(t);
      deriveColumn(t);
    }
  }

 private:
  Finding& add(FindingLevel level, std::string kind, std::string table, std::string column,
               std::string message) {
    return AddFinding(report_, level, std::move(kind), std::move(table), std::move(column),
                      std::move(message));
  }

  bool known(CatalogQuery id) const { return !facts_.unknown.contains(id); }

  void deriveServer() {
    if (!facts_.serverRead) return;
    Finding& f =
        add(FindingLevel::kInfo, "server", {}, {},
            "SQL Server " + report_.serverVersion + ", database " + report_.database + " (" +
                facts_.state + ", " + facts_.access + (facts_.readOnly ? ", read-only" : "") +
                ", collation " + facts_.collation + ")");
    f.facts = {
        {"version", report_.serverVersion}, {"state", facts_.state}, {"access", facts_.access}};
    if (facts_.major < 10) {
      add(FindingLevel::kWarn, "server-version", {}, {},
          "the server is older than SQL Server 2008 R2: the check may not read what it needs");
    }
    if (facts_.state != "ONLINE") {
      add(FindingLevel::kBlocker, "database-state", {}, {},
          "the database is " + facts_.state + ": nothing can be altered");
    }
    if (facts_.readOnly) {
      add(FindingLevel::kBlocker, "database-read-only", {}, {},
          "the database is read-only: nothing can be altered");
    }
    if (facts_.access == "SINGLE_USER") {
      add(FindingLevel::kBlocker, "database-single-user", {}, {},
          "the database is in single-user mode: the upgrade's connection may be refused");
    } else if (facts_.access == "RESTRICTED_USER") {
      add(FindingLevel::kWarn, "database-restricted", {}, {},
          "the database is in restricted-user mode: only db_owner, dbcreator and sysadmin "
          "members may connect");
    }
  }

  void deriveTable(const TargetColumn& target) {
    const std::string name = target.schema + "." + target.table;
    if (!known(CatalogQuery::kTables)) return;
    const auto it = facts_.tables.find(CatalogKey(target.schema, target.table));
    if (it == facts_.tables.end()) {
      if (target.historyBase.empty()) {
        add(FindingLevel::kWarn, "table-missing", name, {},
            "the table does not exist: the run reports it missing and alters none of its "
            "columns");
        return;
      }
      const auto [baseSchema, baseTable] = SplitQualifiedName(target.historyBase);
      if (!facts_.tables.contains(CatalogKey(baseSchema, baseTable))) {
        add(FindingLevel::kWarn, "table-missing", name, {},
            "neither the history table nor its base " + target.historyBase +
                " exists: the run reports this part of the schema missing");
        return;
      }
      add(FindingLevel::kInfo, "history-missing", name, {},
          "the history table does not exist: the run creates it as a copy of " +
              target.historyBase + " with ChangeU and ChangeD, after altering the base")
          .facts.emplace_back("base", target.historyBase);
      const auto schema = facts_.schemaCanAlter.find(LowerAscii(target.schema));
      const std::optional<bool> canSchema =
          schema == facts_.schemaCanAlter.end() ? std::nullopt : schema->second;
      if (facts_.canCreateTable == false || canSchema == false) {
        add(FindingLevel::kBlocker, "history-permission", name, {},
            "the login may not create the history table: it needs CREATE TABLE on the "
            "database and ALTER on schema " +
                target.schema);
      } else if (!facts_.canCreateTable || !canSchema) {
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
    const auto tableIt = facts_.tables.find(CatalogKey(target.schema, target.table));
    if (!known(CatalogQuery::kTables) || tableIt == facts_.tables.end()) return;
    if (!known(CatalogQuery::kColumns)) return;
    const TableFacts& t = tableIt->second;
    const std::string key = CatalogKey(target.schema, target.table, target.column);
    const auto it = facts_.columns.find(key);
    auto add = [&](FindingLevel level, std::string kind, std::string message) -> Finding& {
      return this->add(level, std::move(kind), table, target.column, std::move(message));
    };
    if (it == facts_.columns.end()) {
      add(FindingLevel::kBlocker, "column-missing",
          "the column does not exist: its ALTER fails (4924)");
      return;
    }
    const ColumnFacts& c = it->second;
    const Classified k = Classify(c);
    const std::string to = " to " + std::string(kTargetType);
    const std::string rows = std::to_string(t.rows);
    const bool character = !c.collation.empty();
    const bool collationChanges =
        character && LowerAscii(c.collation) != LowerAscii(facts_.collation);
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
    if (LowerAscii(c.typeName) != LowerAscii(c.baseType)) {
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
          "collation " + c.collation + " becomes the database default " + facts_.collation);
    }
    if (rewrite && t.partitioned) {
      add(FindingLevel::kBlocker, "partitioned",
          "the table is partitioned: the data type of its columns cannot be changed");
    }

    // What uses the column. A change of collation is refused where anything does.
    const std::string why = collationChanges ? "the collation changes" : "the type changes";
    if (const auto deps = facts_.dependencies.find(key); deps != facts_.dependencies.end()) {
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
    if (const auto defs = facts_.definitions.find(CatalogKey(target.schema, target.table));
        defs != facts_.definitions.end()) {
      for (const Definition& d : defs->second) {
        const bool own = !d.column.empty() && LowerAscii(d.column) == LowerAscii(target.column);
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
      } else if (const auto s = facts_.scans.find(key); s != facts_.scans.end()) {
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

  const CatalogFacts& facts_;
  const PreflightOptions& options_;
  PreflightReport& report_;
};

}  // namespace

Classified Classify(const ColumnFacts& c) {
  Classified k;
  const std::string base = LowerAscii(c.baseType);
  const bool wide = base == "nvarchar" || base == "nchar";
  const bool character = wide || base == "varchar" || base == "char";
  const long long chars = c.maxLength < 0 ? -1 : (wide ? c.maxLength / 2 : c.maxLength);
  k.from = base;
  if (character) {  // piece by piece, as in CatalogKey (GCC 12's -Wrestrict)
    k.from += '(';
    k.from += chars < 0 ? std::string("max") : std::to_string(chars);
    k.from += ')';
  }
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

Finding& AddFinding(PreflightReport& report, FindingLevel level, std::string kind,
                    std::string table, std::string column, std::string message) {
  Finding& f = report.findings.emplace_back();
  f.level = level;
  f.kind = std::move(kind);
  f.table = std::move(table);
  f.column = std::move(column);
  f.message = std::move(message);
  return f;
}

void DeriveFindings(const CatalogFacts& facts, const PreflightOptions& options,
                    PreflightReport& report) {
  Rules(facts, options, report).derive();
}

}  // namespace kivo
