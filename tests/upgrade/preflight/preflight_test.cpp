#include "upgrade/preflight/preflight.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/fake_database_client.h"
#include "tests/support/recording_host.h"
#include "tests/support/web_directory.h"
#include "upgrade/upgrade_run.h"

namespace kivo {
namespace {

using Row = std::vector<std::optional<std::string>>;
using Q = CatalogQuery;
using L = FindingLevel;

constexpr const char* kCollation = "Latin1_General_CI_AS";

// The catalog the scripted server answers from, as the rows of each query: every target
// table present, every target column nvarchar(100), nullable, in the database's collation.
struct Catalog {
  std::map<Q, std::vector<Row>> rows;
  std::set<Q> refused;
  std::string version = "10.50.6000.34";
  int engineEdition = 3;

  // The server's row: the catalog columns a version has, found as COL_LENGTH finds them.
  Row server() const {
    if (rows.contains(Q::kServer)) return rows.at(Q::kServer).front();
    const int major = std::stoi(version);
    const bool cloud = engineEdition == 5 || engineEdition == 8;
    auto since = [&](int v) { return cloud || major >= v ? Row::value_type("1") : std::nullopt; };
    Row row = {version,  "KivoDB",   "ONLINE",     "MULTI_USER",
               "0",      kCollation, "1",          std::to_string(engineEdition),
               "196609", "1",        "READ_WRITE", "0"};
    for (int v : {12, 13, 16, 13}) row.push_back(since(v));
    row.insert(row.end(), {"-401", "1", "1", std::nullopt, std::nullopt, std::nullopt, "KIVO"});
    return row;
  }

  Catalog() {
    std::set<std::string> tables;
    for (const TargetColumn& t : TargetColumns()) {
      if (tables.insert(t.schema + "." + t.table).second) {
        rows[Q::kTables].push_back({t.schema, t.table, "0", "0", "FG", "1", "10", "1", "1"});
      }
      rows[Q::kColumns].push_back(
          {t.schema, t.table, t.column, "nvarchar", "nvarchar", "200", "1", kCollation, "0"});
    }
    rows[Q::kSchemas] = {{"CHXD", "1"}, {"MD", "1"}};
  }

  Row& column(const std::string& table, const std::string& column) {
    for (Row& r : rows[Q::kColumns]) {
      if (*r[0] + "." + *r[1] == table && *r[2] == column) return r;
    }
    throw std::out_of_range(table + "." + column);
  }
  Row& table(const std::string& name) {
    for (Row& r : rows[Q::kTables]) {
      if (*r[0] + "." + *r[1] == name) return r;
    }
    throw std::out_of_range(name);
  }
  void drop(const std::string& name) {
    std::erase_if(rows[Q::kTables], [&](const Row& r) { return *r[0] + "." + *r[1] == name; });
    std::erase_if(rows[Q::kColumns], [&](const Row& r) { return *r[0] + "." + *r[1] == name; });
  }
  void type(const std::string& t, const std::string& c, const char* base, const char* bytes) {
    column(t, c)[3] = base;
    column(t, c)[4] = base;
    column(t, c)[5] = bytes;
  }

  QueryResult answer(const std::string& text) const {
    Q id = Q::kScan;
    const ServerFeatures features = ReadServerFeatures(server());
    for (Q q : {Q::kServer, Q::kSchemas, Q::kTables, Q::kColumns, Q::kIndexes, Q::kForeignKeys,
                Q::kConstraints, Q::kDependencies, Q::kSchemaBoundReferences, Q::kStatistics,
                Q::kFullText, Q::kTriggers, Q::kSpace, Q::kLocks, Q::kReplication}) {
      if (text == CatalogQueryText(q, features)) id = q;
    }
    QueryResult result;
    if (refused.contains(id)) {
      result.error = Error(229, "The SELECT permission was denied on the object.");
      return result;
    }
    if (id == Q::kServer) {
      result.rows = {server()};
    } else if (rows.contains(id)) {
      result.rows = rows.at(id);
    }
    return result;
  }
};

struct Case {
  const char* name;
  std::function<void(Catalog&)> change;
  const char* where;  // "CHXD.T2011.i13", "CHXD.T2011" or "" for the server
  const char* kind;
  L level;
  bool scanData = false;
  const char* words = "";  // in the finding's message
};

// A login without VIEW DEFINITION on the database, and with neither it nor ALTER on schema
// CHXD unless `schemaViewDefinition`: tables it holds no permission on are not in the catalog.
void Unseeing(Catalog& c, bool schemaViewDefinition = false) {
  Row server = c.server();
  server[ServerRow::kCanViewDefinition] = "0";
  c.rows[Q::kServer] = {server};
  c.rows[Q::kSchemas] = {{"CHXD", "0", schemaViewDefinition ? "1" : "0"}, {"MD", "1", "0"}};
}

PreflightReport Check(const Catalog& catalog, bool scanData,
                      std::shared_ptr<testing::FakeServer> server = nullptr) {
  if (!server) server = std::make_shared<testing::FakeServer>();
  server->answerQuery = [&catalog](const std::string& text, std::span<const std::string>) {
    return catalog.answer(text);
  };
  auto client = testing::FakeEnvironment(server).makeClient();
  client->open(ConnectionTarget{});
  return RunPreflight(*client, PreflightOptions{scanData});
}

std::string Where(const Finding& f) {
  return f.column.empty() ? f.table : f.table + "." + f.column;
}

const char* kI13 = "CHXD.T2011.i13";
const char* kT2011 = "CHXD.T2011";

Row Index(const char* name, bool pk) {
  return {"CHXD", "T2011", "i13", name, "NONCLUSTERED", pk ? "1" : "0", "0", "0"};
}
Row Definition(const char* kind, const char* column, const char* text) {
  return {"CHXD",
          "T2011",
          column ? std::optional<std::string>(column) : std::nullopt,
          kind,
          std::string("CK_") + kind,
          text};
}
void Varchar(Catalog& c) { c.type(kT2011, "i13", "varchar", "50"); }

TEST(PreflightRules, EachCatalogFactGivesItsFinding) {
  const std::vector<Case> cases = {
      {"widening", [](Catalog&) {}, kI13, "widening", L::kInfo},
      {"type change", Varchar, kI13, "type-change", L::kWarn},
      {"already the target", [](Catalog& c) { c.type(kT2011, "i13", "nvarchar", "500"); }, kI13,
       "no-change", L::kInfo},
      {"shrink from max", [](Catalog& c) { c.type(kT2011, "i13", "nvarchar", "-1"); }, kI13,
       "shrink", L::kWarn},
      {"ntext", [](Catalog& c) { c.type(kT2011, "i13", "ntext", "16"); }, kI13,
       "type-not-alterable", L::kBlocker},
      {"computed", [](Catalog& c) { c.column(kT2011, "i13")[8] = "1"; }, kI13, "computed",
       L::kBlocker},
      {"alias type", [](Catalog& c) { c.column(kT2011, "i13")[3] = "KivoName"; }, kI13,
       "alias-type", L::kInfo},
      {"not null", [](Catalog& c) { c.column(kT2011, "i13")[6] = "0"; }, kI13, "not-null-lost",
       L::kWarn},
      {"collation", [](Catalog& c) { c.column(kT2011, "i13")[7] = "Latin1_General_BIN"; }, kI13,
       "collation-change", L::kWarn},
      {"missing column",
       [](Catalog& c) { std::erase(c.rows[Q::kColumns], c.column(kT2011, "i13")); }, kI13,
       "column-missing", L::kBlocker},
      {"missing table", [](Catalog& c) { c.drop("CHXD.T_HIST"); }, "CHXD.T_HIST", "table-missing",
       L::kWarn},
      {"table the login may not see",
       [](Catalog& c) {
         Unseeing(c);
         c.drop("CHXD.T_HIST");
       },
       "CHXD.T_HIST", "table-not-visible", L::kUnknown},
      {"missing table, seen through VIEW DEFINITION on its schema",
       [](Catalog& c) {
         Unseeing(c, true);
         c.drop("CHXD.T_HIST");
       },
       "CHXD.T_HIST", "table-missing", L::kWarn},
      {"type name NULL", [](Catalog& c) { c.column(kT2011, "i13")[3] = std::nullopt; }, kI13,
       "column-unreadable", L::kUnknown},
      {"rows summed over partitions beyond the largest number",
       [](Catalog& c) {
         Varchar(c);
         c.table(kT2011)[6] = "9223372036854775807";
         c.rows[Q::kTables].push_back(c.table(kT2011));
       },
       kI13, "type-change", L::kWarn, false, "every row (9223372036854775807)"},
      {"primary key on a widening",
       [](Catalog& c) { c.rows[Q::kIndexes] = {Index("PK_T2011", true)}; }, kI13, "primary-key",
       L::kBlocker},
      {"index on a widening", [](Catalog& c) { c.rows[Q::kIndexes] = {Index("IX", false)}; }, kI13,
       "index", L::kInfo},
      {"index on a type change",
       [](Catalog& c) {
         Varchar(c);
         c.rows[Q::kIndexes] = {Index("IX", false)};
       },
       kI13, "index", L::kBlocker},
      {"index on a collation change",
       [](Catalog& c) {
         c.column(kT2011, "i13")[7] = "Latin1_General_BIN";
         c.rows[Q::kIndexes] = {Index("IX", false)};
       },
       kI13, "index", L::kBlocker},
      {"foreign key",
       [](Catalog& c) {
         c.rows[Q::kForeignKeys] = {{"CHXD", "T2011", "i13", "FK_x", "referenced", "MD.X"}};
       },
       kI13, "foreign-key", L::kBlocker},
      {"check on a widening",
       [](Catalog& c) { c.rows[Q::kConstraints] = {Definition("CHECK", "i13", "([i13]<>'')")}; },
       kI13, "check", L::kInfo},
      {"table-level check on a type change",
       [](Catalog& c) {
         Varchar(c);
         c.rows[Q::kConstraints] = {Definition("CHECK", nullptr, "([i15]>[i13])")};
       },
       kI13, "check", L::kBlocker},
      {"default on a type change",
       [](Catalog& c) {
         Varchar(c);
         c.rows[Q::kConstraints] = {Definition("DEFAULT", "i13", "('')")};
       },
       kI13, "default", L::kBlocker},
      {"computed column using it",
       [](Catalog& c) {
         c.rows[Q::kConstraints] = {Definition("COMPUTED", "Total", "(upper([i13]))")};
       },
       kI13, "computed-column", L::kBlocker},
      {"computed column the login may not read",
       [](Catalog& c) {
         Row hidden = Definition("COMPUTED", "Total", "");
         hidden[5] = std::nullopt;  // no VIEW DEFINITION, ALTER or CONTROL on the table
         c.rows[Q::kConstraints] = {hidden};
       },
       kI13, "definition-unreadable", L::kUnknown},
      {"schema-bound view",
       [](Catalog& c) {
         c.rows[Q::kDependencies] = {{"CHXD", "T2011", "i13", "CHXD.V", "view", "1"}};
       },
       kI13, "schema-bound", L::kBlocker},
      {"plain view",
       [](Catalog& c) {
         c.rows[Q::kDependencies] = {{"CHXD", "T2011", "i13", "CHXD.V", "view", "0"}};
       },
       kI13, "dependent", L::kInfo},
      {"statistics on a shrink",
       [](Catalog& c) {
         c.type(kT2011, "i13", "nvarchar", "1000");
         c.rows[Q::kStatistics] = {{"CHXD", "T2011", "i13", "ST_i13"}};
       },
       kI13, "statistics", L::kBlocker},
      {"full-text",
       [](Catalog& c) {
         c.rows[Q::kFullText] = {{"CHXD", "T2011", "i13"}};
       },
       kI13, "full-text", L::kBlocker},
      {"partitioned with a type change",
       [](Catalog& c) {
         Varchar(c);
         c.table(kT2011)[4] = "PS";
       },
       kI13, "partitioned", L::kBlocker},
      {"replicated", [](Catalog& c) { c.table(kT2011)[2] = "1"; }, kT2011, "replication", L::kWarn},
      {"no ALTER permission", [](Catalog& c) { c.table(kT2011)[7] = "0"; }, kT2011,
       "alter-permission", L::kBlocker},
      {"ALTER permission not known", [](Catalog& c) { c.table(kT2011)[7] = std::nullopt; }, kT2011,
       "alter-permission", L::kUnknown},
      {"history table missing", [](Catalog& c) { c.drop("MD.Customer_Hist"); }, "MD.Customer_Hist",
       "history-missing", L::kInfo},
      {"history table the login may not create",
       [](Catalog& c) {
         c.drop("MD.Customer_Hist");
         c.rows[Q::kSchemas] = {{"CHXD", "1"}, {"MD", "0"}};
       },
       "MD.Customer_Hist", "history-permission", L::kBlocker},
      {"history present", [](Catalog&) {}, "MD.Customer_Hist", "history-present", L::kInfo},
      {"dependencies unreadable, schema-bound references too",
       [](Catalog& c) {
         c.refused = {Q::kDependencies, Q::kSchemaBoundReferences};
       },
       "", "unreadable", L::kUnknown},
      {"database offline",
       [](Catalog& c) {
         c.rows[Q::kServer] = {
             {c.version, "KivoDB", "OFFLINE", "MULTI_USER", "0", kCollation, "1"}};
       },
       "", "database-state", L::kBlocker},
      {"too-long values",
       [](Catalog& c) {
         c.type(kT2011, "i13", "nvarchar", "-1");
         c.rows[Q::kScan] = {{"chxd.t2011", "3", "300"}};
       },
       kI13, "too-long-values", L::kBlocker, true},
      {"values that fit",
       [](Catalog& c) {
         c.type(kT2011, "i13", "varchar", "400");
         c.rows[Q::kScan] = {{"chxd.t2011", "0", std::nullopt}};
       },
       kI13, "values-fit", L::kInfo, true},
      {"columnstore index on SQL Server 2014",
       [](Catalog& c) {
         c.version = "12.0.6024.0";
         c.table(kT2011).resize(18);
         c.table(kT2011)[17] = "CCI_T2011";
       },
       kT2011, "columnstore", L::kBlocker},
      {"scan of a table the login may not read",
       [](Catalog& c) {
         c.type(kT2011, "i13", "varchar", "400");
         c.table(kT2011)[8] = "0";
       },
       kI13, "scan", L::kUnknown, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    Catalog catalog;
    test.change(catalog);
    const PreflightReport report = Check(catalog, test.scanData);
    const auto found = std::find_if(
        report.findings.begin(), report.findings.end(),
        [&](const Finding& f) { return Where(f) == test.where && f.kind == test.kind; });
    std::string all;
    for (const Finding& f : report.findings) all += FindingLine(f) + "\n";
    ASSERT_NE(found, report.findings.end()) << all;
    EXPECT_EQ(found->level, test.level) << FindingLine(*found);
    EXPECT_NE(found->message.find(test.words), std::string::npos) << FindingLine(*found);
    // Nothing the check could not read or that would fail passes, whatever else it found.
    const bool bad = std::any_of(report.findings.begin(), report.findings.end(), [](auto& f) {
      return f.level == L::kBlocker || f.level == L::kUnknown;
    });
    EXPECT_EQ(report.passed(false), !bad);
  }
}

TEST(PreflightRules, QueriesAreSelectsWithBoundNamesAndTheirNumberIsFixed) {
  // The newer catalog columns are read where the server has them, whatever its version says:
  // Azure SQL Database reports 12, as SQL Server 2014 does.
  struct Server {
    const char* version;
    int engineEdition;
    bool memoryOptimized;
    bool temporal;
  };
  for (const Server& s :
       {Server{"10.50.6000.34", 3, false, false}, Server{"12.0.6024.0", 3, true, false},
        Server{"12.0.2000.8", 5, true, true}, Server{"13.0.5026.0", 3, true, true}}) {
    SCOPED_TRACE(std::string(s.version) + " edition " + std::to_string(s.engineEdition));
    Catalog catalog;
    catalog.version = s.version;
    catalog.engineEdition = s.engineEdition;
    catalog.type(kT2011, "i13", "nvarchar", "-1");
    auto server = std::make_shared<testing::FakeServer>();
    const PreflightReport report = Check(catalog, true, server);
    EXPECT_TRUE(report.passed(false));
    const std::string tables = CatalogQueryText(Q::kTables, ReadServerFeatures(catalog.server()));
    EXPECT_NE(std::find(server->sent.begin(), server->sent.end(), tables), server->sent.end());
    EXPECT_EQ(tables.find("t.is_memory_optimized") != std::string::npos, s.memoryOptimized);
    EXPECT_EQ(tables.find("t.temporal_type") != std::string::npos, s.temporal);
    // As many queries for twenty columns as for one; the scan is one of them.
    EXPECT_EQ(report.roundTrips, static_cast<int>(server->sent.size()));
    EXPECT_EQ(report.roundTrips, 14);
    for (std::size_t i = 0; i < server->sent.size(); ++i) {
      std::string text = server->sent[i];
      // Only the scan waits for locks no longer than it says.
      if (text.starts_with("SET LOCK_TIMEOUT ")) text = text.substr(text.find("; ") + 2);
      EXPECT_TRUE(text.starts_with("SELECT ")) << text;
      for (const char* word :
           {"INSERT ", "UPDATE ", "DELETE ", "ALTER TABLE", "CREATE TABLE ", " INTO ", "#"}) {
        EXPECT_EQ(text.find(word), std::string::npos) << word << " in " << text;
      }
      // Names reach the server as parameters, one per marker; only the scan names its table.
      EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '?')),
                server->queryParameters[i].size())
          << text;
      if (text.find("[T2011]") == std::string::npos) {
        EXPECT_EQ(text.find("CustomerContact"), std::string::npos) << text;
      }
    }
  }
}

TEST(PreflightRules, TargetsAreTheColumnsTheBatchesAlter) {
  const auto& targets = TargetColumns();
  ASSERT_EQ(targets.size(), 20u);
  EXPECT_EQ(targets[4].table, "T_HIST");
  EXPECT_EQ(targets[4].column, "i13");  // the statement with two blanks in front of it
  EXPECT_EQ(targets[10].table, "CustomerContact_Hist");
  EXPECT_EQ(targets[10].historyBase, "CHXD.CustomerContact");
  EXPECT_EQ(targets[10].historyCreated, "CHXD.CustomerContact_HIST");  // as its INTO spells it
  for (const std::string& added : HistoryAddedColumns()) {
    EXPECT_NE(UpgradeBatches()[2].history->statement.find(" As " + added), std::string::npos);
  }
  EXPECT_EQ(HistoryAddedColumns().size(), 2u);
  EXPECT_EQ(targets[0].historyBase, "");
}

TEST(PreflightRun, CheckFirstStopsBeforeAnyAlterOnABlocker) {
  testing::WebDirectory web;
  web.writeEntry("Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=KIVO;User ID=k;Password=p");
  testing::RecordingHost host;
  host.webDir = web.pathText();
  auto server = std::make_shared<testing::FakeServer>();
  Catalog catalog;
  server->answerQuery = [&catalog](const std::string& text, std::span<const std::string>) {
    return catalog.answer(text);
  };
  RunEnvironment environment = testing::FakeEnvironment(server);
  environment.checkFirst = true;

  catalog.rows[Q::kIndexes] = {Index("PK_T2011", true)};
  RunReport report = RunUpgrade(host, environment);
  EXPECT_EQ(report.end, RunEnd::kFailed);
  ASSERT_TRUE(report.preflight);
  EXPECT_TRUE(std::none_of(server->sent.begin(), server->sent.end(),
                           [](const std::string& s) { return s.starts_with("ALTER"); }));
  EXPECT_NE(host.status.find("BLOCKER CHXD.T2011.i13: primary key PK_T2011"), std::string::npos)
      << host.status;
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
  EXPECT_EQ(server->clientsAlive, 0);

  // A clean check lets the run go on as it would without it.
  catalog.rows[Q::kIndexes].clear();
  server->sent.clear();
  host.status.clear();
  host.messages.clear();
  report = RunUpgrade(host, environment);
  EXPECT_EQ(report.end, RunEnd::kSucceeded);
  EXPECT_EQ(std::count_if(server->sent.begin(), server->sent.end(),
                          [](const std::string& s) { return s.starts_with("ALTER"); }),
            20);
}

}  // namespace
}  // namespace kivo
