// The C++ launcher of the stand-in, driven through the real FreeTDS driver.
#include "tests/support/standin_process.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kivo::testing {
namespace {

const char* const kScenario = R"json({
  "databases": [
    {"name": "KivoDB", "schemas": ["CHXD", "MD"],
     "tables": [
       {"schema": "CHXD", "name": "T2011", "rows": 4,
        "columns": [{"name": "i13", "type": "varchar(50)", "nullable": false},
                    {"name": "i15", "type": "varchar(50)"}]},
       {"schema": "CHXD", "name": "CustomerContact", "rows": 7,
        "columns": [{"name": "ID", "type": "int", "nullable": false},
                    {"name": "N", "type": "varchar(50)"},
                    {"name": "Address", "type": "varchar(100)"}],
        "indexes": [{"name": "IX_CC_N", "columns": ["N"]}]}
     ]},
    {"name": "Other",
     "tables": [{"schema": "dbo", "name": "Lonely", "columns": [{"name": "x", "type": "int"}]}]}
  ],
  "logins": [{"name": "sa", "password": "pw", "default_database": "KivoDB"}]
})json";

std::vector<SQLWCHAR> wide(const std::string& s) {
  std::vector<SQLWCHAR> out(s.begin(), s.end());  // the tests use ASCII only
  out.push_back(0);
  return out;
}

std::string narrow(const SQLWCHAR* s, SQLSMALLINT n) {
  std::string out;
  for (SQLSMALLINT i = 0; i < n; ++i) out += static_cast<char>(s[i] < 0x80 ? s[i] : '?');
  return out;
}

struct Outcome {
  SQLRETURN rc = SQL_ERROR;
  std::vector<SQLINTEGER> natives;
  std::vector<std::string> texts;
};

Outcome diagnostics(SQLSMALLINT type, SQLHANDLE h, SQLRETURN rc) {
  Outcome o;
  o.rc = rc;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6];
    SQLINTEGER native = 0;
    SQLWCHAR text[1024];
    SQLSMALLINT len = 0;
    const SQLRETURN r = SQLGetDiagRecW(type, h, i, state, &native, text, 1024, &len);
    if (!SQL_SUCCEEDED(r)) break;
    o.natives.push_back(native);
    o.texts.push_back(narrow(text, len));
  }
  return o;
}

// One ODBC connection through unixODBC and FreeTDS, freed on every path.
class Odbc {
 public:
  Odbc() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
  }
  ~Odbc() {
    if (connected_) SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  Odbc(const Odbc&) = delete;
  Odbc& operator=(const Odbc&) = delete;

  Outcome connect(const std::string& connectionString) {
    std::vector<SQLWCHAR> in = wide(connectionString);
    SQLWCHAR out[1024];
    SQLSMALLINT outLen = 0;
    const SQLRETURN rc = SQLDriverConnectW(dbc_, nullptr, in.data(), SQL_NTS, out, 1024, &outLen,
                                           SQL_DRIVER_NOPROMPT);
    connected_ = SQL_SUCCEEDED(rc);
    return diagnostics(SQL_HANDLE_DBC, dbc_, rc);
  }

  Outcome exec(const std::string& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
    std::vector<SQLWCHAR> text = wide(sql);
    const SQLRETURN rc = SQLExecDirectW(stmt, text.data(), SQL_NTS);
    Outcome o = diagnostics(SQL_HANDLE_STMT, stmt, rc);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return o;
  }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

bool portAccepts(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

TEST(StandInProcess, StartsListeningAndBuildsTheConnectionString) {
  StandIn server(kScenario);
  ASSERT_GT(server.port(), 0);
  EXPECT_TRUE(portAccepts(server.port()));
  EXPECT_EQ(server.odbcConnectionString("KivoDB", "sa", "pw"),
            "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=" + std::to_string(server.port()) +
                ";DATABASE=KivoDB;UID=sa;PWD=pw;TDS_Version=7.4");
}

TEST(StandInProcess, ConnectionStringWrapsValuesTheWayFreeTdsReadsThem) {
  EXPECT_EQ(
      odbcConnectionString(1433, "db", "u", "p;q}"),
      "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=1433;DATABASE=db;UID=u;PWD={p;q}};TDS_Version=7.4");
  EXPECT_THROW(odbcConnectionString(1433, "db", "u", "a};b"), std::invalid_argument);
}

TEST(StandInProcess, CatalogBeforeAnyRequestIsTheScenario) {
  StandIn server(kScenario);
  EXPECT_TRUE(server.receivedBatches().empty());
  EXPECT_EQ(server.columnType("CHXD.T2011", "i13"), "varchar(50)");
  EXPECT_EQ(server.columnNullable("CHXD.T2011", "i13"), false);
  EXPECT_EQ(server.columnNullable("chxd.t2011", "I15"), true);
  EXPECT_TRUE(server.hasTable("[chxd].[t2011]"));
  EXPECT_TRUE(server.hasTable("Other.dbo.Lonely"));
  EXPECT_TRUE(server.hasTable("Lonely"));
  EXPECT_FALSE(server.hasTable("KivoDB.dbo.Lonely"));
  EXPECT_FALSE(server.hasTable("CHXD.T_HIST"));
  EXPECT_EQ(server.columnType("CHXD.T_HIST", "i13"), std::nullopt);
  EXPECT_EQ(server.columnType("CHXD.T2011", "nope"), std::nullopt);
  EXPECT_EQ(server.columnNames("CHXD.CustomerContact"),
            (std::vector<std::string>{"ID", "N", "Address"}));
  EXPECT_EQ(server.rowCount("CHXD.CustomerContact"), 7);
}

TEST(StandInProcess, WhatTheDriverSentAndWhatItChangedAreReadBack) {
  StandIn server(kScenario);
  Odbc db;
  ASSERT_TRUE(SQL_SUCCEEDED(db.connect(server.odbcConnectionString("KivoDB", "sa", "pw")).rc))
      << server.serverLog();

  EXPECT_EQ(db.exec("SET NOCOUNT ON").rc, SQL_NO_DATA);
  const Outcome alter = db.exec("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ");
  EXPECT_EQ(alter.rc, SQL_NO_DATA);
  const Outcome missing = db.exec("ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); ");
  EXPECT_EQ(missing.rc, SQL_ERROR);
  ASSERT_EQ(missing.natives, std::vector<SQLINTEGER>{4902});
  EXPECT_EQ(missing.texts[0],
            "[FreeTDS][SQL Server]Cannot find the object \"CHXD.T_HIST\" because it does not exist "
            "or you do not "
            "have permissions.");
  const std::string history =
      "SELECT  CustomerContact.*, Cast(Null as Bigint) As ChangeU, Cast (Null as Bigint) As "
      "ChangeD "
      "INTO CHXD.CustomerContact_HIST FROM CHXD.CustomerContact;";
  EXPECT_EQ(db.exec(history).rc, SQL_SUCCESS);  // a row count comes back
  const Outcome blocked =
      db.exec("ALTER TABLE CHXD.CustomerContact ALTER COLUMN N nvarchar(250); ");
  EXPECT_EQ(blocked.natives, (std::vector<SQLINTEGER>{5074, 4922}));
  EXPECT_EQ(db.exec("ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN N nvarchar(250);").rc,
            SQL_NO_DATA);

  EXPECT_EQ(server.receivedBatches(),
            (std::vector<std::string>{
                "ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ",
                "ALTER TABLE CHXD.T_HIST ALTER COLUMN  i13 nvarchar(250); ", history,
                "ALTER TABLE CHXD.CustomerContact ALTER COLUMN N nvarchar(250); ",
                "ALTER TABLE CHXD.CustomerContact_Hist ALTER COLUMN N nvarchar(250);"}));
  const std::vector<std::string> all = server.allReceivedBatches();
  ASSERT_EQ(all.size(), 6U);
  EXPECT_EQ(all[0], "SET NOCOUNT ON");
  const std::vector<ReceivedBatch> records = server.records();
  ASSERT_EQ(records.size(), 6U);
  EXPECT_TRUE(records[0].housekeeping);
  EXPECT_EQ(records[2].errors, std::vector<int>{4902});
  EXPECT_EQ(records[4].errors, (std::vector<int>{5074, 4922}));

  EXPECT_EQ(server.columnType("CHXD.T2011", "i13"), "nvarchar(250)");
  EXPECT_EQ(server.columnNullable("CHXD.T2011", "i13"), true);
  EXPECT_EQ(server.columnType("CHXD.CustomerContact", "N"), "varchar(50)");
  EXPECT_TRUE(server.hasTable("CHXD.CustomerContact_Hist"));
  EXPECT_EQ(server.tableName("chxd.customercontact_hist"), "CHXD.CustomerContact_HIST");
  EXPECT_EQ(server.columnNames("CHXD.CustomerContact_Hist"),
            (std::vector<std::string>{"ID", "N", "Address", "ChangeU", "ChangeD"}));
  EXPECT_EQ(server.columnType("CHXD.CustomerContact_Hist", "N"), "nvarchar(250)");
  EXPECT_EQ(server.columnType("CHXD.CustomerContact_Hist", "ChangeU"), "bigint");
  EXPECT_EQ(server.columnNullable("CHXD.CustomerContact_Hist", "ChangeD"), true);
  EXPECT_EQ(server.columnNullable("CHXD.CustomerContact_Hist", "ID"), false);
  EXPECT_EQ(server.rowCount("CHXD.CustomerContact_Hist"), 7);
}

TEST(StandInProcess, DroppedRequestIsRecordedAndTheClientSeesTheLinkGo) {
  std::string scenario = kScenario;
  scenario.replace(scenario.rfind('}'), 1, R"(, "faults": {"drop_at_request": 2}})");
  StandIn server(scenario);
  Odbc db;
  ASSERT_TRUE(SQL_SUCCEEDED(db.connect(server.odbcConnectionString("KivoDB", "sa", "pw")).rc))
      << server.serverLog();
  EXPECT_EQ(db.exec("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250); ").rc, SQL_NO_DATA);
  const Outcome dropped = db.exec("ALTER TABLE CHXD.T2011 ALTER COLUMN i15 nvarchar(250);");
  EXPECT_EQ(dropped.rc, SQL_ERROR);
  EXPECT_EQ(dropped.natives, std::vector<SQLINTEGER>{20017});
  EXPECT_EQ(db.exec("select 1").rc, SQL_ERROR);
  const std::vector<ReceivedBatch> records = server.records();
  ASSERT_EQ(records.size(), 2U);
  EXPECT_FALSE(records[0].dropped);
  EXPECT_TRUE(records[1].dropped);
  EXPECT_EQ(server.columnType("CHXD.T2011", "i15"), "varchar(50)");
}

TEST(StandInProcess, BadScenarioThrowsWithTheServersStderr) {
  try {
    StandIn server("this is not JSON");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("server stderr"), std::string::npos) << what;
    EXPECT_NE(what.find("JSONDecodeError"), std::string::npos) << what;
  }
}

TEST(StandInProcess, DestructorStopsTheServerAndRemovesItsFiles) {
  int port = 0;
  std::filesystem::path record;
  {
    StandIn server(kScenario);
    port = server.port();
    record = server.recordPath();
    EXPECT_TRUE(std::filesystem::exists(record));
  }
  EXPECT_FALSE(std::filesystem::exists(record));
  EXPECT_FALSE(std::filesystem::exists(record.parent_path()));
  EXPECT_FALSE(portAccepts(port));
}

TEST(StandInProcess, ServesSeveralConnectionsAtOnce) {
  StandIn server(kScenario);
  Odbc a;
  Odbc b;
  ASSERT_TRUE(SQL_SUCCEEDED(a.connect(server.odbcConnectionString("KivoDB", "sa", "pw")).rc));
  ASSERT_TRUE(SQL_SUCCEEDED(b.connect(server.odbcConnectionString("Other", "sa", "pw")).rc));
  EXPECT_EQ(a.exec("ALTER TABLE CHXD.T2011 ALTER COLUMN i13 nvarchar(250)").rc, SQL_NO_DATA);
  EXPECT_EQ(b.exec("ALTER TABLE Lonely ALTER COLUMN x bigint NOT NULL").rc, SQL_NO_DATA);
  EXPECT_EQ(server.columnType("CHXD.T2011", "i13"), "nvarchar(250)");
  EXPECT_EQ(server.columnType("Other.dbo.Lonely", "x"), "bigint");
  EXPECT_EQ(server.columnNullable("Other.dbo.Lonely", "x"), false);
}

}  // namespace
}  // namespace kivo::testing
