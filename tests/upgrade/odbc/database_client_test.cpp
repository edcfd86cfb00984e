// One suite for both database clients: the ODBC client through FreeTDS to the stand-in, and
// the scripted client the run's tests use, told the records the stand-in sends for the same
// statements. What the ODBC client makes of them is the reference; the scripted one must not
// drift from it.
#include "upgrade/odbc/database_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fake_database_client.h"
#include "tests/support/kivo_schema.h"
#include "tests/support/standin_process.h"
#include "upgrade/odbc/odbc_client.h"
#include "upgrade/odbc/odbc_diagnostics.h"

namespace kivo {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using testing::FakeServer;
using ::testing::Field;
using ::testing::HasSubstr;
using testing::KivoSchema;
using ::testing::Not;
using ::testing::StartsWith;

enum class Client { kScripted, kOdbc };
void PrintTo(Client client, std::ostream* out) {
  *out << (client == Client::kOdbc ? "Odbc" : "Scripted");
}

class DatabaseClientTest : public ::testing::TestWithParam<Client> {
 protected:
  void SetUp() override {
    if (odbc() && !testing::FreeTdsInstalled()) GTEST_SKIP() << "FreeTDS is not installed";
  }

  bool odbc() const { return GetParam() == Client::kOdbc; }

  // The stand-in serves `schema` to the ODBC client; `script` tells the scripted server what
  // the stand-in answers.
  void serve(const KivoSchema& schema, const std::function<void(FakeServer&)>& script = {}) {
    schema_ = schema;
    if (odbc()) {
      standIn = std::make_unique<testing::StandIn>(schema.scenarioJson());
    } else if (script) {
      script(*fake);
    }
  }

  std::unique_ptr<DatabaseClient> makeClient() {
    if (odbc()) return std::make_unique<OdbcClient>();
    return testing::FakeEnvironment(fake).makeClient();
  }

  ConnectionTarget target(const std::string& password, const std::string& database = "KivoDB") {
    return testing::StandInTarget(standIn ? standIn->port() : 1, schema_.login, password, database);
  }

  // A client open as the schema's login, or a failed test.
  std::unique_ptr<DatabaseClient> open(int statementTimeoutSeconds = 0) {
    std::unique_ptr<DatabaseClient> client = makeClient();
    ConnectionTarget t = target(schema_.password);
    t.statementTimeoutSeconds = statementTimeoutSeconds;
    const std::optional<Error> error = client->open(t);
    EXPECT_FALSE(error.has_value()) << error->description();
    return client;
  }

  // The statements the server received, without the driver's own.
  std::vector<std::string> received() const {
    return standIn ? standIn->receivedBatches() : fake->sent;
  }

  // The column's type in the stand-in's catalog; the scripted server keeps none.
  void expectColumnType(const std::string& table, const std::string& column,
                        const std::string& type) const {
    if (!standIn) return;
    EXPECT_EQ(standIn->columnType(table, column), type) << table << "." << column;
  }

  std::unique_ptr<testing::StandIn> standIn;  // for the ODBC client
  std::shared_ptr<FakeServer> fake = std::make_shared<FakeServer>();
  KivoSchema schema_;
};

INSTANTIATE_TEST_SUITE_P(Clients, DatabaseClientTest,
                         ::testing::Values(Client::kScripted, Client::kOdbc), [](const auto& info) {
                           return info.param == Client::kOdbc ? "Odbc" : "Scripted";
                         });

const std::string kAlterI13 = "ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250);";
const std::string kAlterI15 = "ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250);";

TEST_P(DatabaseClientTest, DoesNothingWhileClosed) {
  const std::unique_ptr<DatabaseClient> client = makeClient();
  const BatchOutcome outcome = client->execute(std::vector<std::string>{"SELECT 1"});
  EXPECT_TRUE(outcome.statements.empty());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->number(), kConnectionClosedError);
  EXPECT_EQ(client->query("SELECT 1", {}).error->number(), kConnectionClosedError);
  EXPECT_EQ(client->close(), std::nullopt);
  EXPECT_TRUE(client->openErrors().empty());
}

TEST_P(DatabaseClientTest, OpensDespiteInformationalRecordsAndKeepsThemOnStatements) {
  const std::vector<std::string> batch = {"USE KivoDB; ", kAlterI13};
  serve({}, [&](FakeServer& s) {
    s.notes[batch[0]] = {{"01000", 5701, "Changed database context to 'KivoDB'."}};
  });
  const std::unique_ptr<DatabaseClient> client = open();  // the login brings 5701 and 5703
  EXPECT_TRUE(client->openErrors().empty());

  const BatchOutcome outcome = client->execute(batch);
  EXPECT_FALSE(outcome.error.has_value());
  ASSERT_EQ(outcome.statements.size(), 2u);
  EXPECT_TRUE(outcome.statements[0].succeeded);
  EXPECT_THAT(outcome.statements[0].diagnostics,
              Contains(AllOf(Field(&Diagnostic::sqlState, StartsWith("01")),
                             Field(&Diagnostic::nativeError, 5701))));
  EXPECT_TRUE(outcome.statements[1].succeeded);  // DDL: SQL_NO_DATA
  expectColumnType("CHXD.T2011", "i13", "nvarchar(250)");
  EXPECT_EQ(received(), batch);
  EXPECT_EQ(client->close(), std::nullopt);
}

TEST_P(DatabaseClientTest, AFailingStatementDoesNotStopTheNextOne) {
  const std::vector<std::string> batch = {
      "ALTER TABLE CHXD.[Tä€𝄞] ALTER COLUMN  i13 nvarchar(250); ",
      "ALTER TABLE CHXD.CustomerContact ALTER COLUMN N nvarchar(250); ", kAlterI15};
  KivoSchema schema;
  schema.indexedColumn = "CHXD.CustomerContact.N";
  serve(schema, [&](FakeServer& s) {
    s.failures[batch[0]] = FakeServer::MissingObject("CHXD.[Tä€𝄞]");
    s.failures[batch[1]] = {
        {"42000", 5074, "The index 'IX_CustomerContact' is dependent on column 'N'."},
        {"42000", 4922,
         "ALTER TABLE ALTER COLUMN N failed because one or more objects access this column."}};
  });
  const BatchOutcome outcome = open()->execute(batch);

  ASSERT_EQ(outcome.statements.size(), 3u);
  EXPECT_FALSE(outcome.statements[0].succeeded);
  EXPECT_FALSE(outcome.statements[1].succeeded);
  EXPECT_TRUE(outcome.statements[2].succeeded);
  expectColumnType("CHXD.T2011", "i15", "nvarchar(250)");
  EXPECT_EQ(received(), batch);

  // The batch's error is the first failing statement's, as the server wrote it, non-ASCII kept.
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->number(), 4902);
  EXPECT_EQ(outcome.error->description(),
            "Cannot find the object \"CHXD.[Tä€𝄞]\" because it does not exist or you do not "
            "have permissions.");
  EXPECT_THAT(
      outcome.statements[1].diagnostics,
      ElementsAre(Field(&Diagnostic::nativeError, 5074), Field(&Diagnostic::nativeError, 4922)));
}

TEST_P(DatabaseClientTest, NameResolutionEndsTheBatch) {
  const std::vector<std::string> batch = {
      "SELECT  Customer.*, Cast(Null as Bigint) As ChangeU, Cast (Null as Bigint) As ChangeD INTO "
      "MD.Customer_Hist FROM MD.Customer; ",
      kAlterI13};
  KivoSchema schema;
  schema.missing = {"MD.Customer", "MD.Customer_Hist"};
  serve(schema, [&](FakeServer& s) {
    s.failures[batch[0]] = FakeServer::Message(208, "Invalid object name 'MD.Customer'.", "42S02");
  });
  const std::unique_ptr<DatabaseClient> client = open();
  const BatchOutcome outcome = client->execute(batch);
  ASSERT_EQ(outcome.statements.size(), 1u);
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->number(), 208);
  EXPECT_EQ(outcome.error->description(), "Invalid object name 'MD.Customer'.");
  EXPECT_EQ(received(), std::vector<std::string>{batch[0]});
  expectColumnType("CHXD.T2011", "i13", "varchar(50)");

  // The connection itself is fine.
  EXPECT_FALSE(client->execute(std::vector<std::string>{batch[1]}).error.has_value());
}

TEST_P(DatabaseClientTest, ListsEveryRecordOfARefusedLogin) {
  serve({}, [](FakeServer& s) {
    s.openErrors = {{"42000", 18456, "Login failed for user 'kivo'."},
                    {"08001", 0, "Unable to connect to data source"}};
  });
  {
    const std::unique_ptr<DatabaseClient> client = makeClient();
    const std::optional<Error> error = client->open(target("wrong;pw"));
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(client->openErrors(),
                Contains(AllOf(Field(&Diagnostic::sqlState, "42000"),
                               Field(&Diagnostic::nativeError, 18456),
                               Field(&Diagnostic::message, "Login failed for user 'kivo'."))));
    EXPECT_EQ(error->description(), client->openErrors().front().message);
    EXPECT_THAT(error->description(), Not(HasSubstr("wrong")));
  }
  {
    // The driver puts 18456 first; the server sent 4060 first, and so the client lists it.
    fake->openErrors = {{"42000", 18456, "Login failed for user 'kivo'."},
                        {"42000", 4060,
                         "Cannot open database \"NoSuchDb\" requested by the login. The login "
                         "failed."},
                        {"08001", 0, "Unable to connect to data source"}};
    const std::unique_ptr<DatabaseClient> client = makeClient();
    const std::optional<Error> error = client->open(target(schema_.password, "NoSuchDb"));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->number(), 4060);
    ASSERT_GE(client->openErrors().size(), 2u);
    EXPECT_EQ(client->openErrors()[0].nativeError, 4060);
    EXPECT_EQ(client->openErrors()[1].nativeError, 18456);
  }
}

TEST_P(DatabaseClientTest, ALostConnectionEndsTheBatchAndFailsWhatFollows) {
  const std::vector<std::string> batch = {
      kAlterI13, kAlterI15, "ALTER TABLE CHXD.CustomerContact ALTER COLUMN Address nvarchar(250);"};
  KivoSchema schema;
  schema.dropAtRequest = 2;
  serve(schema, [](FakeServer& s) { s.dropAfter = 1; });
  const std::unique_ptr<DatabaseClient> client = open();
  const BatchOutcome outcome = client->execute(batch);
  ASSERT_EQ(outcome.statements.size(), 2u);
  EXPECT_TRUE(outcome.statements[0].succeeded);
  EXPECT_FALSE(outcome.statements[1].succeeded);
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->number(), 20017);
  EXPECT_THAT(outcome.error->description(), HasSubstr("Unexpected EOF from the server"));

  const BatchOutcome later = client->execute(std::vector<std::string>{batch[2]});
  ASSERT_TRUE(later.error.has_value());
  EXPECT_NE(later.error->number(), 0);
  EXPECT_EQ(later.error->description(), "Communication link failure");
  EXPECT_EQ(client->query("SELECT 1", {}).error->description(), "Communication link failure");
  expectColumnType("CHXD.CustomerContact", "Address", "varchar(50)");
  client->close();  // whatever the driver says about a dead link, the handles go
}

TEST_P(DatabaseClientTest, ATimeoutFailsOnlyItsStatement) {
  const std::vector<std::string> batch = {kAlterI13 + " ", kAlterI15};
  KivoSchema schema;
  schema.faultDetails = R"("delay_ms": 4000)";
  serve(schema, [&](FakeServer& s) {
    for (const std::string& statement : batch) {
      s.failures[statement] = {{"HYT00", 0, "Timeout expired"},
                               {"HY008", 0, "Operation was cancelled"}};
    }
  });
  const BatchOutcome outcome = open(1)->execute(batch);
  ASSERT_EQ(outcome.statements.size(), 2u);
  EXPECT_THAT(outcome.statements[0].diagnostics, Contains(Field(&Diagnostic::sqlState, "HYT00")));
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->number(), kQueryTimeoutError);
  expectColumnType("CHXD.T2011", "i13", "varchar(50)");
}

}  // namespace
}  // namespace kivo
