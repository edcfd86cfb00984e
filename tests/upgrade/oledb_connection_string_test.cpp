#include "upgrade/oledb_connection_string.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/error.h"
#include "upgrade/connection_target.h"

namespace kivo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Items = std::vector<std::pair<std::string, std::string>>;

const std::vector<std::string> kFreeTdsOnly = {"FreeTDS"};
const std::vector<std::string> kWithDriver18 = {"FreeTDS", "ODBC Driver 18 for SQL Server"};
const Logon kSqlLogon{LogonMode::kSqlLogin, "u", "p"};
const Logon kWindowsLogon{LogonMode::kWindows, "", ""};

#ifdef _WIN32
const std::string kLocalForMicrosoft = "(local)";
#else
const std::string kLocalForMicrosoft = "localhost";
#endif

// Independent readings of a connection string, to prove what a driver will see.

// The ODBC standard: a braced value ends at a "}" that is not doubled.
std::optional<Items> ReadStandard(const std::string& s) {
  Items items;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t eq = s.find('=', pos);
    if (eq == std::string::npos) return std::nullopt;
    std::string key = s.substr(pos, eq - pos), value;
    pos = eq + 1;
    if (pos < s.size() && s[pos] == '{') {
      bool closed = false;
      for (++pos; pos < s.size(); ++pos) {
        if (s[pos] == '}') {
          if (pos + 1 < s.size() && s[pos + 1] == '}') {
            value += '}';
            ++pos;
            continue;
          }
          closed = true;
          ++pos;
          break;
        }
        value += s[pos];
      }
      if (!closed || (pos < s.size() && s[pos] != ';')) return std::nullopt;
    } else {
      const size_t end = std::min(s.find(';', pos), s.size());
      value = s.substr(pos, end - pos);
      pos = end;
    }
    if (pos < s.size()) ++pos;
    items.emplace_back(key, value);
  }
  return items;
}

// FreeTDS as measured: a braced value runs to the first "};", or to the end of the string with
// its closing brace kept.
Items ReadFreeTds(const std::string& s) {
  Items items;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t eq = s.find('=', pos);
    if (eq == std::string::npos) break;
    std::string key = s.substr(pos, eq - pos), value;
    pos = eq + 1;
    if (pos < s.size() && s[pos] == '{') {
      const size_t end = s.find("};", pos);
      if (end == std::string::npos) {
        value = s.substr(pos + 1);
        pos = s.size();
      } else {
        value = s.substr(pos + 1, end - pos - 1);
        pos = end + 2;
      }
    } else {
      const size_t end = std::min(s.find(';', pos), s.size());
      value = s.substr(pos, end - pos);
      pos = end + 1;
    }
    items.emplace_back(key, value);
  }
  return items;
}

// unixODBC's driver manager as measured: braces by the standard, but the next keyword starts
// right after the closing brace. Gives the items it acts on, DRIVER and DSN, as it reads them.
std::vector<std::string> DriverManagerItems(const std::string& s) {
  std::vector<std::string> seen;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t eq = s.find('=', pos);
    if (eq == std::string::npos) break;
    std::string key = s.substr(pos, eq - pos), value;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    pos = eq + 1;
    if (pos < s.size() && s[pos] == '{') {
      for (++pos; pos < s.size(); ++pos) {
        if (s[pos] == '}' && pos + 1 < s.size() && s[pos + 1] == '}') {
          value += '}';
          ++pos;
        } else if (s[pos] == '}') {
          ++pos;
          break;
        } else {
          value += s[pos];
        }
      }
    } else {
      const size_t end = std::min(s.find(';', pos), s.size());
      value = s.substr(pos, end - pos);
      pos = end;
    }
    if (pos < s.size() && s[pos] == ';') ++pos;
    if (key == "DRIVER" || key == "DSN") seen.push_back(key + "=" + value);
  }
  return seen;
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

TEST(ParseOleDbConnectionString, ReadsQuotesBlanksAndNames) {
  struct Case {
    std::string text;
    std::vector<std::pair<std::string, std::string>> items;
  };
  const std::vector<Case> cases = {
      {"Provider=SQLOLEDB.1;Data Source=H;", {{"Provider", "SQLOLEDB.1"}, {"Data Source", "H"}}},
      {"  data source =  H x  ; ", {{"data source", "H x"}}},
      {"a=\"x;y\"", {{"a", "x;y"}}},
      {"a='x;y' ; b=1", {{"a", "x;y"}, {"b", "1"}}},
      {"a=\"x\"\"y\"", {{"a", "x\"y"}}},
      {"a='it''s'", {{"a", "it's"}}},
      {"a=\"it's\";b='say \"hi\"'", {{"a", "it's"}, {"b", "say \"hi\""}}},
      {"a=\" padded \"", {{"a", " padded "}}},
      {"a=x\"y", {{"a", "x\"y"}}},  // a quote counts only at the start
      {"a=;;b=", {{"a", ""}, {"b", ""}}},
      {"na==me=v", {{"na=me", "v"}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"", {}},
      {" ; ;", {}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<std::string, std::string>> got;
    for (const OleDbItem& item : ParseOleDbConnectionString(c.text)) {
      got.emplace_back(item.name, item.value);
    }
    EXPECT_EQ(got, c.items) << c.text;
  }
}

TEST(ParseOleDbConnectionString, RefusesMalformedTextWithoutQuotingIt) {
  const std::vector<std::string> bad = {
      "Password=\"s3cret;Data Source=H",  // unbalanced
      "Password='s3cret",
      "Password=\"s3cret\"x;",  // text after the closing quote
      "Data Source=H;s3cret;",  // no "="
      "=s3cret",
  };
  for (const std::string& text : bad) {
    try {
      ParseOleDbConnectionString(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), kInvalidArgument);
      EXPECT_THAT(e.description(), Not(HasSubstr("s3cret"))) << text;
    }
  }
}

TEST(TranslateConnection, WritesTheItemsOfTheChosenDriver) {
  struct Case {
    std::string prefix;
    Logon logon;
    std::vector<std::string> drivers;
    std::string expected;
  };
  const std::string kFree = "DRIVER={FreeTDS};";
  const std::string k18 = "DRIVER={ODBC Driver 18 for SQL Server};";
  const std::vector<Case> cases = {
      {"Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=HOST\\INSTANCE;Initial "
       "Catalog=DB;",
       kSqlLogon, kFreeTdsOnly,
       kFree + "SERVER=HOST\\INSTANCE;DATABASE=DB;UID=u;PWD=p;TDS_Version=7.4;"},
      {"Provider=SQLOLEDB.1;Data Source=HOST;Initial Catalog=DB;", kWindowsLogon, kWithDriver18,
       k18 + "SERVER=HOST;DATABASE=DB;Trusted_Connection=Yes;Encrypt=no;"},
      // Credentials that survived in the prefix never reach the driver.
      {"Provider=SQLOLEDB.1;Password=x;Persist Security Info=True;User ID=uu;Data Source=H;",
       kSqlLogon, kFreeTdsOnly, kFree + "SERVER=H;UID=u;PWD=p;TDS_Version=7.4;"},
      {"provider=sqloledb;UID=a;pwd=b;Integrated Security=SSPI;TRUSTED_CONNECTION=yes;server=H;",
       kSqlLogon, kFreeTdsOnly, kFree + "SERVER=H;UID=u;PWD=p;TDS_Version=7.4;"},
      {"Provider=SQLOLEDB;Integrated Security=SSPI;User Id=a;Server=H", kWindowsLogon, kFreeTdsOnly,
       kFree + "SERVER=H;Trusted_Connection=Yes;TDS_Version=7.4;"},
      {"  PROVIDER = SQLNCLI11 ;  DATA SOURCE = H ; initial CATALOG = D ;", kSqlLogon, kFreeTdsOnly,
       kFree + "SERVER=H;DATABASE=D;UID=u;PWD=p;TDS_Version=7.4;"},
      // No server: this machine; no database: the login's default one.
      {"Provider=MSOLEDBSQL;", kSqlLogon, kFreeTdsOnly,
       kFree + "SERVER=localhost;UID=u;PWD=p;TDS_Version=7.4;"},
      {"Provider=MSOLEDBSQL19.1;Address=H;Database=\"a;b\";", kSqlLogon, kWithDriver18,
       k18 + "SERVER=H;DATABASE={a;b};UID=u;PWD=p;Encrypt=no;"},
      // The last of several server items counts, as with OLE DB.
      {"Provider=SQLOLEDB;Data Source=A;Network Address=B;Initial Catalog=X;Database=Y", kSqlLogon,
       kFreeTdsOnly, kFree + "SERVER=B;DATABASE=Y;UID=u;PWD=p;TDS_Version=7.4;"},
      {"Provider=SQLOLEDB;Data Source=H;Application Name=My App;Workstation ID=WS1;Packet "
       "Size=4096;Auto Translate=True;Current Language=Deutsch",
       kSqlLogon, kWithDriver18,
       k18 + "SERVER=H;UID=u;PWD=p;APP=My App;WSID=WS1;Language=Deutsch;Encrypt=no;"},
      {"Provider=SQLOLEDB;Data Source=H;Encrypt=yes;TrustServerCertificate=True", kSqlLogon,
       kWithDriver18, k18 + "SERVER=H;UID=u;PWD=p;Encrypt=yes;TrustServerCertificate=yes;"},
      {"Provider=MSOLEDBSQL;Data Source=H;Use Encryption for Data=Mandatory;Trust Server "
       "Certificate=no",
       kSqlLogon, kWithDriver18,
       k18 + "SERVER=H;UID=u;PWD=p;Encrypt=yes;TrustServerCertificate=no;"},
      {"Provider=SQLOLEDB;Data Source=H;Encrypt=yes;TrustServerCertificate=yes", kSqlLogon,
       kFreeTdsOnly, kFree + "SERVER=H;UID=u;PWD=p;Encryption=require;TDS_Version=7.4;"},
      {"Provider=SQLOLEDB;Data Source=H;Encrypt=False", kSqlLogon, kFreeTdsOnly,
       kFree + "SERVER=H;UID=u;PWD=p;Encryption=request;TDS_Version=7.4;"},
      // The first Provider counts.
      {"Provider=SQLOLEDB;Provider=Microsoft.Jet.OLEDB.4.0;Data Source=H", kSqlLogon, kFreeTdsOnly,
       kFree + "SERVER=H;UID=u;PWD=p;TDS_Version=7.4;"},
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
  const std::vector<Case> cases = {
      {"HOST\\INST", "SERVER=HOST\\INST;", "SERVER=HOST\\INST;"},
      {"HOST,1444", "SERVER=HOST;PORT=1444;", "SERVER=HOST,1444;"},
      {"tcp:HOST,1444", "SERVER=HOST;PORT=1444;", "SERVER=HOST,1444;"},
      {"TCP: HOST , 1444 ", "SERVER=HOST;PORT=1444;", "SERVER=HOST,1444;"},
      {"HOST\\INST,1444", "SERVER=HOST;PORT=1444;", "SERVER=HOST\\INST,1444;"},
      {"(local)", "SERVER=localhost;", "SERVER=" + kLocalForMicrosoft + ";"},
      {".", "SERVER=localhost;", "SERVER=" + kLocalForMicrosoft + ";"},
      {"", "SERVER=localhost;", "SERVER=" + kLocalForMicrosoft + ";"},
      {".\\SQLEXPRESS", "SERVER=localhost\\SQLEXPRESS;",
       "SERVER=" + kLocalForMicrosoft + "\\SQLEXPRESS;"},
      {"(local),1444", "SERVER=localhost;PORT=1444;", "SERVER=localhost,1444;"},
      {"10.0.0.5", "SERVER=10.0.0.5;", "SERVER=10.0.0.5;"},
  };
  for (const Case& c : cases) {
    const std::string prefix = "Provider=SQLOLEDB.1;Data Source=" + c.dataSource + ";";
    EXPECT_EQ(Translated(prefix, kWindowsLogon, kFreeTdsOnly),
              "DRIVER={FreeTDS};" + c.freeTds + "Trusted_Connection=Yes;TDS_Version=7.4;")
        << c.dataSource;
    EXPECT_EQ(Translated(prefix, kWindowsLogon, kWithDriver18),
              "DRIVER={ODBC Driver 18 for SQL Server};" + c.microsoft +
                  "Trusted_Connection=Yes;Encrypt=no;")
        << c.dataSource;
  }
  for (const std::string bad : {"HOST,", "HOST,abc", "HOST,0", "HOST,65536", "HOST,-1"}) {
    EXPECT_THAT(ErrorOf("Provider=SQLOLEDB;Data Source=" + bad), HasSubstr("port")) << bad;
  }
}

TEST(TranslateConnection, AcceptsSqlServerProvidersOnly) {
  for (const std::string provider :
       {"SQLOLEDB", "SQLOLEDB.1", "sqloledb", "SQLNCLI", "SQLNCLI10", "SQLNCLI10.1", "SQLNCLI11",
        "SQLNCLI11.1", "MSOLEDBSQL", "MSOLEDBSQL.1", "MSOLEDBSQL19", "MsOleDbSql19.1"}) {
    const ConnectionTarget t = TranslateConnection("Provider=" + provider + ";Data Source=H;",
                                                   kSqlLogon, kFreeTdsOnly, "");
    EXPECT_FALSE(t.passThrough) << provider;
    EXPECT_EQ(t.driver, "FreeTDS") << provider;
  }
  for (const std::string provider :
       {"Microsoft.Jet.OLEDB.4.0", "SQLOLEDBX", "MSOLAP", "OraOLEDB"}) {
    EXPECT_THAT(ErrorOf("Provider=" + provider + ";Data Source=H;"), HasSubstr(provider));
  }
}

TEST(TranslateConnection, PassesOdbcItemsThroughForTheOdbcProvider) {
  struct Case {
    std::string prefix;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"Driver={FreeTDS};Server=h;Port=1;Database=d;UID=x;",
       "Driver={FreeTDS};Server=h;Port=1;Database=d;UID=u;PWD=p;"},
      {"Provider=MSDASQL.1;Persist Security Info=False;DSN=web;Pwd=x;", "DSN=web;UID=u;PWD=p;"},
      // The OLE DB names that the ODBC provider maps; the driver items go first.
      {"Provider=MSDASQL;Data Source=web;Initial Catalog=db;", "DSN=web;DATABASE=db;UID=u;PWD=p;"},
      {"Server={h};Driver={SQL Server};Connect Timeout=7;",
       "Driver={SQL Server};Server=h;UID=u;PWD=p;"},
      {"Driver={ODBC Driver 18 for SQL Server};Server=h;Encrypt=yes",
       "Driver={ODBC Driver 18 for SQL Server};Server=h;Encrypt=yes;UID=u;PWD=p;"},
  };
  for (const Case& c : cases) {
    // Passing through needs no driver from the list.
    EXPECT_EQ(Translated(c.prefix, kSqlLogon, {}), c.expected) << c.prefix;
  }
  EXPECT_EQ(TranslateConnection("Driver={FreeTDS};Connect Timeout=7", kSqlLogon, {}, "")
                .loginTimeoutSeconds,
            7);
  EXPECT_EQ(Translated("DSN=web", kWindowsLogon, {}), "DSN=web;Trusted_Connection=Yes;");
}

TEST(TranslateConnection, ReadsTheLoginTimeout) {
  struct Case {
    std::string item;
    int seconds;
  };
  for (const Case& c : std::vector<Case>{{"", 15},
                                         {"Connect Timeout=30", 30},
                                         {"Connection Timeout= 5 ", 5},
                                         {"Connect Timeout=0", 0},
                                         {"Connect Timeout=0x1E", 30}}) {
    const ConnectionTarget t = TranslateConnection("Provider=SQLOLEDB;Data Source=H;" + c.item,
                                                   kSqlLogon, kFreeTdsOnly, "");
    EXPECT_EQ(t.loginTimeoutSeconds, c.seconds) << c.item;
    EXPECT_EQ(t.statementTimeoutSeconds, 30);
  }
  for (const std::string bad : {"Connect Timeout=abc", "Connect Timeout=-1",
                                "Connect Timeout=99999999999", "Connect Timeout=5s"}) {
    EXPECT_THAT(ErrorOf("Provider=SQLOLEDB;" + bad), HasSubstr("Timeout")) << bad;
  }
  EXPECT_THAT(ErrorOf("Provider=SQLOLEDB;Encrypt=maybe"), HasSubstr("Encrypt"));
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
      {{"FreeTDS", "ODBC Driver 18 for SQL Server"}, "FreeTDS", "FreeTDS"},
      {{},
       "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so",
       "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"},
  };
  for (const Case& c : cases) {
    const ConnectionTarget t =
        TranslateConnection("Provider=SQLOLEDB;Data Source=H", kSqlLogon, c.installed, c.override);
    EXPECT_EQ(t.driver, c.chosen);
  }
  // A FreeTDS named by the path of its library still gets FreeTDS's items.
  EXPECT_EQ(Translated("Provider=SQLOLEDB;Data Source=H,1", kSqlLogon, {}, "/x/libtdsodbc.so"),
            "DRIVER={/x/libtdsodbc.so};SERVER=H;PORT=1;UID=u;PWD=p;TDS_Version=7.4;");

  for (const auto& installed :
       std::vector<std::vector<std::string>>{{}, {"PostgreSQL Unicode", "MySQL ODBC 8.0"}}) {
    const std::string error = ErrorOf("Provider=SQLOLEDB;Data Source=H", kSqlLogon, installed);
#ifndef _WIN32
    EXPECT_THAT(error, HasSubstr("apt-get install tdsodbc"));
#endif
    EXPECT_THAT(error, HasSubstr("ODBC Driver 18 for SQL Server"));
  }
}

// Logins and passwords that break a connection string written without care.
const std::vector<std::string> kAwkwardValues = {
    "p;q",        "}",
    "{",          "=",
    "a}b",        "{x}",
    "x}",         "}}",
    "a}}b",       " lead",
    "trail ",     "",
    "ü€𝄞",        "a b",
    "p}q;r",      "m}}n",
    "{a;b}",      "x;DRIVER={evil};SERVER=other",
    "\"quoted\"", "'q'",
    "a;UID=sa",   "a}b;c=d;DRIVER=evil",
    "};",         "x};DRIVER={evil};",
};

TEST(BuildOdbcConnectionString, MicrosoftDriversReadEveryCredentialBack) {
  for (const std::string& value : kAwkwardValues) {
    for (const bool asPassword : {true, false}) {
      const Logon logon{LogonMode::kSqlLogin, asPassword ? "u" : value, asPassword ? value : "p"};
      const std::string s =
          Translated("Provider=SQLOLEDB;Data Source=H;Initial Catalog=D", logon, kWithDriver18);
      const Items expected = {{"DRIVER", "ODBC Driver 18 for SQL Server"},
                              {"SERVER", "H"},
                              {"DATABASE", "D"},
                              {"UID", logon.login},
                              {"PWD", logon.password},
                              {"Encrypt", "no"}};
      EXPECT_EQ(ReadStandard(s), expected) << s;
      EXPECT_THAT(DriverManagerItems(s),
                  ::testing::ElementsAre("DRIVER=ODBC Driver 18 for SQL Server"))
          << s;
    }
  }
}

// FreeTDS cannot carry "};", and a "}" followed by "DRIVER=..." would make the driver manager,
// which reads braces by the standard, load another driver; everything else must come through.
bool FreeTdsMustRefuse(const std::string& value) {
  return value.find("};") != std::string::npos || value.find("DRIVER=") != std::string::npos;
}

TEST(BuildOdbcConnectionString, FreeTdsReadsEveryCredentialBackOrRefusesIt) {
  for (const std::string& value : kAwkwardValues) {
    for (const bool asPassword : {true, false}) {
      if (!asPassword && value.empty()) continue;  // refused for its own reason
      const Logon logon{LogonMode::kSqlLogin, asPassword ? "u" : value, asPassword ? value : "p"};
      const std::string prefix = "Provider=SQLOLEDB;Data Source=H;Initial Catalog=D";
      if (FreeTdsMustRefuse(value)) {
        EXPECT_THROW(Translated(prefix, logon, kFreeTdsOnly), Error) << value;
        continue;
      }
      const std::string s = Translated(prefix, logon, kFreeTdsOnly);
      const Items expected = {{"DRIVER", "FreeTDS"},   {"SERVER", "H"},
                              {"DATABASE", "D"},       {"UID", logon.login},
                              {"PWD", logon.password}, {"TDS_Version", "7.4"}};
      EXPECT_EQ(ReadFreeTds(s), expected) << s;
      EXPECT_THAT(DriverManagerItems(s), ::testing::ElementsAre("DRIVER=FreeTDS")) << s;
    }
  }
}

TEST(BuildOdbcConnectionString, RefusesWhatTheDriverCannotCarryWithoutShowingIt) {
  struct Case {
    std::string prefix;
    Logon logon;
    std::vector<std::string> drivers;
    std::string complaint;
  };
  const std::string sqlServer = "Provider=SQLOLEDB;Data Source=H;";
  const std::vector<Case> cases = {
      {sqlServer, {LogonMode::kSqlLogin, "u", "S3c};ret"}, kFreeTdsOnly, "The password"},
      {sqlServer, {LogonMode::kSqlLogin, "S3c};ret", "p"}, kFreeTdsOnly, "The SQL login"},
      {sqlServer, {LogonMode::kSqlLogin, "u", std::string("S3c\0ret", 7)}, kFreeTdsOnly, "NUL"},
      {sqlServer, {LogonMode::kSqlLogin, "u", std::string("S3c\0ret", 7)}, kWithDriver18, "NUL"},
      {sqlServer, {LogonMode::kSqlLogin, std::string("S3c\0ret", 7), "p"}, kWithDriver18, "NUL"},
      // FreeTDS would turn an empty login into a Kerberos logon.
      {sqlServer, {LogonMode::kSqlLogin, "", "S3cret"}, kFreeTdsOnly, "empty"},
      {"Provider=SQLOLEDB;Data Source=H;Initial Catalog=\"a};b\"", kSqlLogon, kFreeTdsOnly,
       "database"},
      // For a data source of unknown driver only values that every reading agrees on.
      {"DSN=web", {LogonMode::kSqlLogin, "u", "S3c}ret;"}, {}, "The password"},
  };
  for (const Case& c : cases) {
    const std::string error = ErrorOf(c.prefix, c.logon, c.drivers);
    EXPECT_THAT(error, HasSubstr(c.complaint)) << c.logon.password;
    EXPECT_THAT(error, Not(HasSubstr("S3c")));
  }
  // An empty login is an SQL login like any other for Microsoft's drivers.
  EXPECT_EQ(
      Translated("Provider=SQLOLEDB;Data Source=H", {LogonMode::kSqlLogin, "", ""}, kWithDriver18),
      "DRIVER={ODBC Driver 18 for SQL Server};SERVER=H;UID=;PWD=;Encrypt=no;");
  EXPECT_EQ(Translated("DSN=web", {LogonMode::kSqlLogin, "u", "a;b"}, {}),
            "DSN=web;UID=u;PWD={a;b};");
}

// Random credentials over the pieces that matter: each is read back exactly by the driver and
// leaves the driver manager's choice alone, or it is refused, and only for a reason.
TEST(BuildOdbcConnectionString, RandomCredentialsSurviveEveryDriversReading) {
  std::mt19937 random(20240531);
  const std::vector<std::string> pieces = {"a", ";", "{", "}", "=", " ", "DRIVER=", "DSN="};
  std::uniform_int_distribution<size_t> length(0, 8);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  int refused = 0;
  for (int round = 0; round < 1000; ++round) {
    std::string password;
    for (size_t n = length(random); n > 0; --n) password += pieces[pick(random)];
    const Logon logon{LogonMode::kSqlLogin, "u", password};
    const std::string prefix = "Provider=SQLOLEDB;Data Source=H";

    const std::string microsoft = Translated(prefix, logon, kWithDriver18);
    const auto standard = ReadStandard(microsoft);
    ASSERT_TRUE(standard.has_value()) << microsoft;
    ASSERT_EQ(standard->size(), 5u) << microsoft;
    EXPECT_EQ((*standard)[3], (std::pair<std::string, std::string>{"PWD", password}));
    EXPECT_THAT(DriverManagerItems(microsoft),
                ::testing::ElementsAre("DRIVER=ODBC Driver 18 for SQL Server"));

    std::string freeTds;
    try {
      freeTds = Translated(prefix, logon, kFreeTdsOnly);
    } catch (const Error&) {
      const bool smuggles = password.find('}') != std::string::npos &&
                            (password.find("DRIVER=") != std::string::npos ||
                             password.find("DSN=") != std::string::npos);
      EXPECT_TRUE(password.find("};") != std::string::npos || smuggles) << password;
      ++refused;
      continue;
    }
    const Items items = ReadFreeTds(freeTds);
    ASSERT_EQ(items.size(), 5u) << freeTds;
    EXPECT_EQ(items[3], (std::pair<std::string, std::string>{"PWD", password})) << freeTds;
    EXPECT_THAT(DriverManagerItems(freeTds), ::testing::ElementsAre("DRIVER=FreeTDS"));
  }
  EXPECT_LT(refused, 800);  // most of them still get through
}

}  // namespace
}  // namespace kivo
