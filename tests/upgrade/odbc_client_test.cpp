#include "upgrade/odbc_client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "upgrade/oledb_connection_string.h"

namespace kivo {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::Each;
using ::testing::Field;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

bool FreeTdsInstalled() {
  const std::vector<std::string> drivers = InstalledOdbcDrivers();
  return std::find(drivers.begin(), drivers.end(), "FreeTDS") != drivers.end();
}

// A port on 127.0.0.1 that nothing listens on: bound by us, then let go.
int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "no free port";
  }
  close(fd);
  return ntohs(address.sin_port);
}

int OpenFileDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

ConnectionTarget TargetOnPort(int port, const std::string& password = "pw") {
  ConnectionTarget target = TranslateConnection(
      "Provider=SQLOLEDB.1;Data Source=127.0.0.1," + std::to_string(port) + ";Initial Catalog=db;",
      {LogonMode::kSqlLogin, "sa", password}, {"FreeTDS"}, "");
  target.loginTimeoutSeconds = 5;
  return target;
}

TEST(WithoutDriverTags, LeavesWhatTheServerOrComponentWrote) {
  struct Case {
    std::string message;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"[FreeTDS][SQL Server]Invalid object name 'T'.", "Invalid object name 'T'."},
      {"[unixODBC][Driver Manager]Data source name not found", "Data source name not found"},
      {"[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Login failed for user 'sa'.",
       "Login failed for user 'sa'."},
      {"[Microsoft][ODBC Driver 18 for SQL Server]Login timeout expired", "Login timeout expired"},
      {"[Microsoft][ODBC Driver Manager] Data source name not found", "Data source name not found"},
      {"[unixODBC][FreeTDS][SQL Server]Unexpected EOF from the server",
       "Unexpected EOF from the server"},
      // A server text that itself starts with a bracket keeps it.
      {"[FreeTDS][SQL Server][dbo].[T] is locked", "[dbo].[T] is locked"},
      {"No tags at all", "No tags at all"},
      {"[unterminated tag", "[unterminated tag"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(WithoutDriverTags(c.message), c.text) << c.message;
}

TEST(StatementError, NumbersByTheFirstErrorAndJoinsEveryMessage) {
  struct Case {
    std::vector<Diagnostic> records;
    std::int32_t number;
    std::string description;
  };
  const std::vector<Case> cases = {
      {{{"42000", 5074, "The index 'IX_T_c' is dependent on column 'c'."},
        {"42000", 4922,
         "ALTER TABLE ALTER COLUMN c failed because one or more objects access "
         "this column."}},
       5074,
       "The index 'IX_T_c' is dependent on column 'c'.\r\nALTER TABLE ALTER COLUMN c failed "
       "because one or more objects access this column."},
      // An informational record in front gives no number.
      {{{"01000", 0, "printed"}, {"42S02", 208, "Invalid object name 'T'."}},
       208,
       "printed\r\nInvalid object name 'T'."},
      {{{"HYT00", 0, "Query timeout expired"}}, kQueryTimeoutError, "Query timeout expired"},
      {{{"08S01", 0, "Communication link failure"}},
       kUnspecifiedError,
       "Communication link failure"},
  };
  for (const Case& c : cases) {
    const Error error = StatementError(c.records);
    EXPECT_EQ(error.number(), c.number) << c.description;
    EXPECT_EQ(error.description(), c.description);
  }
  EXPECT_NE(StatementError({}).number(), 0);
}

TEST(EndsBatch, OnlyNameResolutionAndALostConnection) {
  struct Case {
    std::vector<Diagnostic> records;
    bool ends;
  };
  const std::vector<Case> cases = {
      {{{"42S02", 208, "Invalid object name 'T'."}}, true},
      {{{"01000", 0, "x"}, {"42S02", 208, "Invalid object name 'T'."}}, true},
      {{{"08S01", 0, "Communication link failure"}}, true},
      {{{"08001", 0, "Unable to connect"}}, true},
      {{{"01000", 20017, "Unexpected EOF from the server"}, {"HY000", 0, "x"}}, true},
      {{{"HY000", 20047, "DBPROCESS is dead or not enabled"}}, true},
      {{{"42000", 4902, "Cannot find the object \"T\""}}, false},
      {{{"42S01", 2714, "There is already an object named 'T'"}}, false},
      {{{"42000", 5074, "dependent"}, {"42000", 4922, "failed"}}, false},
      {{{"HYT00", 0, "Query timeout expired"}}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EndsBatch(c.records), c.ends)
        << (c.records.empty() ? "none" : c.records.front().sqlState);
  }
}

TEST(OdbcClient, DoesNothingWhileClosed) {
  OdbcClient client;
  const std::vector<std::string> statements = {"SELECT 1"};
  const BatchOutcome outcome = client.execute(statements);
  EXPECT_TRUE(outcome.statements.empty());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->number(), kConnectionClosedError);
  EXPECT_EQ(client.close(), std::nullopt);
  EXPECT_TRUE(client.openErrors().empty());
}

TEST(OdbcClient, RefusesATargetItCannotWriteBeforeConnecting) {
  OdbcClient client;
  ConnectionTarget target = TargetOnPort(1);
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
  const std::optional<Error> error = client.open(TargetOnPort(ClosedPort(), "S3cret;pw"));
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
  const ConnectionTarget target = TargetOnPort(ClosedPort());
  {
    OdbcClient warmUp;  // the driver manager and the driver keep what they load once
    warmUp.open(target);
  }
  const int before = OpenFileDescriptors();
  OdbcClient reused;
  for (int i = 0; i < 20; ++i) {
    OdbcClient client;
    EXPECT_TRUE(client.open(target).has_value());
    EXPECT_TRUE(reused.open(target).has_value());
  }
  EXPECT_LE(OpenFileDescriptors(), before);
}

}  // namespace
}  // namespace kivo
