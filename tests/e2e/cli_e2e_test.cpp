// The companion as administrators call it: the real binary, the real driver, the stand-in.
// The same scenarios run the Windows build under Wine: KIVO_CLI then names the .exe and
// KIVO_CLI_LAUNCHER the program that runs it ("wine").
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/visible_text.h"
#include "tests/support/files.h"
#include "tests/support/kivo_schema.h"
#include "tests/support/standin_process.h"
#include "tests/support/web_directory.h"
#include "upgrade/batches/upgrade_batches.h"

namespace kivo {
namespace {

using testing::KivoSchema;
using testing::StandIn;

// A password no output may ever show, and the one the web application stored.
constexpr const char* kPassword = "Vx7-distinctive-Q9";
constexpr const char* kStoredPassword = "stored-by-the-web-app";

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// The companion under test and how to speak to it.
struct Companion {
  std::string command;  // shell words, quoted
  bool windows = false;

  static Companion FromEnvironment() {
    const char* program = std::getenv("KIVO_CLI");
    const char* launcher = std::getenv("KIVO_CLI_LAUNCHER");
    Companion c;
    c.windows = launcher != nullptr && *launcher != '\0';
    c.command = (c.windows ? std::string(launcher) + " " : std::string()) + "'" +
                (program != nullptr && *program != '\0' ? program : KIVO_CLI) + "'";
    return c;
  }

  // A host path as the companion names it: on Windows the Unix root is drive Z:.
  std::string path(const std::filesystem::path& p) const {
    if (!windows) return p.string();
    std::string text = "Z:" + p.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
  }

  // The prefix's drive C:, where Windows paths such as C:\Inetpub\wwwroot lie.
  static std::filesystem::path DriveC() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix != nullptr && *prefix != '\0') return std::filesystem::path(prefix) / "drive_c";
    return std::filesystem::path(std::getenv("HOME")) / ".wine" / "drive_c";
  }

  // Output with the platform's line ends made "\n".
  std::string text(std::string output) const {
    if (!windows) return output;
    std::string plain;
    for (std::size_t i = 0; i < output.size(); ++i) {
      if (output[i] == '\r' && i + 1 < output.size() && output[i + 1] == '\n') continue;
      plain.push_back(output[i]);
    }
    return plain;
  }
};

// A folder the test made outside its own web directory, removed with this object.
struct RemovedAfter {
  std::filesystem::path folder;
  ~RemovedAfter() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
};

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KIVO_ODBC_DRIVER", "FreeTDS", 1);
    setenv("KIVO_E2E_PASSWORD", kPassword, 1);
  }

  // Starts the stand-in and writes its web.config into `folder`, the test's web directory
  // unless another is named.
  void start(const KivoSchema& schema, const std::filesystem::path& folder = {}) {
    server = std::make_unique<StandIn>(schema.scenarioJson());
    const std::string value = testing::KivoConnectionValue(server->port());
    const std::filesystem::path into = folder.empty() ? web.path() : folder;
    std::filesystem::create_directories(into);
    testing::WriteWebConfig(into, value);
  }

  Result cli(const std::string& arguments, const std::string& verb = "run") {
    return run("--web-dir '" + companion.path(web.path()) + "' " + arguments, verb);
  }

  // The run command, or another verb, with exactly these arguments.
  Result run(const std::string& arguments, const std::string& verb = "run") {
    const auto out = web.path().parent_path() / (web.path().filename().string() + ".out");
    const auto err = web.path().parent_path() / (web.path().filename().string() + ".err");
    const std::string command = companion.command + " " + verb + " " + arguments + " >'" +
                                out.string() + "' 2>'" + err.string() + "' </dev/null";
    Result r;
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = companion.text(testing::ReadFile(out));
    r.err = companion.text(testing::ReadFile(err));
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    for (const char* secret : {kPassword, kStoredPassword}) {
      EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
      EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    }
    // Whatever the server's names and messages hold, nothing drives the terminal.
    for (const std::string* output : {&r.out, &r.err}) {
      std::istringstream lines(*output);
      for (std::string line; std::getline(lines, line);) EXPECT_EQ(VisibleText(line), line);
    }
    return r;
  }

  KivoSchema schema() const {
    KivoSchema s;
    s.password = kPassword;
    return s;
  }

  const Companion companion = Companion::FromEnvironment();
  std::unique_ptr<StandIn> server;
  testing::WebDirectory web;
};

const std::string kLogin = "--sql-login kivo --password-env KIVO_E2E_PASSWORD";

TEST_F(CliEndToEnd, SuccessPrintsTheStatusLinesAndExitsZero) {
  start(schema());
  const Result r = cli(kLogin);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Table CHXD.T2011 columns altered!\n\nTable MD.CustomerContact columns altered!\n\n"
            "Table CHXD.CustomerContact columns altered!\n\nTable MD.Customer Columns altered!\n\n"
            "Table CHXD.Customer Columns altered!\n\nKivo client was update successful\n");
  EXPECT_EQ(r.err, "message: Update successful!\n");
}

TEST_F(CliEndToEnd, AFailureVerdictExitsOne) {
  KivoSchema s = schema();
  s.indexedColumn = "CHXD.T2011.i13";
  start(s);
  const Result r = cli(kLogin);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("The index 'IX_T2011' is dependent on column 'i13'.\nALTER TABLE"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "message: Update NOT successful. Contact Admin!\n");
}

// Whether a finding of this level is printed for `where` with these words in its message.
bool HasFinding(const std::string& out, const std::string& level, const std::string& where,
                const std::string& words) {
  std::string prefix = level;
  prefix.resize(8, ' ');
  for (std::size_t at = out.find(prefix + where + ": "); at != std::string::npos;
       at = out.find(prefix + where + ": ", at + 1)) {
    const std::string line = out.substr(at, out.find('\n', at) - at);
    if (line.find(words) != std::string::npos) return true;
  }
  return false;
}

// 4902 on a table the login may not alter, or may not see, is no missing table (every mix of
// them: run_e2e_test); nor does the check pass on it.
TEST_F(CliEndToEnd, TablesTheLoginMayNotAlterOrSeeExitOne) {
  struct Case {
    const char* name;
    std::set<std::string> notAlterable;
    std::string invisible;
    std::string cause;    // the status line's last words
    std::string finding;  // of the check: level, and words of the table's message
  };
  for (const Case& c : std::vector<Case>{{"one table",
                                          {"CHXD.T2011"},
                                          "",
                                          "The table exists: the login may not alter "
                                          "CHXD.T2011.\n",
                                          "BLOCKER|no ALTER permission"},
                                         {"invisible",
                                          {},
                                          "CHXD.T_HIST",
                                          "The login may not see CHXD.T_HIST (no VIEW "
                                          "DEFINITION permission): whether it is missing or "
                                          "may not be altered cannot be told.\n",
                                          "UNKNOWN|not among those the login can see"}}) {
    SCOPED_TRACE(c.name);
    KivoSchema s = schema();
    s.notAlterable = c.notAlterable;
    if (!c.invisible.empty()) {
      s.tableDetails[c.invisible] = R"("not_visible": true)";
      s.loginDetails = R"("may_read_dependencies": false, "may_alter_schemas": false)";
    }
    start(s);
    const Result r = cli(kLogin);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with(c.cause)) << r.out;
    EXPECT_EQ(r.out.find("existing!"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "message: Update NOT successful. Contact Admin!\n");

    const Result check = cli(kLogin, "check");
    EXPECT_EQ(check.status, 1);
    const std::string table = c.invisible.empty() ? *c.notAlterable.begin() : c.invisible;
    const std::size_t bar = c.finding.find('|');
    EXPECT_TRUE(HasFinding(check.out, c.finding.substr(0, bar), table, c.finding.substr(bar + 1)))
        << check.out;
  }
}

// Another session's lock on MD.CustomerContact makes each of batch 2's ALTERs wait the lock
// timeout and fail; the other batches go on.
TEST_F(CliEndToEnd, ALockTimeoutNamesTheCause) {
  KivoSchema s = schema();
  s.serverDetails = R"j("sessions": [{"session_id": 61, "login": "app", "program": "KivoWeb",
      "locks": [{"table": "MD.CustomerContact", "mode": "IX"}]}])j";
  start(s);
  const auto started = std::chrono::steady_clock::now();
  const Result r = cli("--lock-timeout 2 " + kLogin);
  std::printf("--lock-timeout 2 against a locked table: %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  EXPECT_EQ(r.status, 1);
  const std::string cause =
      "Lock request time out period exceeded. Another session holds a lock on "
      "MD.CustomerContact.\n";
  EXPECT_NE(r.out.find("Table CHXD.T2011 columns altered!\n\n" + cause), std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with("Table CHXD.Customer Columns altered!\n\n" + cause)) << r.out;
  EXPECT_EQ(r.err, "message: Update NOT successful. Contact Admin!\n");
  EXPECT_EQ(server->columnType("MD.CustomerContact", "N"), "varchar(50)");
  const std::vector<std::string> received = server->allReceivedBatches();
  EXPECT_NE(std::find(received.begin(), received.end(), "SET LOCK_TIMEOUT 2000;"), received.end());

  // Without a lock timeout the ALTER waits until the statement timeout cancels it.
  const Result waited = cli("--statement-timeout 1 " + kLogin);
  EXPECT_EQ(waited.status, 1);
  const auto records = server->records();
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const auto& r) {
    return r.cancelled && r.text.starts_with("ALTER TABLE MD.CustomerContact");
  }));
}

TEST_F(CliEndToEnd, ARefusedConnectionExitsThree) {
  start(schema());
  setenv("KIVO_E2E_PASSWORD", "not-the-password", 1);
  const Result r = cli(kLogin);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "message: Login failed for user 'kivo'.\n"
            "hint: the server refused the login of the SQL login kivo: check the login name and "
            "password, that the login is enabled, and that the server accepts SQL Server "
            "authentication\n");

  // The report of a refused run keeps every record of the open, the shown one first.
  setenv("KIVO_E2E_PASSWORD", kPassword, 1);
  web.writeEntry(testing::KivoConnectionValue(server->port(), "NoSuchDb"));
  const Result json = cli("--json " + kLogin);
  EXPECT_EQ(json.status, 3);
  const auto report = nlohmann::json::parse(json.out);
  std::vector<int> numbers;
  for (const auto& record : report["failure"]["records"]) numbers.push_back(record["nativeError"]);
  const auto database = std::find(numbers.begin(), numbers.end(), 4060);
  const auto login = std::find(numbers.begin(), numbers.end(), 18456);
  EXPECT_NE(login, numbers.end()) << json.out;
  EXPECT_LT(database, login) << json.out;
  // A refused login comes with the missing database: the hint names the database.
  EXPECT_NE(report["hint"].get<std::string>().find("the database NoSuchDb could not be opened"),
            std::string::npos)
      << json.out;
}

// What the real driver reports for a closed port and for integrated logon without a Kerberos
// ticket, read into the hint an administrator needs.
TEST_F(CliEndToEnd, ARefusedConnectionNamesItsLikelyCause) {
  start(schema());
  const Result integrated = cli("");
  EXPECT_EQ(integrated.status, 3);
  // Windows logs on through SSPI: the Kerberos ticket is a matter of the other systems only.
  const char* launcher = std::getenv("KIVO_CLI_LAUNCHER");
  if (launcher == nullptr || *launcher == '\0') {
    EXPECT_NE(integrated.err.find("\nhint: integrated logon on this system goes through Kerberos"),
              std::string::npos)
        << integrated.err;
  }

  // Encryption required of a server that offers none: refused before the login is sent.
  auto logins = [this] {
    const std::string log = server->serverLog();
    std::size_t n = 0;
    for (std::size_t at = 0; (at = log.find("login user=", at)) != std::string::npos; ++at) ++n;
    return n;
  };
  const std::size_t before = logins();
  for (const std::string verb : {"run", "check"}) {
    const Result encrypted = cli("--encrypt=require " + kLogin, verb);
    EXPECT_EQ(encrypted.status, 3) << verb;
    EXPECT_NE(encrypted.err.find("\nhint: the connection requires encryption (--encrypt=require, "
                                 "or Encrypt in the connection value) and the server at "
                                 "127.0.0.1, port " +
                                 std::to_string(server->port()) + " offers none"),
              std::string::npos)
        << encrypted.err;
  }
  EXPECT_EQ(logins(), before) << server->serverLog();

  const int port = server->port();
  server.reset();
  const Result closed = cli(kLogin);
  EXPECT_EQ(closed.status, 3);
  EXPECT_NE(closed.err.find("\nhint: no SQL Server could be reached at 127.0.0.1, port " +
                            std::to_string(port) + ":"),
            std::string::npos)
      << closed.err;
}

TEST_F(CliEndToEnd, DryRunSendsNothing) {
  start(schema());
  const Result r = cli("--dry-run " + kLogin);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("server: 127.0.0.1," + std::to_string(server->port())), std::string::npos);
  EXPECT_NE(r.out.find("PWD=****"), std::string::npos) << r.out;
  EXPECT_TRUE(server->allReceivedBatches().empty());
}

TEST_F(CliEndToEnd, JsonMatchesTheStatusLines) {
  KivoSchema s = schema();
  s.missing = {"MD.Customer_Hist"};
  start(s);
  const Result r = cli("--json --atomic " + kLogin);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  // One document, nothing else, and it validates as JSON.
  const auto file = web.path() / "report.json";
  std::ofstream(file) << r.out;
  EXPECT_EQ(
      std::system(("/usr/bin/python3 -m json.tool '" + file.string() + "' >/dev/null").c_str()), 0)
      << r.out;
  std::filesystem::remove(file);
  const auto json = nlohmann::json::parse(r.out);
  EXPECT_EQ(json["verdict"], "succeeded");
  bool created = false;
  for (const auto& line : json["statusLines"])
    created |= line == "Table MD.Customer_Hist is created!\r\n";
  EXPECT_TRUE(created) << r.out;
  bool historyCreated = false;
  for (const auto& batch : json["batches"]) historyCreated |= batch["outcome"] == "history created";
  EXPECT_TRUE(historyCreated) << r.out;
  EXPECT_NE(json["batches"].dump().find(R"("nativeError":4902)"), std::string::npos);
  EXPECT_EQ(json["connection"]["port"], server->port());
  // Every statement sent has its time, the transaction's own as well.
  EXPECT_EQ(json["transaction"]["outcome"], "committed");
  std::vector<nlohmann::json> statements(json["transaction"]["statements"].begin(),
                                         json["transaction"]["statements"].end());
  ASSERT_EQ(statements.size(), 2u) << r.out;
  EXPECT_EQ(statements[0]["text"], "BEGIN TRANSACTION");
  EXPECT_EQ(statements[1]["text"], "COMMIT TRANSACTION");
  for (const auto& batch : json["batches"]) {
    statements.insert(statements.end(), batch["statements"].begin(), batch["statements"].end());
    if (!batch["history"].is_null()) {
      statements.insert(statements.end(), batch["history"]["statements"].begin(),
                        batch["history"]["statements"].end());
    }
  }
  EXPECT_EQ(statements.size(), 2u + 20u + 1u);
  for (const auto& statement : statements) {
    EXPECT_TRUE(statement["durationMs"].is_number_integer() && statement["durationMs"] >= 0)
        << statement.dump();
  }
}

// Text crossing the Windows boundary: folder names, passwords and output in UTF-8.
TEST_F(CliEndToEnd, AWebDirectoryWithNonAsciiLettersIsFoundAndNamed) {
  const auto folder = web.path() / "Kundenbüro wwwroot";
  const std::string file = companion.path(folder / "web.config");
  Result r = run("--web-dir '" + companion.path(folder) + "' " + kLogin);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(": " + file + "\n"), std::string::npos) << r.out << r.err;

  start(schema(), folder);
  r = run("--web-dir '" + companion.path(folder) + "' " + kLogin);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "message: Update successful!\n");
}

TEST_F(CliEndToEnd, APasswordWithNonAsciiLettersFromTheEnvironmentLogsOn) {
  KivoSchema s = schema();
  s.password = "Kennwort-für-Ωmega";  // Ω lies outside every Western code page
  start(s);
  setenv("KIVO_E2E_PASSWORD", s.password.c_str(), 1);
  const Result r = cli(kLogin);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "message: Update successful!\n");
}

TEST_F(CliEndToEnd, ADriveLetterPathWithATrailingBackslash) {
  if (!companion.windows) GTEST_SKIP() << "drive letters are for the Windows build";
  const std::string name = web.path().filename().string();
  const RemovedAfter folder{Companion::DriveC() / name};
  start(schema(), folder.folder);
  const Result r = run("--web-dir 'C:\\" + name + "\\' " + kLogin);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "message: Update successful!\n");
}

TEST_F(CliEndToEnd, TheDefaultWebDirectoryIsInetpubWwwrootOnDriveC) {
  if (!companion.windows) GTEST_SKIP() << "the default web directory is a Windows path";
  const auto inetpub = Companion::DriveC() / "Inetpub";
  ASSERT_FALSE(std::filesystem::exists(inetpub)) << "not made by this test: " << inetpub;
  const RemovedAfter made{inetpub};
  start(schema(), inetpub / "wwwroot");
  const Result r = run(kLogin);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "message: Update successful!\n");
}

// ---- check

class CheckEndToEnd : public CliEndToEnd {
 protected:
  Result check(const std::string& arguments = "") { return cli(arguments + " " + kLogin, "check"); }

  // Nothing but SELECT statements besides what the driver sends by itself, and the names
  // bound as parameters.
  void expectOnlySelects() {
    int queries = 0;
    for (const auto& r : server->records()) {
      if (r.housekeeping) continue;
      ++queries;
      EXPECT_TRUE(r.text.starts_with("SELECT ")) << r.text;
      EXPECT_EQ(r.text.find("CustomerContact"), std::string::npos) << r.text;
    }
    EXPECT_GE(queries, 10);
    EXPECT_LE(queries, 15);
  }
};

TEST_F(CheckEndToEnd, TheDemoDatabaseIsCleanAndTheCheckOnlyReads) {
  server = std::make_unique<StandIn>(testing::ReadFile(KIVO_DEMO_SCENARIO));
  web.writeEntry(testing::KivoConnectionValue(server->port()));
  setenv("KIVO_E2E_PASSWORD", "kivo-demo", 1);
  const Result r = check();
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(HasFinding(r.out, "WARN", "CHXD.T2011.i13", "varchar(50) to nvarchar(250)"));
  EXPECT_TRUE(HasFinding(r.out, "INFO", "MD.Customer.N", "a widening, metadata only"));
  EXPECT_TRUE(HasFinding(r.out, "INFO", "CHXD.CustomerContact_Hist", "creates it as a copy"));
  EXPECT_NE(r.out.find("verdict: passed"), std::string::npos) << r.out;
  expectOnlySelects();
  EXPECT_EQ(server->columnType("CHXD.T2011", "i13"), "varchar(50)");
  // Warnings fail a strict check.
  EXPECT_EQ(check("--strict").status, 1);
}

TEST_F(CheckEndToEnd, NotNullAndACollationOfItsOwnAreWarnings) {
  KivoSchema s = schema();
  s.columnDetails["MD.Customer.N"] = R"j("nullable": false, "type": "nvarchar(100)")j";
  s.columnDetails["MD.Customer.Address"] = R"j("collation": "Latin1_General_BIN")j";
  // A login that may see other sessions sees the one the ALTER would wait for.
  s.loginDetails = R"j("view_server_state": true)j";
  // Azure SQL Database reports version 12 and has system-versioned tables.
  s.serverDetails = R"j("server_version": "12.0.2000.8", "engine_edition": 5,
      "sessions": [{"session_id": 61, "login": "app", "host": "WEB02",
      "program": "KivoWeb", "locks": [{"table": "MD.Customer", "mode": "IX"}]}])j";
  s.tableDetails["CHXD.Customer"] = R"j("system_versioned": true,
      "history_table": "CHXD.CustomerHistory")j";
  s.extraTables = {R"j({"schema": "CHXD", "name": "CustomerHistory", "columns": [
      {"name": "N", "type": "varchar(50)"}]})j"};
  start(s);
  const Result r = check();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(HasFinding(r.out, "WARN", "MD.Customer.N", "NOT NULL")) << r.out;
  EXPECT_TRUE(HasFinding(r.out, "WARN", "MD.Customer.Address",
                         "Latin1_General_BIN becomes the database default "
                         "SQL_Latin1_General_CP1_CI_AS"))
      << r.out;
  EXPECT_TRUE(HasFinding(r.out, "WARN", "MD.Customer", "session 61")) << r.out;
  EXPECT_TRUE(HasFinding(r.out, "INFO", "CHXD.Customer", "system-versioned")) << r.out;
}

// A SQL Server 2022 database on a case-sensitive collation, with everything that would make
// the upgrade fail or hurt, each as the documentation describes it.
TEST_F(CheckEndToEnd, EachBlockerAndRunCheckFirstAltersNothing) {
  KivoSchema s = schema();
  s.serverDetails = R"j("server_version": "16.0.1000.6", "sessions": [{"session_id": 61,
      "login": "app", "host": "WEB02", "program": "KivoWeb", "locks": [{"table": "MD.Customer",
      "mode": "IX"}]}])j";
  s.loginDetails = R"j("ansi_warnings": false)j";
  s.tableDetails["CHXD.T2011"] = R"j("indexes": [{"name": "PK_T2011", "columns": ["i13"],
      "primary_key": true}, {"name": "IX_T2011_i15", "columns": ["i15"]}],
      "system_versioned": true, "history_table": "CHXD.TPRICE", "cdc": true,
      "used_pages": 20000)j";
  s.tableDetails["CHXD.TPRICE"] = R"j("foreign_keys": [{"name": "FK_TPRICE_T2011",
      "columns": ["i13"], "references": "CHXD.T2011", "ref_columns": ["i13"]}],
      "statistics": [{"name": "ST_TPRICE_i15", "columns": ["i15"]}])j";
  // An index whose name would clear the screen, write the clipboard (OSC 52), overwrite its
  // line from the start and turn the rest of it around.
  s.tableDetails["MD.CustomerContact"] = R"j("checks": [{"name": "CK_N", "column": "N",
      "definition": "([N]<>'')"}], "defaults": [{"name": "DF_Address", "column": "Address",
      "definition": "('')"}], "indexes": [{"name":
      "IX\u001b[2J\u001b]52;c;SGk=\u0007\rINFO \u202e_A", "columns": ["Address"]}],
      "ledger": "UPDATABLE_LEDGER_TABLE")j";
  s.tableDetails["CHXD.CustomerContact"] = R"j("columns": [{"name": "Id", "type": "int",
      "identity": true}, {"name": "N", "type": "varchar(50)"},
      {"name": "Address", "type": "varchar(50)"},
      {"name": "Label", "type": "nvarchar(60)", "computed": "(upper([N]))"},
      {"name": "ChangeU", "type": "bigint"}], "not_readable": true)j";
  // N'...' literals are no reference to column N.
  s.tableDetails["MD.Customer"] = R"j("fulltext": ["Address"], "columns": [{"name": "Id",
      "type": "int"}, {"name": "N", "type": "varchar(50)"}, {"name": "Address",
      "type": "varchar(50)", "rule": "R_Address"}, {"name": "FirstName", "type": "nvarchar(40)"},
      {"name": "LastName", "type": "nvarchar(40)"}, {"name": "FullName", "type": "nvarchar(82)",
      "computed": "(isnull([FirstName],N'')+N' '+[LastName])"}],
      "checks": [{"name": "CK_Customer_Name", "definition": "([LastName]<>N'')"}],
      "filegroup": {"name": "ARCHIVE", "read_only": true})j";
  s.tableDetails["CHXD.Customer"] = R"j("partitioned": true, "partition_column": "Address")j";
  s.columnDetails["CHXD.Customer.N"] = R"j("encrypted": true)j";
  s.columnDetails["CHXD.Customer.Address"] = R"j("type": "nvarchar(100)")j";
  s.columnDetails["CHXD.Customer_Hist.N"] = R"j("type": "ntext")j";
  s.columnDetails["CHXD.Customer_Hist.Address"] = R"j("type": "xml")j";
  s.columnDetails["MD.Customer_Hist.N"] = R"j("type": "timestamp")j";
  s.columnDetails["MD.Customer_Hist.Address"] = R"j("computed": "([N]+'x')")j";
  s.columnDetails["MD.CustomerContact.Address"] = R"j("type": "hierarchyid")j";
  s.columnDetails["CHXD.TPRICE.i15"] = R"j("type": "int", "identity": true)j";
  s.columnDetails["CHXD.T2011.i15"] = R"j("bound_default": "D_Blank")j";
  s.databaseDetails = R"j("collation": "Latin1_General_CS_AS", "updateability": "READ_ONLY",
      "dependents": [{"schema": "CHXD", "name": "vContacts", "type": "VIEW",
      "schema_bound": true, "references": ["CHXD.CustomerContact.Address"]}],
      "log": {"size_pages": 256, "max_size_pages": 256, "growth_pages": 0, "used_pages": 200},
      "ddl_triggers": [{"name": "trAuditDdl", "events": ["DDL_TABLE_EVENTS"]}],
      "replication": {"publications": [{"name": "KivoOrders", "replicate_ddl": 0,
      "articles": ["CHXD.T2011"]}, {"name": "KivoMerge", "type": "merge",
      "articles": ["CHXD.TPRICE"], "publisher": "PUB01", "publisher_db": "KivoDB"}]})j";
  s.missing = {"CHXD.T_HIST", "CHXD.CustomerContact_Hist"};
  // What an earlier run made of batch 3's history statement on this collation.
  s.extraTables = {R"j({"schema": "CHXD", "name": "CustomerContact_HIST", "columns": [
      {"name": "Id", "type": "int"}, {"name": "N", "type": "nvarchar(250)"},
      {"name": "Address", "type": "nvarchar(250)"}, {"name": "ChangeU", "type": "bigint"},
      {"name": "ChangeD", "type": "bigint"}]})j"};
  start(s);
  const Result r = check();
  EXPECT_EQ(r.status, 1);
  struct Expected {
    const char* level;  // nullptr: no finding at any level
    std::string where;
    std::string words;
  };
  for (const Expected& e : std::vector<Expected>{
           {"BLOCKER", "CHXD.T2011.i13", "primary key PK_T2011"},
           {"BLOCKER", "CHXD.T2011.i15", "index IX_T2011_i15"},
           {"BLOCKER", "CHXD.T2011.i13", "foreign key FK_TPRICE_T2011 (referenced CHXD.TPRICE)"},
           {"BLOCKER", "CHXD.TPRICE.i13", "foreign key FK_TPRICE_T2011 (referencing CHXD.T2011)"},
           {"BLOCKER", "CHXD.TPRICE.i15", "statistics ST_TPRICE_i15"},
           {"BLOCKER", "MD.CustomerContact.N", "CHECK CK_N"},
           {"BLOCKER", "MD.CustomerContact.Address", "DEFAULT DF_Address"},
           {"BLOCKER", "MD.CustomerContact.Address",
            "index IX\\x1b[2J\\x1b]52;c;SGk=\\x07\\x0dINFO \\u202e_A"},
           {"BLOCKER", "CHXD.CustomerContact.N", "computed column Label"},
           {"BLOCKER", "CHXD.CustomerContact.Address", "schema-bound view CHXD.vContacts"},
           {"BLOCKER", "MD.Customer.Address", "full-text index"},
           {"BLOCKER", "CHXD.Customer.N", "partitioned"},
           {"BLOCKER", "CHXD.Customer_Hist.N", "ntext cannot be altered"},
           {"BLOCKER", "MD.Customer_Hist.Address", "the column is computed"},
           // Only bracketed names in a stored definition are columns.
           {nullptr, "MD.Customer.N", "FullName"},
           {nullptr, "MD.Customer.N", "CK_Customer_Name"},
           // Tables and columns that cannot take the change.
           {"BLOCKER", "CHXD.TPRICE", "history table of system-versioned CHXD.T2011"},
           {"BLOCKER", "MD.Customer_Hist.N", "timestamp"},
           {"BLOCKER", "CHXD.Customer_Hist.Address", "xml"},
           {"BLOCKER", "MD.CustomerContact.Address", "CLR type hierarchyid"},
           {"BLOCKER", "CHXD.TPRICE.i15", "identity"},
           {"BLOCKER", "MD.Customer.Address", "rule R_Address"},
           {"BLOCKER", "CHXD.T2011.i15", "default D_Blank"},
           {"BLOCKER", "CHXD.Customer.N", "Always Encrypted"},
           {"BLOCKER", "MD.CustomerContact.N", "ledger table"},
           {"BLOCKER", "CHXD.Customer.Address", "partitioning column"},
           {"BLOCKER", "CHXD.TPRICE", "subscriber of merge publication KivoMerge"},
           {"WARN", "CHXD.T2011", "replicate_ddl"},
           {"INFO", "CHXD.T2011", "change data capture"},
           // The history copy's own needs, on a collation where _Hist and _HIST differ.
           {"INFO", "CHXD.CustomerContact_Hist", "does not exist"},
           {"BLOCKER", "CHXD.CustomerContact_Hist", "ChangeU"},
           {"BLOCKER", "CHXD.CustomerContact_Hist", "SELECT on CHXD.CustomerContact"},
           {"INFO", "CHXD.CustomerContact_Hist", "identity"},
           {"WARN", "CHXD.CustomerContact_Hist", "CHXD.CustomerContact_HIST"},
           // What would make the live upgrade fail or hurt.
           {"INFO", "(server)", "ANSI_WARNINGS OFF"},
           {"BLOCKER", "(server)", "READ_ONLY"},
           {"BLOCKER", "MD.Customer", "read-only filegroup ARCHIVE"},
           {"INFO", "(server)", "cannot see other sessions"},
           {"WARN", "(server)", "DDL trigger trAuditDdl"},
           {"WARN", "(server)", "log"},
       }) {
    if (e.level == nullptr) {
      for (const char* level : {"BLOCKER", "WARN", "INFO", "UNKNOWN"}) {
        EXPECT_FALSE(HasFinding(r.out, level, e.where, e.words))
            << e.where << ": " << e.words << "\n"
            << r.out;
      }
    } else {
      EXPECT_TRUE(HasFinding(r.out, e.level, e.where, e.words))
          << e.level << " " << e.where << ": " << e.words << "\n"
          << r.out;
    }
  }
  EXPECT_TRUE(HasFinding(r.out, "WARN", "CHXD.T_HIST", "does not exist")) << r.out;
  expectOnlySelects();

  const std::size_t before = server->records().size();
  const Result run = cli("--check-first " + kLogin);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("BLOCKER CHXD.T2011.i13: primary key PK_T2011"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("BLOCKER MD.CustomerContact.Address: index IX\\x1b[2J"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("nothing was altered"), std::string::npos) << run.out;
  const auto records = server->records();
  for (std::size_t i = before; i < records.size(); ++i) {
    EXPECT_FALSE(records[i].text.starts_with("ALTER")) << records[i].text;
  }
}

TEST_F(CheckEndToEnd, AShrinkWithValuesTooLongFailsOnlyWhenTheyAreCounted) {
  KivoSchema s = schema();
  s.columnDetails["CHXD.Customer.Address"] = R"j("type": "nvarchar(max)")j";
  // 250 emoji are 500 UTF-16 units, though 250 characters.
  std::string emoji;
  for (int i = 0; i < 250; ++i) emoji += "\\ud83d\\ude00";
  // char(300) values come back padded: trailing blanks are not counted.
  s.columnDetails["CHXD.Customer.N"] = R"j("type": "char(300)")j";
  s.tableDetails["CHXD.Customer"] = R"j("data": {"Address": ["short", ")j" + std::string(250, 'x') +
                                    R"j(", ")j" + std::string(251, 'y') + R"j(", ")j" + emoji +
                                    R"j("], "N": ["short", ")j" + std::string(250, 'z') +
                                    R"j("]})j";
  start(s);
  const Result plain = check();
  EXPECT_EQ(plain.status, 0) << plain.out;
  EXPECT_TRUE(HasFinding(plain.out, "WARN", "CHXD.Customer.Address", "--scan-data"));
  const Result scanned = check("--scan-data");
  EXPECT_EQ(scanned.status, 1);
  EXPECT_TRUE(HasFinding(scanned.out, "BLOCKER", "CHXD.Customer.Address",
                         "2 values are longer than 250 UTF-16 units"))
      << scanned.out;
  EXPECT_TRUE(HasFinding(scanned.out, "INFO", "CHXD.Customer.N", "every value fits"))
      << scanned.out;
}

TEST_F(CheckEndToEnd, ALoginWithoutAlterPermission) {
  KivoSchema s = schema();
  s.notAlterable = {"MD.Customer"};
  // SQL Server 2014 has memory-optimized tables but cannot alter them.
  s.serverDetails = R"j("server_version": "12.0.6024.0")j";
  s.tableDetails["CHXD.T2011"] = R"j("memory_optimized": true)j";
  start(s);
  const Result r = check();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(HasFinding(r.out, "BLOCKER", "MD.Customer", "no ALTER permission")) << r.out;
  EXPECT_TRUE(HasFinding(r.out, "BLOCKER", "CHXD.T2011", "SQL Server 2014 cannot alter")) << r.out;
}

// db_ddladmin and db_datareader, as the README recommends: no VIEW DEFINITION and no SELECT
// on sys.sql_expression_dependencies, which db_owner has.
TEST_F(CheckEndToEnd, ALoginThatMayNotReadDependenciesStillSeesSchemaBoundModules) {
  KivoSchema s = schema();
  s.loginDetails = R"j("may_read_dependencies": false)j";
  start(s);
  Result r = check();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("verdict: passed"), std::string::npos) << r.out;

  s.databaseDetails = R"j("dependents": [{"schema": "CHXD", "name": "vContacts",
      "type": "VIEW", "schema_bound": true, "references": ["CHXD.CustomerContact.Address"]}])j";
  start(s);
  r = check();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(HasFinding(r.out, "BLOCKER", "CHXD.CustomerContact.Address",
                         "schema-bound view CHXD.vContacts"))
      << r.out;
  EXPECT_EQ(r.out.find("UNKNOWN"), std::string::npos) << r.out;
}

TEST_F(CheckEndToEnd, AServerRefusingEveryCatalogQueryIsNeverAPass) {
  KivoSchema s = schema();
  s.faultDetails = R"j("refuse_catalog": true)j";
  start(s);
  const Result r = check("--json");
  EXPECT_EQ(r.status, 1);
  const auto json = nlohmann::json::parse(r.out);
  EXPECT_EQ(json["schemaVersion"], 1);
  EXPECT_EQ(json["verdict"], "not passed");
  ASSERT_TRUE(json["check"].is_object()) << r.out;
  std::set<std::string> levels;
  for (const auto& f : json["check"]["findings"]) levels.insert(f["level"].get<std::string>());
  EXPECT_EQ(levels, std::set<std::string>{"UNKNOWN"});
}

TEST_F(CheckEndToEnd, ARefusedConnectionExitsThree) {
  start(schema());
  setenv("KIVO_E2E_PASSWORD", "not-the-password", 1);
  const Result r = check();
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "refused: Login failed for user 'kivo'.\n"
            "hint: the server refused the login of the SQL login kivo: check the login name and "
            "password, that the login is enabled, and that the server accepts SQL Server "
            "authentication\n");
}

}  // namespace
}  // namespace kivo
