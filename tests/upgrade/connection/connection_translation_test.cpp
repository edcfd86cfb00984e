#include "upgrade/connection/connection_translation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "upgrade/connection/odbc_connection_string.h"

namespace kivo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Items = std::vector<std::pair<std::string, std::string>>;

const std::vector<std::string> kFreeTdsOnly = {"FreeTDS"};
const std::vector<std::string> kWithDriver18 = {"FreeTDS", "ODBC Driver 18 for SQL Server"};
const Logon kSqlLogon{LogonMode::kSqlLogin, "u", "p"};
const Logon kWindowsLogon{LogonMode::kWindows, "", ""};
const std::string kFree = "DRIVER={FreeTDS};";
const std::string k18 = "DRIVER={ODBC Driver 18 for SQL Server};";

#ifdef _WIN32
const std::string kLocalForMicrosoft = "(local)";
#else
const std::string kLocalForMicrosoft = "localhost";
#endif

// Independent readings of a connection string, as measured with unixODBC 2.3.11 and FreeTDS
// 1.3.17, to prove what each will see.

// The ODBC standard, which unixODBC's driver manager and Microsoft's drivers follow: in braces
// "}}" is "}" and any other "}" closes; the driver manager starts the next keyword right there.
Items ReadStandard(const std::string& s) {
  Items items;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t eq = s.find('=', pos);
    if (eq == std::string::npos) break;
    std::string key = s.substr(pos, eq - pos), value;
    pos = eq + 1;
    if (pos < s.size() && s[pos] == '{') {
      for (++pos; pos < s.size() && (s[pos] != '}' || (pos + 1 < s.size() && s[pos + 1] == '}'));
           ++pos) {
        value += s[pos];
        if (s[pos] == '}') ++pos;
      }
      ++pos;
    } else {
      value = s.substr(pos, s.find(';', pos) - pos);
      pos += value.size();
    }
    if (pos < s.size() && s[pos] == ';') ++pos;
    items.emplace_back(key, value);
  }
  return items;
}

// What makes the driver manager load a driver.
std::vector<std::string> DriverManagerItems(const std::string& s) {
  std::vector<std::string> seen;
  for (const auto& [key, value] : ReadStandard(s)) {
    if (key == "DRIVER" || key == "Driver" || key == "DSN") seen.push_back(key + "=" + value);
  }
  return seen;
}

// FreeTDS: a braced value runs to the first "};", or to the end with its closing brace kept.
Items ReadFreeTds(const std::string& s) {
  Items items;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t eq = s.find('=', pos);
    if (eq == std::string::npos) break;
    const bool braced = eq + 1 < s.size() && s[eq + 1] == '{';
    const size_t end = braced ? s.find("};", eq) : s.find(';', eq);
    const size_t from = eq + (braced ? 2 : 1);
    items.emplace_back(s.substr(pos, eq - pos), s.substr(from, std::min(end, s.size()) - from));
    pos = end == std::string::npos ? s.size() : end + (braced ? 2 : 1);
  }
  return items;
}

std::string Translated(const std::string& prefix, const Logon& logon = kSqlLogon,
                       const std::vector<std::string>& drivers = kFreeTdsOnly,
                       const std::string& driverOverride = "") {
  return BuildOdbcConnectionString(TranslateConnection(prefix, logon, drivers, driverOverride));
}

std::string ErrorOf(const std::string& prefix, const Logon& logon = kSqlLogon,
                    const std::vector<std::string>& drivers = kFreeTdsOnly) {
  try {
    Translated(prefix, logon, drivers);
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kInvalidArgument);
    return e.description();
  }
  ADD_FAILURE() << "no error for " << prefix;
  return {};
}

TEST(TranslateConnection, WritesTheItemsOfTheChosenDriver) {
  struct Case {
    std::string prefix;
    Logon logon;
    std::vector<std::string> drivers;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=HOST\\I;Initial Catalog=DB;",
       kSqlLogon, kFreeTdsOnly, kFree + "SERVER=HOST\\I;DATABASE=DB;UID=u;PWD=p;TDS_Version=7.4;"},
      {"Provider=SQLOLEDB.1;Data Source=HOST;Initial Catalog=DB;", kWindowsLogon, kWithDriver18,
       k18 + "SERVER=HOST;DATABASE=DB;Trusted_Connection=Yes;Encrypt=no;"},
      // Credentials that survived in the prefix never reach the driver.
      {"Provider=SQLOLEDB.1;Password=x;Persist Security Info=True;User ID=uu;Data Source=H;",
       kSqlLogon, kFreeTdsOnly, kFree + "SERVER=H;UID=u;PWD=p;TDS_Version=7.4;"},
      {"  provider = sqlncli11 ;UID=a;pwd=b;Integrated Security=SSPI;TRUSTED_CONNECTION=yes;"
       "  SERVER = H ",
       kWindowsLogon, kFreeTdsOnly, kFree + "SERVER=H;Trusted_Connection=Yes;TDS_Version=7.4;"},
      // No server: this machine; no database: the login's default one.
      {"Provider=MSOLEDBSQL;", kSqlLogon, kFreeTdsOnly,
       kFree + "SERVER=localhost;UID=u;PWD=p;TDS_Version=7.4;"},
      // The last of several items counts, except for Provider.
      {"Provider=MSOLEDBSQL19.1;Provider=Jet;Data Source=A;Network Address=B;Initial Catalog=X;"
       "Database=\"a;b\"",
       kSqlLogon, kWithDriver18, k18 + "SERVER=B;DATABASE={a;b};UID=u;PWD=p;Encrypt=no;"},
      {"Provider=SQLOLEDB;Data Source=H;Application Name=My App;Workstation ID=WS1;Packet "
       "Size=4096;Auto Translate=True;Current Language=Deutsch;Connect Timeout=9",
       kSqlLogon, kWithDriver18,
       k18 + "SERVER=H;UID=u;PWD=p;APP=My App;WSID=WS1;Language=Deutsch;Encrypt=no;"},
      {"Provider=SQLOLEDB;Data Source=H;Encrypt=yes;TrustServerCertificate=True", kSqlLogon,
       kWithDriver18, k18 + "SERVER=H;UID=u;PWD=p;Encrypt=yes;TrustServerCertificate=yes;"},
      {"Provider=SQLOLEDB;Data Source=H;Use Encryption for Data=Mandatory;Trust Server "
       "Certificate=yes",
       kSqlLogon, kFreeTdsOnly, kFree + "SERVER=H;UID=u;PWD=p;Encryption=require;TDS_Version=7.4;"},
      // The provider for ODBC drivers, named or by default: the items are ODBC's already.
      {"Driver={FreeTDS};Server=h;Port=1;Database=d;UID=x;",
       kSqlLogon,
       {},
       "Driver={FreeTDS};Server=h;Port=1;Database=d;UID=u;PWD=p;"},
      {"Provider=MSDASQL.1;Persist Security Info=False;Data Source=web;Initial Catalog=db;Pwd=x;",
       kWindowsLogon,
       {},
       "DSN=web;DATABASE=db;Trusted_Connection=Yes;"},
      {"Server={h};Driver={SQL Server};Connect Timeout=7;",
       kSqlLogon,
       {},
       "Driver={SQL Server};Server=h;UID=u;PWD=p;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Translated(c.prefix, c.logon, c.drivers), c.expected) << c.prefix;
  }
}

TEST(TranslateConnection, KeepsInstanceAndPortInTheDriversForm) {
  struct Case {
    std::string dataSource;
    std::string freeTds;    // SERVER (and PORT) items for FreeTDS
    std::string microsoft;  // SERVER item for Microsoft's drivers
  };
  const std::string local = "SERVER=" + kLocalForMicrosoft;
  const std::vector<Case> cases = {
      {"HOST\\INST", "SERVER=HOST\\INST;", "SERVER=HOST\\INST;"},
      {"HOST,1444", "SERVER=HOST;PORT=1444;", "SERVER=HOST,1444;"},
      {"TCP: HOST , 1444 ", "SERVER=HOST;PORT=1444;", "SERVER=HOST,1444;"},
      {"HOST\\INST,1444", "SERVER=HOST;PORT=1444;", "SERVER=HOST\\INST,1444;"},
      {"(local)", "SERVER=localhost;", local + ";"},
      {".", "SERVER=localhost;", local + ";"},
      {".\\SQLEXPRESS", "SERVER=localhost\\SQLEXPRESS;", local + "\\SQLEXPRESS;"},
      {"(local),1444", "SERVER=localhost;PORT=1444;", "SERVER=localhost,1444;"},
  };
  for (const Case& c : cases) {
    const std::string prefix = "Provider=SQLOLEDB.1;Data Source=" + c.dataSource + ";";
    EXPECT_EQ(Translated(prefix, kWindowsLogon, kFreeTdsOnly),
              kFree + c.freeTds + "Trusted_Connection=Yes;TDS_Version=7.4;");
    EXPECT_EQ(Translated(prefix, kWindowsLogon, kWithDriver18),
              k18 + c.microsoft + "Trusted_Connection=Yes;Encrypt=no;");
  }
  for (const std::string bad : {"HOST,", "HOST,abc", "HOST,0", "HOST,65536"}) {
    EXPECT_THAT(ErrorOf("Provider=SQLOLEDB;Data Source=" + bad), HasSubstr("port")) << bad;
  }
}

TEST(TranslateConnection, ReadsTheLoginTimeoutAsOleDbReadsNumbers) {
  for (const auto& [item, seconds] :
       std::vector<std::pair<std::string, int>>{{"", 15},
                                                {";Connect Timeout=30", 30},
                                                {";Connection Timeout= 0x1E ", 30},
                                                {";Connect Timeout=0", 0},
                                                {";Connect Timeout=010", 8}}) {
    const ConnectionTarget t =
        TranslateConnection("Provider=SQLOLEDB" + item, kSqlLogon, {"FreeTDS"}, "");
    EXPECT_EQ(t.loginTimeoutSeconds, seconds) << item;
    EXPECT_EQ(t.statementTimeoutSeconds, 30);
  }
}

TEST(TranslateConnection, RefusesWhatItCannotTranslate) {
  for (const std::string provider : {"Microsoft.Jet.OLEDB.4.0", "SQLOLEDBX", "MSOLAP"}) {
    EXPECT_THAT(ErrorOf("Provider=" + provider + ";Data Source=H;"), HasSubstr(provider));
  }
  for (const std::string item : {"Connect Timeout=abc", "Connect Timeout=-1", "Encrypt=maybe"}) {
    EXPECT_THAT(ErrorOf("Provider=SQLOLEDB;" + item), HasSubstr(item.substr(0, 7)));
  }
}

// Whatever the connection value asks, short of strict, the driver is told to refuse a server
// that will not encrypt; a DSN alone keeps its driver, and so the keyword to use, to itself.
TEST(RequireEncryption, OverridesTheConnectionValueUnlessItAsksForStrict) {
  const std::string tail = "UID=u;PWD=p;";
  for (const auto& [prefix, expected] : std::vector<std::pair<std::string, std::string>>{
           {"Provider=SQLOLEDB;Data Source=H;", kFree + "SERVER=H;" + tail +
                                                    "TDS_Version=7.4;"
                                                    "Encryption=require;"},
           {"Provider=SQLOLEDB;Data Source=H;Encrypt=no;",
            kFree + "SERVER=H;" + tail + "Encryption=require;TDS_Version=7.4;"},
           {"Provider=SQLOLEDB;Data Source=H;Encrypt=strict;",
            kFree + "SERVER=H;" + tail + "Encryption=strict;TDS_Version=7.4;"},
           {"Driver={ODBC Driver 18 for SQL Server};encrypt=Optional;",
            "Driver={ODBC Driver 18 for SQL Server};encrypt=yes;" + tail},
           {"Provider=MSDASQL;Data Source=web;", ""}}) {
    ConnectionTarget target = TranslateConnection(prefix, kSqlLogon, kFreeTdsOnly, "");
    if (expected.empty()) {
      EXPECT_THROW(RequireEncryption(target), Error);
      continue;
    }
    RequireEncryption(target);
    EXPECT_EQ(BuildOdbcConnectionString(target), expected) << prefix;
  }
}

TEST(TranslateConnection, ChoosesTheFirstInstalledDriverOrTheOverride) {
  struct Case {
    std::vector<std::string> installed;
    std::string override;
    std::string chosen;
  };
  const std::vector<Case> cases = {
      {{"SQL Server", "FreeTDS"}, "", "FreeTDS"},
      {{"SQL Server", "ODBC Driver 17 for SQL Server", "FreeTDS"},
       "",
       "ODBC Driver 17 for SQL Server"},
      {{"ODBC Driver 17 for SQL Server", "ODBC Driver 18 for SQL Server"},
       "",
       "ODBC Driver 18 for SQL Server"},
      {{"PostgreSQL Unicode", "SQL Server"}, "", "SQL Server"},
      {{"freetds"}, "", "freetds"},
      {{"ODBC Driver 18 for SQL Server"}, "FreeTDS", "FreeTDS"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TranslateConnection("Provider=SQLOLEDB", kSqlLogon, c.installed, c.override).driver,
              c.chosen);
  }
  // FreeTDS named by its library still gets FreeTDS's items.
  EXPECT_EQ(Translated("Provider=SQLOLEDB;Data Source=H,1", kSqlLogon, {}, "/x/libtdsodbc.so"),
            "DRIVER={/x/libtdsodbc.so};SERVER=H;PORT=1;UID=u;PWD=p;TDS_Version=7.4;");
  const std::string error = ErrorOf("Provider=SQLOLEDB", kSqlLogon, {"PostgreSQL Unicode"});
#ifndef _WIN32
  EXPECT_THAT(error, HasSubstr("apt-get install tdsodbc"));
#endif
  EXPECT_THAT(error, HasSubstr("ODBC Driver 18 for SQL Server"));
}

// FreeTDS cannot carry "};"; after a "}" the driver manager, which reads braces by the
// standard, might find a DRIVER or DSN of its own. Nothing else is a reason to refuse.
bool FreeTdsMayRefuse(const std::string& value) {
  const bool mightSmuggle =
      value.find('}') != std::string::npos &&
      (value.find("DRIVER=") != std::string::npos || value.find("DSN=") != std::string::npos);
  return value.find("};") != std::string::npos || mightSmuggle;
}

// Each credential, as login and as password, is read back exactly by the driver without
// changing the driver manager's choice, or it is refused where it must be.
void ExpectCarriedOrRefused(const std::string& value) {
  for (const bool asPassword : {true, false}) {
    const Logon logon{LogonMode::kSqlLogin, asPassword ? "u" : value, asPassword ? value : "p"};
    const std::string prefix = "Provider=SQLOLEDB;Data Source=H";
    const std::string microsoft = Translated(prefix, logon, kWithDriver18);
    EXPECT_EQ(ReadStandard(microsoft), (Items{{"DRIVER", "ODBC Driver 18 for SQL Server"},
                                              {"SERVER", "H"},
                                              {"UID", logon.login},
                                              {"PWD", logon.password},
                                              {"Encrypt", "no"}}))
        << microsoft;
    if (!asPassword && value.empty()) continue;  // FreeTDS refuses an empty login, see below
    std::string freeTds;
    try {
      freeTds = Translated(prefix, logon, kFreeTdsOnly);
    } catch (const Error&) {
      EXPECT_TRUE(FreeTdsMayRefuse(value)) << value;
      continue;
    }
    EXPECT_EQ(value.find("};"), std::string::npos) << freeTds;
    EXPECT_EQ(ReadFreeTds(freeTds), (Items{{"DRIVER", "FreeTDS"},
                                           {"SERVER", "H"},
                                           {"UID", logon.login},
                                           {"PWD", logon.password},
                                           {"TDS_Version", "7.4"}}))
        << freeTds;
    EXPECT_THAT(DriverManagerItems(freeTds), ElementsAre("DRIVER=FreeTDS")) << freeTds;
  }
}

TEST(BuildOdbcConnectionString, CarriesAwkwardCredentialsOrRefusesThem) {
  for (const std::string value : {"p;q",
                                  "}",
                                  "{",
                                  "=",
                                  "};",
                                  "a}b",
                                  "{x}",
                                  "x}",
                                  "}}",
                                  "a}}b",
                                  " lead",
                                  "trail ",
                                  "",
                                  "ü€𝄞",
                                  "p}q;r",
                                  "x;DRIVER={evil};SERVER=other",
                                  "a}b;c=d;DRIVER=evil",
                                  "a}DRIVER=evil",
                                  "'q'",
                                  "\"q\""}) {
    ExpectCarriedOrRefused(value);
  }
  std::mt19937 random(20240531);
  const std::vector<std::string> pieces = {"a", ";", "{", "}", "=", " ", "DRIVER=", "DSN="};
  for (int round = 0; round < 1000; ++round) {
    std::string value;
    for (size_t n = random() % 9; n > 0; --n) value += pieces[random() % pieces.size()];
    ExpectCarriedOrRefused(value);
  }
}

TEST(BuildOdbcConnectionString, RefusesWhatTheDriverCannotCarryWithoutShowingIt) {
  struct Case {
    std::string prefix;
    Logon logon;
    std::vector<std::string> drivers;
    std::string complaint;
  };
  const std::string nul("S3c\0ret", 7);
  const std::string sqlServer = "Provider=SQLOLEDB;Data Source=H;";
  const std::vector<Case> cases = {
      {sqlServer, {LogonMode::kSqlLogin, "u", "S3c};ret"}, kFreeTdsOnly, "The password"},
      {sqlServer, {LogonMode::kSqlLogin, "S3c};ret", "p"}, kFreeTdsOnly, "The SQL login"},
      {sqlServer, {LogonMode::kSqlLogin, "u", "S3c}DSN=x"}, kFreeTdsOnly, "driver manager"},
      {sqlServer,
       {LogonMode::kSqlLogin, "S3c}b;c=d;DRIVER=x", "p"},
       kFreeTdsOnly,
       "driver manager"},
      {sqlServer, {LogonMode::kSqlLogin, "u", nul}, kFreeTdsOnly, "NUL"},
      {sqlServer, {LogonMode::kSqlLogin, nul, "p"}, kWithDriver18, "NUL"},
      // FreeTDS would turn an empty login into a Kerberos logon.
      {sqlServer, {LogonMode::kSqlLogin, "", "S3cret"}, kFreeTdsOnly, "empty"},
      {sqlServer + "Initial Catalog=\"a};b\"", kSqlLogon, kFreeTdsOnly, "database"},
      // For a data source whose driver is unknown, only what every reading agrees on.
      {"DSN=web", {LogonMode::kSqlLogin, "u", "S3c}ret;"}, {}, "The password"},
  };
  for (const Case& c : cases) {
    const std::string error = ErrorOf(c.prefix, c.logon, c.drivers);
    EXPECT_THAT(error, HasSubstr(c.complaint));
    EXPECT_THAT(error, Not(HasSubstr("S3c")));
  }
  EXPECT_EQ(Translated("DSN=web", {LogonMode::kSqlLogin, "", "a;b"}, {}),
            "DSN=web;UID=;PWD={a;b};");
}

TEST(MaskedOdbcConnectionString, ShowsNoPieceOfThePassword) {
  const ConnectionTarget t =
      TranslateConnection("Provider=SQLOLEDB;Data Source=H",
                          {LogonMode::kSqlLogin, "u", "S3c}b;ret"}, kFreeTdsOnly, "");
  EXPECT_EQ(MaskedOdbcConnectionString(t), kFree + "SERVER=H;UID=u;PWD=****;TDS_Version=7.4;");
}

}  // namespace
}  // namespace kivo
