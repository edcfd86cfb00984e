// The whole run through unixODBC and the FreeTDS driver to the SQL Server stand-in on
// 127.0.0.1: what the user sees, what the server received and what it changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/batches.h"
#include "tests/support/files.h"
#include "tests/support/kivo_schema.h"
#include "tests/support/recording_host.h"
#include "tests/support/standin_process.h"
#include "tests/support/web_directory.h"
#include "upgrade/batches/upgrade_batches.h"
#include "upgrade/run_texts.h"
#include "upgrade/upgrade_run.h"

namespace kivo {
namespace {

using testing::AllStatements;
using testing::Batch;
using testing::KivoSchema;
using testing::Line;
using testing::ReadFile;
using testing::StandIn;

const std::string kAllAltered = testing::AllAlteredLines();

// What the stand-in received besides the run's questions whether a table exists, and how
// many of those there were.
std::vector<std::string> Statements(const StandIn& server, int* questions = nullptr) {
  std::vector<std::string> statements;
  for (const std::string& text : server.receivedBatches()) {
    if (!text.starts_with("SELECT OBJECT_ID(")) {
      statements.push_back(text);
    } else if (questions != nullptr) {
      ++*questions;
    }
  }
  return statements;
}

std::string Refused(const std::string& table) {
  return "Cannot find the object \"" + table +
         "\" because it does not exist or you do not have permissions. The table exists: the "
         "login may not alter " +
         table + ".";
}
std::string Unseen(const std::string& table) {
  return "Cannot find the object \"" + table +
         "\" because it does not exist or you do not have permissions. The login may not see " +
         table +
         " (no VIEW DEFINITION permission): whether it is missing or may not be altered cannot "
         "be told.";
}

class RunEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KIVO_ODBC_DRIVER", "FreeTDS", 1); }

  // Starts the stand-in with `schema`, writes web.config for it and runs the upgrade with the
  // schema's login.
  RunReport run(const KivoSchema& schema, const std::string& database = "KivoDB") {
    server = std::make_unique<StandIn>(schema.scenarioJson());
    web.writeEntry(testing::KivoConnectionValue(server->port(), database));
    return runAgainstWeb(schema.login, schema.password);
  }

  RunReport runAgainstWeb(const std::string& login, const std::string& password) {
    const std::string before = ReadFile(web.path() / "web.config");
    host.webDir = web.pathText();
    host.sqlLoginMode = true;
    host.login = login;
    host.password = password;
    RunEnvironment environment = DefaultRunEnvironment("FreeTDS");
    environment.atomic = atomic;
    RunReport report = RunUpgrade(host, environment);
    EXPECT_EQ(ReadFile(web.path() / "web.config"), before) << "web.config must stay as it was";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(web.path()),
                            std::filesystem::directory_iterator()),
              1)
        << "nothing may be written to the web directory";
    return report;
  }

  // The types of every text column the batches alter, as the catalog holds them now.
  std::set<std::string> alteredColumnTypes() const {
    std::set<std::string> types;
    for (const UpgradeBatch& b : UpgradeBatches()) {
      for (const AlteredColumn& c : b.altered) {
        if (auto type = server->columnType(c.schema + "." + c.table, c.column)) types.insert(*type);
      }
    }
    return types;
  }

  std::unique_ptr<StandIn> server;
  testing::WebDirectory web;
  testing::RecordingHost host;
  bool atomic = false;
};

TEST_F(RunEndToEnd, EveryTablePresent) {
  const RunReport report = run({});
  EXPECT_EQ(host.status, kAllAltered + "Kivo client was update successful\r\n");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update successful!"});
  EXPECT_EQ(report.end, RunEnd::kSucceeded);
  EXPECT_EQ(server->receivedBatches(), AllStatements());
  for (const char* table : {"CHXD.T2011", "CHXD.TPRICE", "CHXD.T_HIST"}) {
    for (const char* column : {"i13", "i15"}) {
      EXPECT_EQ(server->columnType(table, column), "nvarchar(250)") << table << column;
      EXPECT_EQ(server->columnNullable(table, column), true);
    }
  }
  for (const char* table :
       {"MD.CustomerContact", "CHXD.CustomerContact", "CHXD.CustomerContact_Hist", "MD.Customer",
        "MD.Customer_Hist", "CHXD.Customer", "CHXD.Customer_Hist"}) {
    EXPECT_EQ(server->columnType(table, "N"), "nvarchar(250)") << table;
    EXPECT_EQ(server->columnType(table, "Address"), "nvarchar(250)") << table;
  }
  EXPECT_EQ(server->columnType("CHXD.T2011", "Id"), "int");
}

// A session whose login starts with ANSI_WARNINGS OFF would cut the 260 characters to 250 and
// report success; the settings before batch 1 make the shrink fail instead.
TEST_F(RunEndToEnd, TheSessionIsSetBeforeBatchOneSoNothingIsCutShort) {
  KivoSchema schema;
  schema.loginDetails = R"("ansi_warnings": false)";
  schema.columnDetails["CHXD.T2011.i13"] = R"j("type": "nvarchar(300)")j";
  const std::string value(260, 'x');
  schema.tableDetails["CHXD.T2011"] = R"j("data": {"i13": [")j" + value + R"j("]})j";
  const RunReport report = run(schema);
  EXPECT_EQ(report.end, RunEnd::kFailed);
  EXPECT_TRUE(host.status.starts_with("String or binary data would be truncated.\r\n" +
                                      Batch(1).text() + "\r\n"))
      << host.status;
  EXPECT_EQ(server->columnType("CHXD.T2011", "i13"), "nvarchar(300)");

  const auto records = server->records();
  const auto first = std::find_if(records.begin(), records.end(),
                                  [](const auto& r) { return r.text == Batch(1).statements[0]; });
  ASSERT_NE(first, records.end());
  std::vector<std::string> before;
  for (auto r = records.begin(); r != first; ++r) before.push_back(r->text);
  EXPECT_EQ(before, SessionSettings(std::nullopt));
  EXPECT_EQ(first->session, (std::map<std::string, int>{{"ansi_warnings", 1},
                                                        {"implicit_transactions", 0},
                                                        {"lock_timeout", -1},
                                                        {"xact_abort", 0}}));
}

TEST_F(RunEndToEnd, MissingTablesOfTheFirstBatches) {
  KivoSchema schema;
  schema.missing = {"CHXD.T_HIST", "MD.CustomerContact"};
  const RunReport report = run(schema);
  EXPECT_EQ(host.status, Line("No table T_Hist existing!") +
                             Line("No table MD.CustomerContact existing!") +
                             Line(Batch(3).alteredLine) + Line(Batch(4).alteredLine) +
                             Line(Batch(5).alteredLine) + "Kivo client was update successful\r\n");
  EXPECT_EQ(report.end, RunEnd::kSucceeded);
  // The batch's other tables were altered although one of them was missing.
  EXPECT_EQ(server->columnType("CHXD.TPRICE", "i15"), "nvarchar(250)");
  int questions = 0;
  EXPECT_EQ(Statements(*server, &questions), AllStatements());
  EXPECT_EQ(questions, 2);  // one for each missing table, not for each of its statements
}

TEST_F(RunEndToEnd, AMissingHistoryTableIsCreatedFromItsBase) {
  KivoSchema schema;
  schema.missing = {"CHXD.CustomerContact_Hist"};
  run(schema);
  EXPECT_EQ(host.status, Line(Batch(1).alteredLine) + Line(Batch(2).alteredLine) +
                             Line("Table CHXD.CustomerContact_Hist is created!") +
                             Line(Batch(4).alteredLine) + Line(Batch(5).alteredLine) +
                             "Kivo client was update successful\r\n");
  EXPECT_EQ(server->tableName("CHXD.CustomerContact_Hist"), "CHXD.CustomerContact_HIST");
  EXPECT_EQ(server->columnNames("CHXD.CustomerContact_Hist"),
            (std::vector<std::string>{"Id", "N", "Address", "ChangeU", "ChangeD"}));
  EXPECT_EQ(server->columnType("CHXD.CustomerContact_Hist", "ChangeU"), "bigint");
  EXPECT_EQ(server->columnNullable("CHXD.CustomerContact_Hist", "ChangeD"), true);
  EXPECT_EQ(server->columnType("CHXD.CustomerContact_Hist", "Address"), "nvarchar(250)");
  std::vector<std::string> expected = AllStatements();
  expected.insert(expected.begin() + 12, Batch(3).history->statement);
  EXPECT_EQ(Statements(*server), expected);
}

// A login that may read every table but alter none, as an administrator's own account often
// is: every batch fails with the table it may not alter, and no history table is copied.
TEST_F(RunEndToEnd, ALoginThatMayAlterNoTableFailsEveryBatch) {
  KivoSchema schema;
  for (const UpgradeBatch& b : UpgradeBatches()) {
    for (const AlteredColumn& c : b.altered) schema.notAlterable.insert(c.schema + "." + c.table);
  }
  const RunReport report = run(schema);
  std::string lines;
  for (int n = 1; n <= 5; ++n) {
    lines += Refused(Batch(n).altered[0].schema + "." + Batch(n).altered[0].table) + "\r\n" +
             Batch(n).text() + "\r\n";
  }
  EXPECT_EQ(host.status, lines + Refused("CHXD.Customer") + "\r\n");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
  EXPECT_EQ(report.end, RunEnd::kFailed);
  int questions = 0;
  EXPECT_EQ(Statements(*server, &questions), AllStatements());
  EXPECT_EQ(questions, 10);
  EXPECT_EQ(server->columnType("MD.Customer_Hist", "Address"), "varchar(50)");
}

// Every mix of missing, refused and invisible tables a history batch can meet, a failure hidden
// behind a missing table, and the ways an atomic run ends: what the batch writes, and the error
// that stands for the verdict (none: the run succeeds) followed by what became of the changes.
struct Mix {
  const char* name;
  int batch = 3;
  std::set<std::string> missing{};
  std::set<std::string> notAlterable{};
  std::set<std::string> invisible{};  // the login holds no permission on them
  bool viewDefinition = true;         // on the database, which shows every table
  bool altersSchemas = true;
  std::string indexedColumn{};
  bool mayCreateTables = true;
  std::string lines{};
  std::string standing{};
  bool atomic = false;
  std::string faults{};
  int lastBatch = 5;  // sent; an atomic run sends nothing once its transaction is gone
  std::string_view changes{};
};

const std::string kBase = "CHXD.CustomerContact";
const std::string kHist = "CHXD.CustomerContact_Hist";
const std::string kCreated = Line("Table CHXD.CustomerContact_Hist is created!");
const std::string kNoBase = "Invalid object name 'CHXD.CustomerContact'.\r\n";

TEST_F(RunEndToEnd, EveryMixOfMissingRefusedAndInvisibleTables) {
  const std::string batch3 = Batch(3).text() + "\r\n";
  const std::string dependent =
      "The index 'IX_TPRICE' is dependent on column 'i13'.\r\nALTER TABLE ALTER COLUMN i13 "
      "failed because one or more objects access this column.";
  const std::string customerIndex =
      "The index 'IX_Customer' is dependent on column 'Address'.\r\nALTER TABLE ALTER COLUMN "
      "Address failed because one or more objects access this column.";
  const std::string doomed =
      "Uncommittable transaction is detected at the end of the batch. The transaction is rolled "
      "back.";
  const std::string lost = "Unexpected EOF from the server";
  const std::string lostLines = lost + "\r\n" + Batch(3).text() + "\r\n";
  const std::vector<Mix> mixes = {
      {.name = "neither", .lines = Line(Batch(3).alteredLine)},
      {.name = "history missing", .missing = {kHist}, .lines = kCreated},
      {.name = "history refused",
       .notAlterable = {kHist},
       .lines = Refused(kHist) + "\r\n" + batch3,
       .standing = Refused(kHist)},
      {.name = "base missing", .missing = {kBase}, .lines = kNoBase},
      {.name = "base refused",
       .notAlterable = {kBase},
       .lines = Refused(kBase) + "\r\n" + batch3,
       .standing = Refused(kBase)},
      {.name = "both missing", .missing = {kBase, kHist}, .lines = kNoBase},
      {.name = "base missing, history refused",
       .missing = {kBase},
       .notAlterable = {kHist},
       .lines = Refused(kHist) + "\r\n" + batch3,
       .standing = Refused(kHist)},
      {.name = "history invisible",
       .invisible = {kHist},
       .viewDefinition = false,
       .altersSchemas = false,
       .lines = Unseen(kHist) + "\r\n" + batch3,
       .standing = Unseen(kHist)},
      // Without VIEW DEFINITION a missing table looks like an invisible one...
      {.name = "history missing, the login blind",
       .missing = {kHist},
       .viewDefinition = false,
       .altersSchemas = false,
       .lines = Unseen(kHist) + "\r\n" + batch3,
       .standing = Unseen(kHist)},
      // ... unless ALTER on the schema would have altered it.
      {.name = "history missing, the login alters the schema",
       .missing = {kHist},
       .viewDefinition = false,
       .lines = kCreated},
      {.name = "base refused, history missing",
       .missing = {kHist},
       .notAlterable = {kBase},
       .lines = kCreated + Refused(kBase) + "\r\n" + batch3,
       .standing = Refused(kBase)},
      {.name = "both refused",
       .notAlterable = {kBase, kHist},
       .lines = Refused(kBase) + "\r\n" + batch3,
       .standing = Refused(kBase)},
      {.name = "history cannot be created",
       .missing = {kHist},
       .mayCreateTables = false,
       .lines = "CREATE TABLE permission denied in database 'KivoDB'.\r\n" + batch3,
       .standing = "CREATE TABLE permission denied in database 'KivoDB'."},
      {.name = "a failure behind a missing table",
       .batch = 1,
       .missing = {"CHXD.T2011"},
       .indexedColumn = "CHXD.TPRICE.i13",
       .lines = dependent + "\r\n" + Batch(1).text() + "\r\n",
       .standing = dependent},
      {.name = "atomic", .batch = 0, .atomic = true},
      {.name = "atomic, a failure in a middle batch",
       .batch = 4,
       .indexedColumn = "MD.Customer.Address",
       .lines = customerIndex + "\r\n" + Batch(4).text() + "\r\n",
       .standing = customerIndex,
       .atomic = true,
       .changes = kRolledBackLine},
      {.name = "atomic, the connection dropped mid-run",
       .lines = lostLines,
       .standing = lost,
       .atomic = true,
       .faults = R"("drop_on": "ALTER TABLE CHXD.CustomerContact ALTER COLUMN Address")",
       .lastBatch = 3,
       .changes = kLeftToServerLine},
      {.name = "atomic, a doomed transaction",
       .batch = 5,
       .lines = doomed + "\r\n" + Batch(5).text() + "\r\n",
       .standing = doomed,
       .atomic = true,
       .faults = R"("doom_on": "ALTER TABLE CHXD.Customer ALTER COLUMN N")",
       .changes = kRolledBackByServerLine},
      {.name = "atomic, a failing COMMIT",
       .batch = 0,
       .standing = "The transaction log for database 'KivoDB' is full due to 'LOG_BACKUP'.",
       .atomic = true,
       .faults = R"("fail_commit": true)",
       .changes = kRolledBackLine},
  };
  for (const Mix& mix : mixes) {
    SCOPED_TRACE(mix.name);
    KivoSchema schema;
    schema.missing = mix.missing;
    schema.notAlterable = mix.notAlterable;
    for (const std::string& table : mix.invisible)
      schema.tableDetails[table] = R"("not_visible": true)";
    schema.loginDetails = std::string(R"("may_read_dependencies": )") +
                          (mix.viewDefinition ? "true" : "false") + R"(, "may_alter_schemas": )" +
                          (mix.altersSchemas ? "true" : "false");
    schema.indexedColumn = mix.indexedColumn;
    schema.mayCreateTables = mix.mayCreateTables;
    schema.faultDetails = mix.faults;
    host = testing::RecordingHost();
    atomic = mix.atomic;
    const RunReport report = run(schema);
    std::string expected;
    for (int n = 1; n <= mix.lastBatch; ++n)
      expected += n == mix.batch ? mix.lines : Line(Batch(n).alteredLine);
    expected += mix.standing.empty() ? std::string(kSuccessLine) : mix.standing;
    if (!mix.changes.empty()) expected += "\r\n" + std::string(mix.changes);
    EXPECT_EQ(host.status, expected + "\r\n");
    if (mix.atomic) {
      // All or nothing, as the server's catalog shows it once the connection is closed.
      EXPECT_EQ(alteredColumnTypes(),
                std::set<std::string>{mix.standing.empty() ? "nvarchar(250)" : "varchar(50)"});
      EXPECT_EQ(server->receivedBatches().front(), "BEGIN TRANSACTION");
    }
    EXPECT_EQ(report.end, mix.standing.empty() ? RunEnd::kSucceeded : RunEnd::kFailed);
    EXPECT_EQ(host.messages, std::vector<std::string>{std::string(
                                 mix.standing.empty() ? kSuccessMessage : kFailureMessage)});
  }
  // The last run: the column the index depends on stayed narrow.
  EXPECT_EQ(server->columnType("CHXD.TPRICE", "i13"), "varchar(50)");
}

TEST_F(RunEndToEnd, AColumnAnIndexDependsOn) {
  KivoSchema schema;
  schema.indexedColumn = "MD.CustomerContact.Address";
  const RunReport report = run(schema);
  EXPECT_EQ(host.status,
            Line(Batch(1).alteredLine) +
                "The index 'IX_CustomerContact' is dependent on column 'Address'.\r\n"
                "ALTER TABLE ALTER COLUMN Address failed because one or more objects access "
                "this column.\r\n" +
                Batch(2).text() + "\r\n" + Line(Batch(3).alteredLine) + Line(Batch(4).alteredLine) +
                Line(Batch(5).alteredLine) +
                "The index 'IX_CustomerContact' is dependent on column 'Address'.\r\n"
                "ALTER TABLE ALTER COLUMN Address failed because one or more objects access "
                "this column.\r\n");
  EXPECT_EQ(report.end, RunEnd::kFailed);
  EXPECT_EQ(server->columnType("MD.CustomerContact", "N"), "nvarchar(250)");
  EXPECT_EQ(server->columnType("MD.CustomerContact", "Address"), "varchar(50)");
}

TEST_F(RunEndToEnd, RefusedLoginsShowTheServersFirstError) {
  KivoSchema schema;
  server = std::make_unique<StandIn>(schema.scenarioJson());
  web.writeEntry(testing::KivoConnectionValue(server->port()));
  RunReport report = runAgainstWeb("kivo", "wrong");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Login failed for user 'kivo'.\r\n"});
  EXPECT_EQ(host.status, "");
  EXPECT_EQ(report.end, RunEnd::kRefused);

  host = testing::RecordingHost();
  web.writeEntry(testing::KivoConnectionValue(server->port(), "NoSuchDb"));
  report = runAgainstWeb("kivo", "kivo-pw");
  // The server's first message, although the driver lists 18456 before it.
  EXPECT_EQ(host.messages,
            std::vector<std::string>{
                "Cannot open database \"NoSuchDb\" requested by the login. The login failed.\r\n"});
  ASSERT_EQ(report.openErrors.size(), 3u);
  EXPECT_EQ(report.openErrors[1].nativeError, 18456);
  EXPECT_EQ(host.status, "");
  EXPECT_TRUE(server->receivedBatches().empty());
}

TEST_F(RunEndToEnd, NothingListening) {
  web.writeEntry(testing::KivoConnectionValue(testing::ClosedPort()));
  const RunReport report = runAgainstWeb("kivo", "kivo-pw");
  EXPECT_EQ(report.end, RunEnd::kRefused);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0],
            "Unable to connect: Adaptive Server is unavailable or does not exist\r\n");
  EXPECT_EQ(host.status, "");
}

TEST_F(RunEndToEnd, TheConnectionDroppedMidRun) {
  KivoSchema schema;
  // The first statement of batch 3, after the session settings and batches 1 and 2.
  schema.dropAtRequest = static_cast<int>(SessionSettings(std::nullopt).size()) + 9;
  const RunReport report = run(schema);
  EXPECT_EQ(report.end, RunEnd::kFailed);
  EXPECT_TRUE(host.status.starts_with(Line(Batch(1).alteredLine) + Line(Batch(2).alteredLine)));
  for (int n = 3; n <= 5; ++n) {
    EXPECT_NE(host.status.find("\r\n" + Batch(n).text() + "\r\n"), std::string::npos)
        << "batch " << n << " takes the other-error path";
  }
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
}

TEST_F(RunEndToEnd, IntegratedLogonWithoutATicketFailsClearly) {
  server = std::make_unique<StandIn>(KivoSchema{}.scenarioJson());
  web.writeEntry(testing::KivoConnectionValue(server->port()));
  host.webDir = web.pathText();
  setenv("KRB5CCNAME", "FILE:/nonexistent/kivo-no-ticket", 1);
  const RunReport report = RunUpgrade(host, DefaultRunEnvironment("FreeTDS"));
  EXPECT_TRUE(report.end == RunEnd::kRefused || report.end == RunEnd::kFailed);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_FALSE(host.messages[0].empty());
  EXPECT_TRUE(server->receivedBatches().empty());
}

TEST_F(RunEndToEnd, CredentialsWithAwkwardCharactersReachTheServerIntact) {
  for (const std::string& password :
       {std::string("p;w=d{x}y 'q\" "), std::string("\xC3\xA9t\xC3\xA9\xE2\x82\xAC"),
        std::string("tab\there")}) {
    SCOPED_TRACE(password);
    KivoSchema schema;
    schema.login = "kivo\xC3\xB1";  // a non-ASCII login
    schema.password = password;
    host = testing::RecordingHost();
    const RunReport report = run(schema);
    EXPECT_EQ(report.end, RunEnd::kSucceeded)
        << host.status << (host.messages.empty() ? "" : host.messages[0]);
  }
}

TEST_F(RunEndToEnd, APasswordTheDriverCannotCarryIsRefusedBeforeConnecting) {
  KivoSchema schema;
  server = std::make_unique<StandIn>(schema.scenarioJson());
  web.writeEntry(testing::KivoConnectionValue(server->port()));
  const RunReport report = runAgainstWeb("kivo", "ab};PORT=1");
  EXPECT_EQ(report.end, RunEnd::kFailed);
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
  EXPECT_EQ(host.status.find("ab};"), std::string::npos) << "no password in the status box";
  EXPECT_TRUE(server->allReceivedBatches().empty());
}

TEST_F(RunEndToEnd, ManyFailingRunsInARowLeaveNoHandleBehind) {
  KivoSchema schema;
  schema.indexedColumn = "CHXD.T2011.i13";  // a failure verdict on a connection that opened
  server = std::make_unique<StandIn>(schema.scenarioJson());
  const std::string good = testing::KivoConnectionValue(server->port());
  const std::string noDatabase = testing::KivoConnectionValue(server->port(), "NoSuchDb");
  struct Attempt {
    const std::string* value;
    const char* password;
  };
  const Attempt attempts[] = {{&good, "wrong"}, {&noDatabase, "kivo-pw"}, {&good, "kivo-pw"}};
  int baseline = -1;
  for (int round = 0; round < 10; ++round) {
    for (const Attempt& a : attempts) {
      web.writeEntry(*a.value);
      host = testing::RecordingHost();
      const RunReport report = runAgainstWeb("kivo", a.password);
      EXPECT_NE(report.end, RunEnd::kSucceeded);
    }
    // The first round loads the driver and its libraries; from then on nothing may grow.
    if (round == 0) baseline = testing::OpenDescriptorCount();
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), baseline);
}

}  // namespace
}  // namespace kivo
