#include "upgrade/preflight/preflight_rules.h"

#include <algorithm>

#include "base/ascii.h"

namespace kivo {
namespace {

std::string Mb(long long pages) { return std::to_string((pages * 8 + 1023) / 1024) + " MB"; }

class Rules {
 public:
  Rules(const CatalogFacts& facts, const PreflightOptions& options, PreflightReport& report)
      : facts_(facts), options_(options), report_(report) {}

  void derive() {
    deriveServer();
    std::set<std::string> seen;
    for (const TargetColumn& t : TargetColumns()) {
      if (seen.insert(facts_.key(t.schema, t.table)).second) deriveTable(t);
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

  const TableFacts* table(const std::string& schema, const std::string& name) const {
    const auto it = facts_.tables.find(facts_.key(schema, name));
    return it == facts_.tables.end() ? nullptr : &it->second;
  }

  // What the fixed statement does to a target column, where the catalog has it.
  std::optional<Classified> change(const TargetColumn& t) const {
    const auto it = facts_.columns.find(facts_.key(t.schema, t.table, t.column));
    if (it == facts_.columns.end() || it->second.computed) return std::nullopt;
    return Classify(it->second);
  }

  // Whether the statements rewrite every row of the table: a type change, or a shrink that
  // moves long values back into the row.
  bool rewrites(const std::string& schema, const std::string& name) const {
    for (const TargetColumn& t : TargetColumns()) {
      if (facts_.key(t.schema, t.table) != facts_.key(schema, name)) continue;
      const auto k = change(t);
      if (k && (k->change == Change::kTypeChange || k->change == Change::kShrink)) return true;
    }
    return false;
  }

  void deriveServer() {
    if (!facts_.serverRead) return;
    const ServerFeatures& f = facts_.features;
    const std::string product = f.engineEdition == 5   ? "Azure SQL Database "
                                : f.engineEdition == 8 ? "Azure SQL Managed Instance "
                                                       : "SQL Server ";
    Finding& server = add(
        FindingLevel::kInfo, "server", {}, {},
        product + report_.serverVersion + ", database " + report_.database + " (" + facts_.state +
            ", " + facts_.access + (facts_.readOnly ? ", read-only" : "") + ", collation " +
            facts_.collation + (facts_.caseSensitive ? ", names compare with case" : "") + ")");
    server.facts = {{"version", report_.serverVersion},
                    {"engineEdition", std::to_string(f.engineEdition)},
                    {"state", facts_.state},
                    {"access", facts_.access},
                    {"caseSensitive", facts_.caseSensitive ? "true" : "false"}};
    if (f.major < 10) {
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
    } else if (facts_.standby || LowerAscii(facts_.updateability) == "read_only") {
      add(FindingLevel::kBlocker, "database-not-updatable", {}, {},
          "the database's updateability is READ_ONLY" +
              std::string(facts_.standby ? " (it is in standby)" : "") +
              ", as on a secondary replica or a log-shipping standby: nothing can be altered");
    }
    if (facts_.access == "SINGLE_USER") {
      add(FindingLevel::kBlocker, "database-single-user", {}, {},
          "the database is in single-user mode: the upgrade's connection may be refused");
    } else if (facts_.access == "RESTRICTED_USER") {
      add(FindingLevel::kWarn, "database-restricted", {}, {},
          "the database is in restricted-user mode: only db_owner, dbcreator and sysadmin "
          "members may connect");
    }
    // With it off SQL Server cuts too-long strings short without an error, and what ALTER
    // COLUMN does then is not documented: the run sets it ON before the first batch and stops
    // when the server refuses that.
    if (facts_.ansiWarnings == false) {
      add(FindingLevel::kInfo, "ansi-warnings", {}, {},
          "the connection starts with ANSI_WARNINGS OFF (as a DSN with AnsiNPW=No makes it): "
          "the run sets it ON before the first batch, so that a value too long fails its "
          "statement instead of being cut short");
    }
    if (facts_.dependenciesFromReferences) {
      add(FindingLevel::kInfo, "dependencies-in-part", {}, {},
          "the login may not read sys.sql_expression_dependencies (VIEW DEFINITION and "
          "SELECT on it, db_owner's by default): schema-bound views and functions were read "
          "from sys.sql_dependencies; the modules that are not schema-bound, which keep "
          "working, are not listed");
    }
    if (facts_.locksUnseen) {
      add(FindingLevel::kInfo, "sessions-unseen", {}, {},
          "cannot see other sessions (VIEW SERVER STATE, on SQL Server 2022 VIEW SERVER "
          "PERFORMANCE STATE, on Azure SQL Database VIEW DATABASE STATE): a session that "
          "holds a target table makes each ALTER wait, and every request after it waits "
          "behind the ALTER")
          .facts.emplace_back("error", *facts_.locksUnseen);
    }
    for (const DdlTrigger& t : facts_.triggers) {
      std::string events;
      for (const std::string& e : t.events) events += (events.empty() ? "" : " and ") + e;
      add(FindingLevel::kWarn, "ddl-trigger", {}, {},
          "DDL trigger " + t.name + " (" + t.scope + ") fires on " + events +
              ": it runs for each statement of the upgrade and may roll one back (3609)");
    }
    for (const std::string& s : facts_.subscriptions) {
      add(FindingLevel::kWarn, "replication-subscriber", {}, {},
          "the database subscribes to transactional publication " + s +
              ": schema changes belong at the publisher, and one made here can make "
              "replication fail");
    }
    deriveLog();
  }

  // The log a rewrite needs, against what the log may hold. The estimate is twice the data
  // pages of the rewritten tables: the documentation says only that the change is fully
  // logged.
  void deriveLog() {
    if (facts_.logFiles.empty()) return;
    long long needed = 0;
    std::string names;
    std::set<std::string> seen;
    for (const TargetColumn& t : TargetColumns()) {
      const TableFacts* tf = table(t.schema, t.table);
      if (!tf || !seen.insert(facts_.key(t.schema, t.table)).second) continue;
      if (!rewrites(t.schema, t.table)) continue;
      needed += 2 * tf->usedPages;
      names += (names.empty() ? "" : ", ") + tf->name;
    }
    if (needed == 0) return;
    long long room = 0;
    bool unbounded = false;
    for (const LogFile& f : facts_.logFiles) {
      const bool grows = f.growth > 0;
      if (grows && f.maxSizePages < 0) unbounded = true;
      room +=
          (grows && f.maxSizePages > 0 ? f.maxSizePages : f.sizePages) - f.usedPages.value_or(0);
    }
    const std::string need = "rewriting " + names + " needs about " + Mb(needed) +
                             " of log (an estimate: twice their data)";
    Finding& f = unbounded || room >= needed
                     ? add(FindingLevel::kInfo, "log-space", {}, {},
                           need + "; the log " +
                               (unbounded ? std::string("may grow until its disk is full")
                                          : "has " + Mb(room) + " free"))
                     : add(FindingLevel::kWarn, "log-space", {}, {},
                           need + ", and the log has " + Mb(std::max(0LL, room)) +
                               " free and may not grow beyond that: the statement fails "
                               "when the log is full (9002)");
    f.facts = {{"neededPages", std::to_string(needed)}, {"freePages", std::to_string(room)}};
  }

  void deriveTable(const TargetColumn& target) {
    const std::string name = target.schema + "." + target.table;
    if (!known(CatalogQuery::kTables)) return;
    const TableFacts* found = table(target.schema, target.table);
    if (!found) {
      deriveMissing(target, name);
      return;
    }
    const TableFacts& t = *found;
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
    deriveReplication(t, name);
    if (t.trackedByCdc) {
      add(FindingLevel::kInfo, "change-data-capture", name, {},
          "the table is tracked by change data capture: a new column type reaches its change "
          "table and cdc.ddl_history, which the consumers of its changes see");
    }
    deriveTableKind(t, name);
    if (t.filegroupReadOnly) {
      const bool rewrite = rewrites(target.schema, target.table);
      add(rewrite ? FindingLevel::kBlocker : FindingLevel::kWarn, "read-only-filegroup", name, {},
          "the table is on read-only filegroup " + t.filegroup +
              (rewrite ? ": its rows cannot be rewritten"
                       : ": whether a change of length alone is allowed there is not "
                         "documented"));
    }
    if (const auto it = facts_.locks.find(facts_.key(target.schema, target.table));
        it != facts_.locks.end()) {
      for (const SessionLock& l : it->second) {
        add(FindingLevel::kWarn, "session-lock", name, {},
            "session " + l.session + " (" + l.login + " on " + l.host + ", " + l.program +
                ") holds a " + l.mode + " lock on the table (" + l.status +
                "): each ALTER waits for it under its schema-modification lock, and every "
                "request after it waits behind the ALTER");
      }
    }
  }

  void deriveReplication(const TableFacts& t, const std::string& name) {
    bool said = false;
    for (const Publication& p : t.publications) {
      if (p.kind == "merge" && !p.local) {
        add(FindingLevel::kBlocker, "replication-subscriber", name, {},
            "the table is a subscriber of merge publication " + p.name +
                ": merge replication refuses schema changes at a subscriber; change it at the "
                "publisher");
      } else if (p.replicatesDdl == false) {
        add(FindingLevel::kWarn, "replication", name, {},
            "the table is published in " + p.name +
                ", which does not replicate schema changes (replicate_ddl = 0): its "
                "subscribers keep the old type and the two sides differ");
      } else {
        add(FindingLevel::kWarn, "replication", name, {},
            "the table is published in " + p.name + ": the change propagates to its subscribers");
      }
      said = true;
    }
    if (t.replicated && !said) {
      add(FindingLevel::kWarn, "replication", name, {},
          "the table is published for replication: the change propagates to the subscribers");
    }
    if (t.syncTranSubscribed) {
      add(FindingLevel::kWarn, "replication-subscriber", name, {},
          "the table is the subscriber side of an updating subscription: schema changes "
          "belong at the publisher, and one made here can make replication fail");
    }
  }

  void deriveTableKind(const TableFacts& t, const std::string& name) {
    const ServerFeatures& f = facts_.features;
    if (t.temporalType == 1) {
      std::string current;
      for (const auto& [key, other] : facts_.tables) {
        if (!other.historyTable.empty() &&
            facts_.key(SplitQualifiedName(other.historyTable).first,
                       SplitQualifiedName(other.historyTable).second) ==
                facts_.key(SplitQualifiedName(t.name).first, SplitQualifiedName(t.name).second)) {
          current = " " + other.name;
        }
      }
      add(FindingLevel::kBlocker, "history-table", name, {},
          "the table is the history table of system-versioned" + current +
              ": while SYSTEM_VERSIONING is ON neither its data nor its schema can be changed "
              "directly; a change of the current table reaches it");
    } else if (t.temporalType == 2) {
      add(FindingLevel::kInfo, "system-versioned", name, {},
          "the table is system-versioned: the change reaches its period history table " +
              t.historyTable + " too");
      if (t.canControl == false || t.historyCanControl == false) {
        add(FindingLevel::kBlocker, "temporal-permission", name, {},
            "changing the schema of a system-versioned table needs CONTROL on it and on its "
            "history table " +
                t.historyTable + ", which the login lacks");
      } else if (!t.canControl || !t.historyCanControl) {
        add(FindingLevel::kUnknown, "temporal-permission", name, {},
            "could not tell whether the login has CONTROL on the table and on its history "
            "table " +
                t.historyTable + ", which a change of its schema needs");
      }
    }
    if (t.ledgerType == 1) {
      add(FindingLevel::kBlocker, "ledger", name, {},
          "the table is the history table of a ledger table: it cannot be altered itself");
    }
    if (t.memoryOptimized) {
      if (f.major == 12 && f.onPremises()) {
        add(FindingLevel::kBlocker, "memory-optimized", name, {},
            "the table is memory-optimized: SQL Server 2014 cannot alter a memory-optimized "
            "table");
      } else {
        add(FindingLevel::kWarn, "memory-optimized", name, {},
            "the table is memory-optimized: ALTER TABLE rebuilds it offline");
      }
    }
    if (!t.columnstore.empty() && (f.major == 11 || f.major == 12) && f.onPremises()) {
      add(FindingLevel::kBlocker, "columnstore", name, {},
          "columnstore index " + t.columnstore +
              ": on SQL Server 2012 and 2014 a nonclustered columnstore index makes the table "
              "read-only, and the columns of a table with a columnstore index cannot be "
              "altered");
    }
  }

  bool seesEveryTable(const std::string& schema) const {
    if (facts_.canViewDefinition == true) return true;
    const auto it = facts_.schemaSeesAll.find(facts_.key(schema, {}));
    return it != facts_.schemaSeesAll.end() && it->second;
  }

  // A missing table, and for a history table what the copy of its base needs.
  void deriveMissing(const TargetColumn& target, const std::string& name) {
    // A table the login holds no permission on is not in the catalog views it reads
    // (metadata visibility): only a login that sees every table may call one missing.
    const auto [baseSchema, baseName] = SplitQualifiedName(target.historyBase);
    for (const std::string& schema : {target.schema, baseSchema}) {
      if (schema.empty() || seesEveryTable(schema)) continue;
      add(FindingLevel::kUnknown, "table-not-visible", name, {},
          "the table is not among those the login can see: it is missing, or the login holds "
          "no permission on it (it lacks VIEW DEFINITION on the database and VIEW DEFINITION "
          "and ALTER on schema " +
              schema + ")");
      return;
    }
    if (target.historyBase.empty()) {
      add(FindingLevel::kWarn, "table-missing", name, {},
          "the table does not exist: the run reports it missing and alters none of its "
          "columns");
      return;
    }
    const TableFacts* base = table(baseSchema, baseName);
    if (!base) {
      add(FindingLevel::kWarn, "table-missing", name, {},
          "neither the history table nor its base " + target.historyBase +
              " exists: the run reports this part of the schema missing");
      return;
    }
    add(FindingLevel::kInfo, "history-missing", name, {},
        "the history table does not exist: the run creates it as a copy of " + target.historyBase +
            " with ChangeU and ChangeD, after altering the base")
        .facts.emplace_back("base", target.historyBase);
    deriveHistoryName(target, name);
    for (const std::string& column : base->addedColumnsPresent) {
      add(FindingLevel::kBlocker, "history-column-exists", name, {},
          target.historyBase + " already has a column " + column +
              ": the copy would have it twice, and SELECT ... INTO fails (2705)");
    }
    if (base->canSelect == false) {
      add(FindingLevel::kBlocker, "history-permission", name, {},
          "the login may not read " + target.historyBase + ": the copy needs SELECT on " +
              target.historyBase + " (229)");
    } else if (!base->canSelect) {
      add(FindingLevel::kUnknown, "history-permission", name, {},
          "could not tell whether the login has SELECT on " + target.historyBase +
              ", which the copy needs");
    }
    const auto schema = facts_.schemaCanAlter.find(facts_.key(target.schema, {}));
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
    if (base->hasIdentity) {
      add(FindingLevel::kInfo, "history-identity", name, {},
          target.historyBase +
              " has an identity column, which the copy keeps as an identity column: rows "
              "copied into it later need SET IDENTITY_INSERT ON");
    }
  }

  // Batch 3 alters one spelling of its history table and its history statement creates
  // another: on a collation that compares names with case they are two tables.
  void deriveHistoryName(const TargetColumn& target, const std::string& name) {
    if (!facts_.caseSensitive) return;
    const auto [schema, created] = SplitQualifiedName(target.historyCreated);
    if (facts_.key(schema, created) == facts_.key(target.schema, target.table)) return;
    const bool exists = table(schema, created) != nullptr;
    add(FindingLevel::kWarn, "history-name-case", name, {},
        "names compare with case on collation " + facts_.collation +
            ": the history statement creates " + target.historyCreated +
            ", another table than the " + name + " the batch alters, so every run finds " + name +
            " missing" +
            (exists ? "; " + target.historyCreated +
                          " exists already, the copy is refused (2714) and the run still "
                          "writes that it created the table"
                    : " and makes the copy again"))
        .facts.emplace_back("created", target.historyCreated);
  }

  void deriveColumn(const TargetColumn& target) {
    const std::string tableName = target.schema + "." + target.table;
    const TableFacts* tableFacts = table(target.schema, target.table);
    if (!known(CatalogQuery::kTables) || !tableFacts) return;
    if (!known(CatalogQuery::kColumns)) return;
    const TableFacts& t = *tableFacts;
    const std::string key = facts_.key(target.schema, target.table, target.column);
    const auto it = facts_.columns.find(key);
    auto add = [&](FindingLevel level, std::string kind, std::string message) -> Finding& {
      return this->add(level, std::move(kind), tableName, target.column, std::move(message));
    };
    if (it == facts_.columns.end()) {
      add(FindingLevel::kBlocker, "column-missing",
          "the column does not exist: its ALTER fails (4924)");
      return;
    }
    const ColumnFacts& c = it->second;
    if (c.unreadable) {
      add(FindingLevel::kUnknown, "column-unreadable",
          "the catalog gave no type name or no length for the column (NULL; a type the login "
          "may not see has no name): what the statement does to it cannot be told");
      return;
    }
    const Classified k = Classify(c);
    const std::string to = " to " + std::string(kTargetType);
    const std::string rows = std::to_string(t.rows);
    const bool character = !c.collation.empty();
    const bool collationChanges =
        character && LowerAscii(c.collation) != LowerAscii(facts_.collation);
    const bool rewrite = k.change == Change::kTypeChange;
    // What forbids a change of type forbids one the column cannot take at all as well.
    const bool typeChanges = rewrite || k.change == Change::kImpossible;
    const bool resize = typeChanges || k.change == Change::kShrink;

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
                      k.from + " cannot be altered" + to + ": " + k.why);
          break;
      }
    }
    type->facts = {{"type", c.typeName},
                   {"maxLength", std::to_string(c.maxLength)},
                   {"nullable", c.nullable ? "true" : "false"},
                   {"collation", c.collation},
                   {"rows", rows}};
    if (!c.baseType.empty() && LowerAscii(c.typeName) != LowerAscii(c.baseType)) {
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
    deriveColumnKind(c, t, k, add);
    if (t.partitioned && rewrite) {
      add(FindingLevel::kBlocker, "partitioned",
          "the table is partitioned: the data type of its columns cannot be changed");
    } else if (t.partitioned && k.change != Change::kNone && !c.computed) {
      add(FindingLevel::kWarn, "partitioned",
          "the table is partitioned: the documentation also says the type of an existing "
          "column of a partitioned table cannot be given, which may refuse a change of "
          "length too");
    }
    deriveDependencies(target, key, typeChanges, resize, collationChanges, add);
    deriveScan(c, t, k, key, add);
  }

  template <typename Add>
  void deriveColumnKind(const ColumnFacts& c, const TableFacts& t, const Classified& k, Add& add) {
    const bool rewrite = k.change == Change::kTypeChange || k.change == Change::kImpossible;
    if (c.identity) {
      add(FindingLevel::kBlocker, "identity",
          "the column has the IDENTITY property: its new type must be one that supports "
          "identity, which " +
              std::string(kTargetType) + " is not");
    }
    if (c.rowGuid) {
      add(FindingLevel::kBlocker, "rowguidcol",
          "the column is the table's ROWGUIDCOL: it cannot be altered");
    }
    if (c.encrypted) {
      add(FindingLevel::kBlocker, "always-encrypted",
          "the column is encrypted with Always Encrypted: the statement names no ENCRYPTED "
          "WITH, and an ALTER COLUMN cannot change the encryption settings of a column");
    }
    if (c.sparse) {
      add(FindingLevel::kWarn, "sparse",
          "the column is SPARSE and the statement does not say SPARSE: whether it stays "
          "sparse is not documented, and a change between sparse and not rewrites every row");
    }
    if (c.rule) {
      const std::string rule = c.rule->empty() ? std::string("a rule") : "rule " + *c.rule;
      add(rewrite ? FindingLevel::kBlocker : FindingLevel::kInfo, "bound-rule",
          rule + " is bound to the column (sp_bindrule)" +
              (rewrite ? ": unbind it before the data type changes (sp_unbindrule)"
                       : ": a change of length keeps it"));
    }
    if (c.boundDefault) {
      const std::string name =
          c.boundDefault->empty() ? std::string("a default") : "default " + *c.boundDefault;
      add(rewrite ? FindingLevel::kBlocker : FindingLevel::kInfo, "bound-default",
          name + " is bound to the column (sp_bindefault)" +
              (rewrite ? ": the data type of a column with a default cannot change"
                       : ": its length may change"));
    }
    if ((t.ledgerType == 2 || t.ledgerType == 3) && rewrite) {
      add(FindingLevel::kBlocker, "ledger",
          "the table is a ledger table: only the nullability, collation of nvarchar "
          "columns, length of variable-length columns and sparseness of its columns may "
          "change, not their type");
    }
  }

  template <typename Add>
  void deriveDependencies(const TargetColumn& target, const std::string& key, bool rewrite,
                          bool resize, bool collationChanges, Add& add) {
    // What uses the column. A change of collation is refused where anything does.
    const std::string why = collationChanges ? "the collation changes" : "the type changes";
    if (const auto deps = facts_.dependencies.find(key); deps != facts_.dependencies.end()) {
      for (const Dependency& d : deps->second) {
        const std::string module = d.name.empty() ? "a module the login may not see" : d.name;
        const std::string what = d.kind == "dependent" ? d.detail + " " + module : d.name;
        if (d.kind == "primary-key") {
          add(FindingLevel::kBlocker, d.kind,
              "primary key " + d.name + ": a key column cannot be altered (5074, 4922)");
        } else if (d.kind == "foreign-key") {
          add(FindingLevel::kBlocker, d.kind,
              "foreign key " + d.name + " (" + d.detail +
                  "): a column in a FOREIGN KEY cannot be altered (5074, 4922)");
        } else if (d.kind == "partitioning-column") {
          add(FindingLevel::kBlocker, d.kind,
              "the column is the table's partitioning column: its type, which the partition "
              "function's matches, cannot change");
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
    const auto defs = facts_.definitions.find(facts_.key(target.schema, target.table));
    if (defs == facts_.definitions.end()) return;
    auto same = [this](const std::string& a, const std::string& b) {
      return facts_.caseSensitive ? a == b : LowerAscii(a) == LowerAscii(b);
    };
    for (const Definition& d : defs->second) {
      const bool own = !d.column.empty() && same(d.column, target.column);
      const bool uses = DefinitionUses(d.text, target.column, facts_.caseSensitive);
      // A definition the login may not see could use the column: where it would block, that
      // is not a pass.
      const bool wouldBlock = d.kind == "COMPUTED" ? !own
                              : d.kind == "CHECK"
                                  ? d.column.empty() && (rewrite || collationChanges)
                                  : false;
      if (d.hidden && wouldBlock) {
        add(FindingLevel::kUnknown, "definition-unreadable",
            "could not read the definition of " +
                std::string(d.kind == "COMPUTED" ? "computed column " : "CHECK constraint ") +
                d.name +
                " (it needs VIEW DEFINITION or ALTER on the table): whether it uses the column "
                "is not known");
        continue;
      }
      if (d.kind == "COMPUTED") {
        if (!own && uses) {
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
      } else if (own || (d.column.empty() && uses)) {
        const bool blocks = rewrite || collationChanges;
        add(blocks ? FindingLevel::kBlocker : FindingLevel::kInfo, "check",
            std::string(own ? "" : "table-level ") + "CHECK " + d.name + " " + d.text +
                (own ? "" : " (by the column's name in its definition)") +
                (blocks ? ": the ALTER fails while it uses the column"
                        : ": a change of length is allowed"));
      }
    }
  }

  template <typename Add>
  void deriveScan(const ColumnFacts& c, const TableFacts& t, const Classified& k,
                  const std::string& key, Add& add) {
    if (!k.mayTruncate || !options_.scanData || c.computed) return;
    if (t.canSelect == false) {
      add(FindingLevel::kUnknown, "scan",
          "the login may not read the table, so the values were not counted");
      return;
    }
    const auto s = facts_.scans.find(key);
    if (s == facts_.scans.end()) return;
    Finding& f = s->second.overLimit > 0
                     ? add(FindingLevel::kBlocker, "too-long-values",
                           std::to_string(s->second.overLimit) + " values are longer than " +
                               std::to_string(kTargetLength) +
                               " UTF-16 units, trailing blanks aside: the ALTER fails (8152)")
                     : add(FindingLevel::kInfo, "values-fit",
                           "every value fits in " + std::to_string(kTargetLength) +
                               " UTF-16 units, trailing blanks aside");
    f.facts.emplace_back("overLimit", std::to_string(s->second.overLimit));
    if (s->second.longest) f.facts.emplace_back("longest", std::to_string(*s->second.longest));
  }

  const CatalogFacts& facts_;
  const PreflightOptions& options_;
  PreflightReport& report_;
};

}  // namespace

Classified Classify(const ColumnFacts& c) {
  Classified k;
  const std::string base = LowerAscii(c.baseType.empty() ? c.typeName : c.baseType);
  const bool wide = base == "nvarchar" || base == "nchar";
  const bool character = wide || base == "varchar" || base == "char";
  const long long chars = c.maxLength < 0 ? -1 : (wide ? c.maxLength / 2 : c.maxLength);
  k.from = base;
  if (character) {  // piece by piece, as in CatalogKey (GCC 12's -Wrestrict)
    k.from += '(';
    k.from += chars < 0 ? std::string("max") : std::to_string(chars);
    k.from += ')';
  }
  auto impossible = [&k](std::string why) {
    k.change = Change::kImpossible;
    k.why = std::move(why);
    return k;
  };
  if (base == "text" || base == "ntext" || base == "image") {
    return impossible("text, ntext and image allow only a few target types");
  }
  if (base == "timestamp") {
    return impossible("a timestamp (rowversion) column cannot be altered");
  }
  if (c.assemblyType || c.baseType.empty()) {
    return impossible("the CLR type " + c.typeName +
                      " does not convert implicitly to it, as ALTER COLUMN requires");
  }
  if (base == "xml" || base == "sql_variant") {
    return impossible(base + (c.columnSet ? " (the table's column set)" : "") +
                      " does not convert implicitly to it, as ALTER COLUMN requires");
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

bool DefinitionUses(const std::string& definition, const std::string& column, bool caseSensitive) {
  auto fold = [caseSensitive](const std::string& text) {
    return caseSensitive ? text : LowerAscii(text);
  };
  // The name as stored: in brackets, a ']' in it doubled.
  std::string wanted = "[";
  for (char c : column) wanted += c == ']' ? std::string("]]") : std::string(1, c);
  wanted = fold(wanted + "]");
  const std::string text = fold(definition);
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] == '\'') {  // a literal: '' inside it is a quote
      for (++at; at < text.size(); ++at) {
        if (text[at] == '\'' && (at + 1 >= text.size() || text[at + 1] != '\'')) break;
        if (text[at] == '\'') ++at;
      }
      ++at;
    } else if (text[at] == '[') {
      const std::size_t start = at;
      for (++at; at < text.size(); ++at) {
        if (text[at] == ']' && (at + 1 >= text.size() || text[at + 1] != ']')) break;
        if (text[at] == ']') ++at;
      }
      ++at;
      if (text.compare(start, at - start, wanted) == 0) return true;
    } else {
      ++at;
    }
  }
  return false;
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
