#include "upgrade/upgrade_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "codec/scrambled_value.h"
#include "tests/support/batches.h"
#include "tests/support/fake_database_client.h"
#include "tests/support/recording_host.h"
#include "tests/support/web_directory.h"
#include "upgrade/batches/upgrade_batches.h"
#include "upgrade/run_texts.h"

namespace kivo {
namespace {

using testing::AllStatements;
using testing::Batch;
using testing::FakeServer;
using testing::Line;

const std::string kStoredValue =
    "Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=db01;Initial Catalog=KIVO;"
    "User ID=kivo;Password=stored-secret";

// What the scripted server is sent when nothing is missing: the session settings, then every
// batch's statements.
std::vector<std::string> Sent() {
  std::vector<std::string> all = SessionSettings(std::nullopt);
  for (const std::string& statement : AllStatements()) all.push_back(statement);
  return all;
}

class UpgradeRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    web.writeEntry(kStoredValue);
    host.webDir = web.pathText();
  }

  RunReport run() { return RunUpgrade(host, testing::FakeEnvironment(server)); }

  void fail(const std::string& statement, std::vector<Diagnostic> records) {
    server->failures[statement] = std::move(records);
  }

  testing::WebDirectory web;
  testing::RecordingHost host;
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
};

TEST_F(UpgradeRunTest, EveryBatchSucceeding) {
  const RunReport report = run();
  EXPECT_EQ(host.status, Line("Table CHXD.T2011 columns altered!") +
                             Line("Table MD.CustomerContact columns altered!") +
                             Line("Table CHXD.CustomerContact columns altered!") +
                             Line("Table MD.Customer Columns altered!") +
                             Line("Table CHXD.Customer Columns altered!") +
                             "Kivo client was update successful\r\n");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update successful!"});
  EXPECT_EQ(host.events, (std::vector<std::string>{"statusbox", "busy", "normal", "message"}));
  EXPECT_EQ(host.statusBoxWidth, 6735);
  EXPECT_EQ(server->sent, Sent());
  EXPECT_EQ(server->closes, 1);
  EXPECT_EQ(server->clientsAlive, 0);
  EXPECT_EQ(report.end, RunEnd::kSucceeded);
  ASSERT_TRUE(server->openedWith);
  EXPECT_EQ(server->openedWith->server, "db01");
  EXPECT_EQ(server->openedWith->database, "KIVO");
  EXPECT_EQ(server->openedWith->logon.mode, LogonMode::kWindows);
  EXPECT_EQ(report.displayConnectionString,
            "Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=db01;Initial Catalog=KIVO;"
            "Trusted_Connection = Yes;Integrated Security=SSPI;");
}

TEST_F(UpgradeRunTest, SqlLoginTakesTheTypedCredentialsNotTheStoredOnes) {
  host.sqlLoginMode = true;
  host.login = "admin";
  host.password = "p;w}d";
  run();
  ASSERT_TRUE(server->openedWith);
  EXPECT_EQ(server->openedWith->logon.mode, LogonMode::kSqlLogin);
  EXPECT_EQ(server->openedWith->logon.login, "admin");
  EXPECT_EQ(server->openedWith->logon.password, "p;w}d");
}

TEST_F(UpgradeRunTest, MissingTablesOfTheFirstBatchesAreReportedAndTolerated) {
  fail(Batch(1).statements[4], FakeServer::MissingObject("CHXD.T_HIST"));
  fail(Batch(2).statements[0], FakeServer::MissingObject("MD.CustomerContact"));
  run();
  EXPECT_EQ(host.status, Line("No table T_Hist existing!") +
                             Line("No table MD.CustomerContact existing!") +
                             Line("Table CHXD.CustomerContact columns altered!") +
                             Line("Table MD.Customer Columns altered!") +
                             Line("Table CHXD.Customer Columns altered!") +
                             "Kivo client was update successful\r\n");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update successful!"});
  // Every statement of a batch runs, even after one failed.
  EXPECT_EQ(server->sent, Sent());
  // The run asked whether each table exists, once.
  EXPECT_EQ(server->askedAbout, (std::vector<std::string>{"CHXD.T_HIST", "MD.CustomerContact"}));
}

// An ALTER the server answers with 4902 on a table that exists, or on one the login may not
// see, is a failure: never "No table ... existing!" and a success verdict.
TEST_F(UpgradeRunTest, TablesTheLoginMayNotAlterOrSeeFailTheRun) {
  std::vector<std::string> everyTable;
  for (const UpgradeBatch& b : UpgradeBatches()) {
    for (const AlteredColumn& c : b.altered) {
      const std::string table = c.schema + "." + c.table;
      if (everyTable.empty() || everyTable.back() != table) everyTable.push_back(table);
    }
  }
  const std::string refused = " The table exists: the login may not alter ";
  const std::string unseen =
      " (no VIEW DEFINITION permission): whether it is missing or may not be altered cannot be "
      "told.";
  struct Case {
    const char* name;
    std::set<std::string> refused, invisible;
  };
  for (const Case& c : std::vector<Case>{
           {"one table", {"CHXD.T2011"}, {}},
           {"every table", {everyTable.begin(), everyTable.end()}, {}},
           {"invisible", {}, {"CHXD.T_HIST"}},
       }) {
    SCOPED_TRACE(c.name);
    server = std::make_shared<FakeServer>();
    server->refusedTables = c.refused;
    server->invisibleTables = c.invisible;
    for (const UpgradeBatch& b : UpgradeBatches()) {
      for (std::size_t i = 0; i < b.statements.size(); ++i) {
        const std::string table = b.altered[i].schema + "." + b.altered[i].table;
        if (c.refused.contains(table) || c.invisible.contains(table))
          fail(b.statements[i], FakeServer::MissingObject(table));
      }
    }
    host = testing::RecordingHost();
    host.webDir = web.pathText();
    const RunReport report = run();
    EXPECT_EQ(report.end, RunEnd::kFailed);
    EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
    EXPECT_EQ(host.status.find("existing!"), std::string::npos) << host.status;
    const std::string table = c.refused.empty() ? *c.invisible.begin() : "CHXD.T2011";
    const std::string cause =
        c.refused.empty() ? " The login may not see " + table + unseen : refused + table + ".";
    EXPECT_TRUE(host.status.starts_with("Cannot find the object \"" + table +
                                        "\" because it does not exist or you do not have "
                                        "permissions." +
                                        cause + "\r\n" + Batch(1).text() + "\r\n"))
        << host.status;
    // One question per table, and no history table is copied from a base that exists.
    const std::set<std::string> asked(server->askedAbout.begin(), server->askedAbout.end());
    EXPECT_EQ(asked.size(), server->askedAbout.size());
    EXPECT_EQ(server->sent, Sent());
  }
}

struct HistoryCase {
  const char* name;
  int batch;
  std::vector<Diagnostic> historyAnswer;  // empty: the history table is created
  std::string expectedStatus;             // what the batch writes
  bool failsTheRun;
  bool baseFails = false;  // with "Cannot find the object" too
};

class HistoryStepTest : public UpgradeRunTest, public ::testing::WithParamInterface<HistoryCase> {};

TEST_P(HistoryStepTest, ClassifiesTheHistoryStatementByItsOwnOutcome) {
  const HistoryCase& c = GetParam();
  const UpgradeBatch& batch = Batch(c.batch);
  const auto missing = FakeServer::MissingObject("X_Hist");
  fail(batch.statements[2], missing);
  if (c.baseFails) fail(batch.statements[0], FakeServer::MissingObject("X"));
  if (!c.historyAnswer.empty()) fail(batch.history->statement, c.historyAnswer);
  const RunReport report = run();

  std::string expected;
  for (int n = 1; n <= 5; ++n)
    expected += n == c.batch ? c.expectedStatus : Line(Batch(n).alteredLine);
  expected += c.failsTheRun ? "" : "Kivo client was update successful\r\n";
  EXPECT_EQ(host.status.substr(0, expected.size()), expected);
  EXPECT_EQ(report.end, c.failsTheRun ? RunEnd::kFailed : RunEnd::kSucceeded);
  // The history statement follows its batch and comes before the next one.
  std::vector<std::string> sent = Sent();
  const auto afterBatch = std::find(sent.begin(), sent.end(), batch.statements.back()) + 1;
  sent.insert(afterBatch, batch.history->statement);
  EXPECT_EQ(server->sent, sent);
}

INSTANTIATE_TEST_SUITE_P(
    Batches, HistoryStepTest,
    ::testing::Values(
        HistoryCase{"created3", 3, {}, Line("Table CHXD.CustomerContact_Hist is created!"), false},
        HistoryCase{"created4", 4, {}, Line("Table MD.Customer_Hist is created!"), false},
        HistoryCase{"created5", 5, {}, Line("Table CHXD.Customer_Hist is created!"), false},
        // The server says the history table is missing, yet its copy's name is taken.
        HistoryCase{"nameTaken", 4,
                    FakeServer::Message(2714,
                                        "There is already an object named 'Customer_HIST' in the "
                                        "database.",
                                        "42S01"),
                    "There is already an object named 'Customer_HIST' in the database.\r\n" +
                        Batch(4).text() + "\r\n",
                    true},
        HistoryCase{"baseMissing", 5,
                    FakeServer::Message(208, "Invalid object name 'CHXD.Customer'.", "42S02"),
                    "Invalid object name 'CHXD.Customer'.\r\n", false, true},
        // The base was altered a moment ago: its disappearance is no missing schema part.
        HistoryCase{"baseVanished", 5,
                    FakeServer::Message(208, "Invalid object name 'CHXD.Customer'.", "42S02"),
                    "Invalid object name 'CHXD.Customer'.\r\n" + Batch(5).text() + "\r\n", true},
        HistoryCase{
            "refused", 3,
            FakeServer::Message(262, "CREATE TABLE permission denied in database 'KIVO'."),
            "CREATE TABLE permission denied in database 'KIVO'.\r\n" + Batch(3).text() + "\r\n",
            true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpgradeRunTest, TheSessionIsSetBeforeBatchOneAndARefusedSettingAltersNothing) {
  RunEnvironment environment = testing::FakeEnvironment(server);
  environment.lockTimeoutSeconds = 2;
  RunReport report = RunUpgrade(host, environment);
  const std::vector<std::string> settings = {"SET ANSI_WARNINGS ON;",
                                             "SET IMPLICIT_TRANSACTIONS OFF;",
                                             "SET XACT_ABORT OFF;", "SET LOCK_TIMEOUT 2000;"};
  ASSERT_GT(server->sent.size(), settings.size());
  EXPECT_EQ(std::vector<std::string>(server->sent.begin(), server->sent.begin() + 4), settings);
  EXPECT_EQ(server->sent[4], Batch(1).statements[0]);
  EXPECT_EQ(report.sessionSettings, settings);
  EXPECT_EQ(report.end, RunEnd::kSucceeded);

  host = testing::RecordingHost();
  host.webDir = web.pathText();
  server->sent.clear();
  const std::string refused = "SET option refused.";
  fail("SET XACT_ABORT OFF;", FakeServer::Message(1234, refused));
  report = run();
  EXPECT_EQ(host.status, refused + "\r\nSET XACT_ABORT OFF;\r\n" + refused + "\r\n");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
  EXPECT_EQ(server->sent, SessionSettings(std::nullopt));
  EXPECT_TRUE(report.batches.empty());
  EXPECT_EQ(server->closes, 2);
}

TEST_F(UpgradeRunTest, AnUnrecognisedFailureDoesNotTaintLaterBatches) {
  const std::string conversion = "Arithmetic overflow error converting expression.";
  fail(Batch(1).statements[0], FakeServer::Message(8115, conversion));
  run();
  EXPECT_EQ(host.status, conversion + "\r\n" + Batch(1).text() + "\r\n" +
                             Line("Table MD.CustomerContact columns altered!") +
                             Line("Table CHXD.CustomerContact columns altered!") +
                             Line("Table MD.Customer Columns altered!") +
                             Line("Table CHXD.Customer Columns altered!") + conversion + "\r\n");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
  EXPECT_EQ(host.events,
            (std::vector<std::string>{"statusbox", "busy", "normal", "exit", "message"}));
}

TEST_F(UpgradeRunTest, ALockTimeoutNamesTheTableAnotherSessionHolds) {
  fail(Batch(2).statements[1],
       FakeServer::Message(1222, "Lock request time out period exceeded.", "HYT00"));
  const RunReport report = run();
  const std::string line =
      "Lock request time out period exceeded. Another session holds a lock on "
      "MD.CustomerContact.";
  EXPECT_NE(host.status.find(Line(Batch(1).alteredLine) + line + "\r\n" + Batch(2).text()),
            std::string::npos)
      << host.status;
  EXPECT_TRUE(host.status.ends_with(line + "\r\n"));
  ASSERT_TRUE(report.failure);
  EXPECT_EQ(report.failure->number(), 1222);
}

TEST_F(UpgradeRunTest, ALaterMissingTableDoesNotWipeAnEarlierFailure) {
  fail(Batch(1).statements[0], FakeServer::Message(8115, "first"));
  fail(Batch(2).statements[0], FakeServer::MissingObject("MD.CustomerContact"));
  fail(Batch(4).statements[1], FakeServer::Message(1234, "second"));
  const RunReport report = run();
  EXPECT_EQ(report.end, RunEnd::kFailed);
  ASSERT_TRUE(report.failure);
  EXPECT_EQ(report.failure->description(), "second");  // the last unrecognised failure
  EXPECT_TRUE(host.status.ends_with("\r\nsecond\r\n"));
  EXPECT_NE(host.status.find(Line("No table MD.CustomerContact existing!")), std::string::npos);
}

TEST_F(UpgradeRunTest, EveryRecordOfAFailingStatementIsReported) {
  fail(Batch(2).statements[1],
       {{"42000", 5074, "The index 'IX_CC_Address' is dependent on column 'Address'."},
        {"42000", 4922,
         "ALTER TABLE ALTER COLUMN Address failed because one or more objects access this "
         "column."}});
  run();
  EXPECT_NE(host.status.find("The index 'IX_CC_Address' is dependent on column 'Address'.\r\n"
                             "ALTER TABLE ALTER COLUMN Address failed because one or more objects "
                             "access this column.\r\n" +
                             Batch(2).text() + "\r\n"),
            std::string::npos);
}

TEST_F(UpgradeRunTest, AConnectionLostMidRunFailsEveryLaterBatch) {
  server->dropAfter = static_cast<int>(SessionSettings(std::nullopt).size() +
                                       Batch(1).statements.size() + Batch(2).statements.size());
  const RunReport report = run();
  // The batch that met the server's going has the driver's word for it; later ones find no link.
  std::string expected = Line(Batch(1).alteredLine) + Line(Batch(2).alteredLine) +
                         "Unexpected EOF from the server\r\n" + Batch(3).text() + "\r\n";
  for (int n = 4; n <= 5; ++n)
    expected += "Communication link failure\r\n" + Batch(n).text() + "\r\n";
  expected += "Communication link failure\r\n";
  EXPECT_EQ(host.status, expected);
  EXPECT_EQ(report.end, RunEnd::kFailed);
  EXPECT_EQ(server->clientsAlive, 0);
}

// Every way the transaction of an atomic run can end, as the scripted server tells the run
// where it stands after a failure: what is sent, and what the verdict says of the changes.
TEST_F(UpgradeRunTest, AnAtomicRunCommitsOnlyWithTheSuccessVerdict) {
  const std::string failing = Batch(2).statements[0];
  const auto deadlock = FakeServer::Message(1205, "Deadlocked.");
  const std::vector<Diagnostic> lost = {{"08S01", 0, "Communication link failure"}};
  struct Case {
    const char* name;
    std::map<std::string, std::vector<Diagnostic>> failures;
    std::vector<std::string> state;  // @@TRANCOUNT and XACT_STATE() after a failure
    std::size_t sent;                // of the batches' statements
    const char* end;                 // the last statement
    TransactionEnd transaction;
    std::string lastLines;
  };
  const std::string rolledBack = "Deadlocked.\r\nrolled back: the database is as it was\r\n";
  const std::vector<Case> cases = {
      {"success",
       {},
       {},
       20,
       "COMMIT TRANSACTION",
       TransactionEnd::kCommitted,
       "Kivo client was update successful\r\n"},
      {"still open: the batches go on",
       {{failing, deadlock}},
       {"1", "1"},
       20,
       "ROLLBACK TRANSACTION",
       TransactionEnd::kRolledBack,
       rolledBack},
      {"uncommittable: nothing more is sent",
       {{failing, deadlock}},
       {"1", "-1"},
       7,
       "ROLLBACK TRANSACTION",
       TransactionEnd::kRolledBack,
       rolledBack},
      {"ended by the server",
       {{failing, deadlock}},
       {"0", "0"},
       7,
       failing.c_str(),
       TransactionEnd::kRolledBackByServer,
       "Deadlocked.\r\nrolled back by the server: the database is as it was\r\n"},
      {"the state cannot be read",
       {{failing, deadlock}},
       {},
       7,
       "ROLLBACK TRANSACTION",
       TransactionEnd::kRolledBack,
       rolledBack},
      {"lost during COMMIT",
       {{"COMMIT TRANSACTION", lost}},
       {},
       20,
       "COMMIT TRANSACTION",
       TransactionEnd::kCommitUnknown,
       "Communication link failure\r\n" + std::string(kCommitUnknownLine) + "\r\n"},
      {"a refused ROLLBACK",
       {{failing, deadlock}, {"ROLLBACK TRANSACTION", deadlock}},
       {"1", "1"},
       20,
       "ROLLBACK TRANSACTION",
       TransactionEnd::kLeftToServer,
       "Deadlocked.\r\n" + std::string(kLeftToServerLine) + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server = std::make_shared<FakeServer>();
    server->failures = c.failures;
    if (!c.state.empty()) {
      server->answerQuery = [&](const std::string&, std::span<const std::string>) {
        QueryResult result;
        result.columns = {"", ""};
        result.rows = {{c.state[0], c.state[1]}};
        return result;
      };
    }
    host = testing::RecordingHost();
    host.webDir = web.pathText();
    RunEnvironment environment = testing::FakeEnvironment(server);
    environment.atomic = true;
    const RunReport report = RunUpgrade(host, environment);
    // The session's settings come first, outside the transaction.
    std::vector<std::string> sent = server->sent;
    const auto begin = std::find(sent.begin(), sent.end(), "BEGIN TRANSACTION");
    EXPECT_TRUE(std::all_of(sent.begin(), begin, [](auto& s) { return s.starts_with("SET "); }));
    sent.erase(sent.begin(), begin);
    std::erase(sent, "SELECT @@TRANCOUNT, XACT_STATE()");
    ASSERT_EQ(sent.size(), c.sent + 1 + (sent.back() == failing ? 0 : 1));
    EXPECT_EQ(sent.front(), "BEGIN TRANSACTION");
    const std::vector<std::string> all = AllStatements();
    EXPECT_EQ(std::vector<std::string>(sent.begin() + 1, sent.begin() + 1 + c.sent),
              std::vector<std::string>(all.begin(), all.begin() + c.sent));
    EXPECT_EQ(sent.back(), c.end);
    ASSERT_TRUE(report.transaction);
    EXPECT_EQ(report.transaction->end, c.transaction);
    EXPECT_TRUE(host.status.ends_with(c.lastLines)) << host.status;
    EXPECT_EQ(report.end,
              c.transaction == TransactionEnd::kCommitted ? RunEnd::kSucceeded : RunEnd::kFailed);
  }
}

TEST_F(UpgradeRunTest, AFailingCloseFailsTheRun) {
  server->closeError = Error(-2147467259, "Connection was not closed cleanly");
  run();
  EXPECT_TRUE(
      host.status.ends_with(Line(Batch(5).alteredLine) + "Connection was not closed cleanly\r\n"));
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
}

TEST_F(UpgradeRunTest, ARefusedOpenShowsItsFirstErrorAndNothingElse) {
  server->openErrors = {{"42000", 18456, "Login failed for user 'sa'."},
                        {"08001", 0, "Unable to connect to data source"}};
  const RunReport report = run();
  EXPECT_EQ(host.status, "");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Login failed for user 'sa'.\r\n"});
  EXPECT_EQ(host.events, (std::vector<std::string>{"statusbox", "busy", "normal", "message"}));
  EXPECT_TRUE(server->sent.empty());
  EXPECT_EQ(report.end, RunEnd::kRefused);
  EXPECT_EQ(server->clientsAlive, 0);
}

TEST_F(UpgradeRunTest, AnOpenThatFailsSilentlySendsNoBatch) {
  server->openError = Error(-2147467259, "Driver not capable");
  run();
  EXPECT_EQ(host.status, "Driver not capable\r\n");
  EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
  EXPECT_TRUE(server->sent.empty());
}

TEST_F(UpgradeRunTest, ConfigurationErrorsEndInTheFailureVerdictWithoutConnecting) {
  struct Case {
    const char* name;
    std::string webConfig;  // empty: no file at all
    std::string status;
  };
  const std::vector<Case> cases = {
      {"no file", "", "File not found: " + (web.path() / "web.config").string() + "\r\n"},
      {"no entry", "<configuration />", "Invalid procedure call or argument\r\n"},
      {"value no number", testing::WebConfigWithEntry("abc"), "Type mismatch\r\n"},
      {"unknown provider",
       testing::WebConfigWithEntry(
           EncodeValue("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x;User ID=a")),
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    host = testing::RecordingHost();
    host.webDir = web.pathText();
    std::filesystem::remove(web.path() / "web.config");
    if (!c.webConfig.empty()) web.write(c.webConfig);
    const RunReport report = run();
    if (!c.status.empty()) {
      EXPECT_EQ(host.status, c.status);
    }
    EXPECT_FALSE(host.status.empty());
    EXPECT_EQ(host.messages, std::vector<std::string>{"Update NOT successful. Contact Admin!"});
    EXPECT_EQ(host.events,
              (std::vector<std::string>{"statusbox", "busy", "normal", "exit", "message"}));
    EXPECT_EQ(report.end, RunEnd::kFailed);
    EXPECT_EQ(server->opens, 0);
  }
}

TEST_F(UpgradeRunTest, InputPhase) {
  host.client = "";
  run();
  EXPECT_TRUE(host.status.starts_with("Client is empty. Assump default (CHXD)\r\nTable"));

  // An empty data directory ends the run without a trace, after the client line.
  host = testing::RecordingHost();
  host.client = "";
  host.dataDir = "";
  host.webDir = web.pathText();
  const RunReport report = run();
  EXPECT_EQ(host.status, "Client is empty. Assump default (CHXD)\r\n");
  EXPECT_TRUE(host.events.empty());
  EXPECT_EQ(report.end, RunEnd::kNotStarted);

  // Blanks are not empty; one trailing separator is dropped from the web directory.
  host = testing::RecordingHost();
  host.client = " ";
  host.webDir = web.pathText() + "/";
  run();
  EXPECT_TRUE(host.status.starts_with("Table CHXD.T2011"));
}

TEST_F(UpgradeRunTest, DryRunConnectsToNothing) {
  RunEnvironment environment = testing::FakeEnvironment(server);
  environment.dryRun = true;
  const RunReport report = RunUpgrade(host, environment);
  EXPECT_EQ(report.end, RunEnd::kPrepared);
  EXPECT_TRUE(report.target.has_value());
  EXPECT_EQ(server->opens, 0);
  EXPECT_TRUE(host.messages.empty());
}

}  // namespace
}  // namespace kivo
