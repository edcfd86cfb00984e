#include "upgrade/odbc/odbc_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/standin_process.h"

namespace kivo {
namespace {

using ::testing::AllOf;
using testing::ClosedPort;
using ::testing::Contains;
using ::testing::Each;
using ::testing::Field;
using testing::FreeTdsInstalled;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::StandInTarget;
using ::testing::StartsWith;

TEST(OdbcClient, RefusesATargetItCannotWriteBeforeConnecting) {
  OdbcClient client;
  ConnectionTarget target = StandInTarget(1, "sa", "pw");
  target.logon.password = "S3c};ret";
  const std::optional<Error> error = client.open(target);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->number(), kInvalidArgument);
  EXPECT_THAT(error->description(), Not(HasSubstr("S3c")));
  EXPECT_TRUE(client.openErrors().empty());
}

TEST(OdbcClient, ListsTheDriversErrorsWhenNothingListens) {
  if (!FreeTdsInstalled()) GTEST_SKIP() << "FreeTDS is not installed";
  OdbcClient client;
  const std::optional<Error> error = client.open(StandInTarget(ClosedPort(), "sa", "S3cret;pw"));
  ASSERT_TRUE(error.has_value());

  const std::vector<Diagnostic>& records = client.openErrors();
  EXPECT_THAT(
      records,
      Contains(AllOf(Field(&Diagnostic::sqlState, "08S01"), Field(&Diagnostic::nativeError, 20009),
                     Field(&Diagnostic::message,
                           "Unable to connect: Adaptive Server is unavailable or does not "
                           "exist"))));
  EXPECT_THAT(records, Each(Field(&Diagnostic::message, Not(StartsWith("[")))));
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(error->description(), records.front().message);
  EXPECT_EQ(error->number(),
            records.front().nativeError != 0 ? records.front().nativeError : kUnspecifiedError);
  for (const Diagnostic& record : records) EXPECT_THAT(record.message, Not(HasSubstr("S3cret")));

  // The client stays closed and usable.
  EXPECT_EQ(client.close(), std::nullopt);
  EXPECT_EQ(client.execute(std::vector<std::string>{"SELECT 1"}).error->number(),
            kConnectionClosedError);
}

TEST(OdbcClient, ReleasesItsHandlesAfterFailedOpens) {
  if (!FreeTdsInstalled()) GTEST_SKIP() << "FreeTDS is not installed";
  const ConnectionTarget target = StandInTarget(ClosedPort(), "sa", "pw");
  {
    OdbcClient warmUp;  // the driver manager and the driver keep what they load once
    warmUp.open(target);
  }
  const int before = testing::OpenDescriptorCount();
  OdbcClient reused;
  for (int i = 0; i < 20; ++i) {
    OdbcClient client;
    EXPECT_TRUE(client.open(target).has_value());
    EXPECT_TRUE(reused.open(target).has_value());
  }
  EXPECT_LE(testing::OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace kivo

// ---- Through the real driver to the SQL Server stand-in on 127.0.0.1 ----

namespace kivo {
namespace {

std::string JsonString(const std::string& s) { return nlohmann::json(s).dump(); }

// Logins whose passwords FreeTDS and the driver manager must carry intact.
const std::vector<std::pair<std::string, std::string>> kAwkwardLogins = {
    {"semi", "p;q"},       {"close", "}"},
    {"open", "{"},         {"equals", "a=b"},
    {"lead", " lead"},     {"trail", "trail "},
    {"mixed", "p}q;r={x"}, {"doubled", "m}}n"},
    {"ends", "x}"},        {"Jürgen€", "Pä}ss;wörd𝄞"},
};

std::string Scenario() {
  std::string logins = R"({"name": "sa", "password": "pw", "default_database": "KivoDB"})";
  for (const auto& [name, password] : kAwkwardLogins) {
    logins +=
        R"(, {"name": )" + JsonString(name) + R"(, "password": )" + JsonString(password) + "}";
  }
  return R"({"databases": [{"name": "KivoDB"}], "logins": [)" + logins + "]}";
}

class OdbcClientWithStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FreeTdsInstalled()) GTEST_SKIP() << "FreeTDS is not installed";
  }

  // Opens as sa, failing the test if that does not work.
  void Open(OdbcClient& client, const testing::StandIn& server) {
    const std::optional<Error> error = client.open(StandInTarget(server.port(), "sa", "pw"));
    ASSERT_FALSE(error.has_value()) << error->description();
  }
};

TEST_F(OdbcClientWithStandIn, CredentialsReachTheServerIntact) {
  testing::StandIn server(Scenario());
  for (const auto& [login, password] : kAwkwardLogins) {
    OdbcClient client;
    const std::optional<Error> error = client.open(StandInTarget(server.port(), login, password));
    EXPECT_FALSE(error.has_value()) << login << ": " << error->description();
    EXPECT_EQ(client.close(), std::nullopt);
  }
}

TEST_F(OdbcClientWithStandIn, QueriesBindTheirParametersAndReadEveryValue) {
  // Tx holds as many rows of 0 as a query may return, and a 1.
  std::string values;
  for (int i = 0; i < 100000; ++i) values += "0,";
  testing::StandIn server(R"json({"databases": [{"name": "KivoDB", "tables": [
      {"name": "T]%_'x", "columns": [{"name": "c", "type": "nvarchar(10)"}]},
      {"name": "Tx", "columns": [{"name": "c", "type": "int"}], "data": {"c": [)json" +
                          values + R"json(1]}}]}],
      "logins": [{"name": "sa", "password": "pw"}]})json");
  OdbcClient client;
  Open(client, server);
  const std::string awkward = "T]%_'x";
  // Longer than one read of a value, and past the Basic Multilingual Plane at its end.
  const std::string echo = std::string(3000, 'a') + "ü𝄞";
  const std::string query =
      "SELECT ? AS echo, t.name, c.collation_name FROM sys.tables AS t "
      "JOIN sys.columns AS c ON c.object_id = t.object_id WHERE t.name IN (?, ?)";
  const std::vector<std::string> names = {echo, awkward, "T%"};
  QueryResult r = client.query(query, names);
  ASSERT_FALSE(r.error) << r.error->description();
  EXPECT_EQ(r.columns, (std::vector<std::string>{"echo", "name", "collation_name"}));
  ASSERT_EQ(r.rows.size(), 1u);  // "T%" is a name, not a pattern
  EXPECT_EQ(r.rows[0][0], echo);
  EXPECT_EQ(r.rows[0][1], awkward);
  EXPECT_EQ(r.rows[0][2], "SQL_Latin1_General_CP1_CI_AS");
  EXPECT_EQ(server.records().back().rpc, "sp_executesql");

  const std::vector<std::string> plain = {"", "Tx", "Tx"};
  r = client.query(query, plain);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][0], "");
  EXPECT_EQ(r.rows[0][2], std::nullopt);  // an int has no collation

  // A refused query fails with the server's number, and the connection goes on.
  r = client.query("SELECT nope FROM sys.tables", {});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->number(), 207);
  EXPECT_EQ(server.records().back().rpc, "");  // without parameters: a plain SQL batch

  // A result one row too large fails whole instead of coming back cut short.
  r = client.query("SELECT c FROM dbo.Tx WHERE c = 0", {});
  ASSERT_FALSE(r.error) << r.error->description();
  EXPECT_EQ(r.rows.size(), 100000u);
  r = client.query("SELECT c FROM dbo.Tx", {});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->number(), kOverflow);
  EXPECT_TRUE(r.rows.empty());
  EXPECT_FALSE(client.query("SELECT t.name FROM sys.tables AS t", {}).error);
}

}  // namespace
}  // namespace kivo
