#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "base/visible_text.h"
#include "cli/cli.h"
#include "codec/scrambled_value.h"
#include "system/machine_names.h"
#include "tests/support/fake_database_client.h"
#include "tests/support/web_directory.h"
#include "upgrade/batches/upgrade_batches.h"
#include "upgrade/connection/connection_translation.h"
#include "upgrade/preflight/preflight.h"

namespace kivo::cli {
namespace {

using kivo::testing::FakeServer;

constexpr const char* kSecret = "Zq8-stored-SECRET";
// Brace and semicolon where a masker that misreads the driver's quoting would show the tail.
constexpr const char* kTyped = "Typ}ed;Tail-9Z";
// A server's text that clears the screen, writes the clipboard (OSC 52), returns to the start
// of the line to overwrite it and turns the rest of it around; and how it must be shown.
constexpr const char* kHostile = "\x1b[2J\x1b]52;c;SGk=\x07\rINFO \xE2\x80\xAE!";
constexpr const char* kHostileShown = "\\x1b[2J\\x1b]52;c;SGk=\\x07\\x0dINFO \\u202e!";

struct Result {
  int status;
  std::string out;
  std::string err;
};

// What docs/REPORT.md promises: its tables of keys (with their types), verdicts and outcomes.
struct DocumentedReport {
  std::map<std::string, std::string> keys;  // path ("batches[].number") to its type's words
  std::set<std::string> verdicts;
  std::set<std::string> outcomes;
  std::vector<std::string> examples;
  // The check's report: its fields ("check.findings[].level") with their meanings, and kinds.
  std::map<std::string, std::string> checkKeys;
  std::string checkKinds;
};

DocumentedReport ReadReportDocument() {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/docs/REPORT.md");
  DocumentedReport doc;
  std::string line, section, example, checkPrefix;
  bool inExample = false, inKinds = false;
  while (std::getline(in, line)) {
    if (section == "The check's report") {
      if (line == "`check`:") checkPrefix = "check.";
      if (line == "A finding:") checkPrefix = "check.findings[].";
      inKinds = line.starts_with("Kinds:") || (inKinds && !line.empty());
      if (inKinds) doc.checkKinds += line + " ";
      // "| `computer`, `webDirectory` | meaning |"
      const std::size_t cells = line.find(" | ");
      if (line.starts_with("| `") && cells != std::string::npos) {
        for (std::size_t at = line.find('`'); at < cells; at = line.find('`', at + 1)) {
          const std::size_t end = line.find('`', at + 1);
          doc.checkKeys[checkPrefix + line.substr(at + 1, end - at - 1)] = line.substr(cells);
          at = end;
        }
      }
    }
    if (inExample) {
      if (line == "```") {
        doc.examples.push_back(example);
        inExample = false;
      } else {
        example += line + "\n";
      }
    } else if (line == "```json") {
      inExample = true;
      example.clear();
    } else if (line.starts_with("## ")) {
      section = line.substr(3);
    } else if (line.starts_with("| `")) {
      // "| `name` | second column | ..."
      const std::size_t end = line.find('`', 3);
      const std::string name = line.substr(3, end - 3);
      const std::size_t second = line.find("| ", end) + 2;
      const std::string type = line.substr(second, line.find(" |", second) - second);
      if (section == "Keys") doc.keys[name] = type;
      if (section == "Verdicts") doc.verdicts.insert(name);
      if (section == "Batch outcomes") doc.outcomes.insert(name);
    }
  }
  return doc;
}

// Every key path of a document with the type of its value.
void CollectKeys(const nlohmann::json& value, const std::string& path,
                 std::vector<std::pair<std::string, const nlohmann::json*>>& keys) {
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      const std::string memberPath = path.empty() ? key : path + "." + key;
      keys.emplace_back(memberPath, &member);
      CollectKeys(member, memberPath, keys);
    }
  } else if (value.is_array()) {
    for (const auto& element : value) CollectKeys(element, path + "[]", keys);
  }
}

std::string TypeWord(const nlohmann::json& value) {
  if (value.is_null()) return "null";
  if (value.is_boolean()) return "boolean";
  if (value.is_number()) return "number";
  if (value.is_string()) return "string";
  return value.is_array() ? "array" : "object";
}

class CliRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    web.writeEntry(std::string("Provider=SQLOLEDB.1;Password=") + kSecret +
                   ";Data Source=db01;Initial Catalog=KIVO;User ID=kivo;Password=" + kSecret);
    setenv("KIVO_TEST_PASSWORD", kTyped, 1);
  }

  Result Cli(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin() + 1, {"--web-dir", web.pathText()});
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = RunCommandLine(args, in, out, err, kivo::testing::FakeEnvironment(server));
    ExpectOnlyVisible(out.str());
    ExpectOnlyVisible(err.str());
    return {status, out.str(), err.str()};
  }

  // No character that could drive a terminal or reorder a line, whatever the server said.
  static void ExpectOnlyVisible(const std::string& output) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(VisibleText(line), line);
  }

  static void ExpectNoSecret(const Result& r) {
    for (const char* secret : {kSecret, kTyped, "Tail-9Z"}) {
      EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
      EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    }
  }

  kivo::testing::WebDirectory web;
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
};

TEST_F(CliRunTest, StatusLinesGoToStandardOutputAsTheBoxShowsThem) {
  const Result r = Cli({"run"});
  EXPECT_EQ(r.status, kExitSuccess);
  EXPECT_TRUE(r.out.starts_with("Table CHXD.T2011 columns altered!\n\nTable MD.CustomerContact"));
  EXPECT_TRUE(
      r.out.ends_with("Table CHXD.Customer Columns altered!\n\n"
                      "Kivo client was update successful\n"));
  EXPECT_EQ(r.err, "message: Update successful!\n");
}

TEST_F(CliRunTest, ExitStatusFollowsTheVerdict) {
  server->failures[UpgradeBatches()[0].statements[0]] = {
      {"22003", 8115, "overflow"}, {"01000", 50000, kHostile}, {"01000", 50000, "\n!\r\n"}};
  const Result failed = Cli({"run"});
  EXPECT_EQ(failed.status, kExitFailure);
  EXPECT_EQ(failed.err, "message: Update NOT successful. Contact Admin!\n");
  // The records the run joined with CR LF are lines; what a server sent is shown as it is.
  EXPECT_TRUE(failed.out.starts_with("overflow\n" + std::string(kHostileShown) +
                                     "\n\\x0a!\n\nALTER TABLE CHXD.T2011"))
      << failed.out;
  // The report keeps the server's text exactly.
  EXPECT_EQ(nlohmann::json::parse(Cli({"run", "--json"}).out)["failure"]["description"],
            "overflow\r\n" + std::string(kHostile) + "\r\n\n!\r\n");

  server = std::make_shared<FakeServer>();
  server->openErrors = {{"42000", 18456, "Login failed for user 'sa'."}};
  const Result refused = Cli({"run", "--sql-login", "sa", "--password-env", "KIVO_TEST_PASSWORD"});
  EXPECT_EQ(refused.status, kExitRefused);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err,
            "message: Login failed for user 'sa'.\n"
            "hint: the server refused the login of the SQL login sa: check the login name and "
            "password, that the login is enabled, and that the server accepts SQL Server "
            "authentication\n");
}

TEST_F(CliRunTest, PasswordsComeFromTheEnvironmentOrStandardInputOnly) {
  Cli({"run", "--sql-login", "sa", "--password-env", "KIVO_TEST_PASSWORD"});
  ASSERT_TRUE(server->openedWith);
  EXPECT_EQ(server->openedWith->logon.password, kTyped);

  server = std::make_shared<FakeServer>();
  Cli({"run", "--sql-login", "sa", "--password-stdin"}, std::string(kTyped) + "\n");
  ASSERT_TRUE(server->openedWith);
  EXPECT_EQ(server->openedWith->logon.password, kTyped);
  EXPECT_EQ(server->openedWith->logon.login, "sa");
}

TEST_F(CliRunTest, DryRunShowsThePlanWithoutSecretsAndSendsNothing) {
  const Result r =
      Cli({"run", "--dry-run", "--sql-login", "sa", "--password-env", "KIVO_TEST_PASSWORD"});
  EXPECT_EQ(r.status, kExitSuccess);
  EXPECT_EQ(server->opens, 0);
  EXPECT_NE(r.out.find("server: db01\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("database: KIVO\n"), std::string::npos);
  EXPECT_NE(r.out.find("logon: SQL login sa\n"), std::string::npos);
  EXPECT_NE(r.out.find("Password=****"), std::string::npos);
  EXPECT_NE(r.out.find("batch 5: " + UpgradeBatches()[4].text()), std::string::npos);
  ExpectNoSecret(r);

  web.writeEntry(
      "Provider=SQLOLEDB.1;Data Source='db\x1b]0;owned\x07';Initial Catalog=K\rIVO;User ID=u");
  const Result hostile = Cli({"run", "--dry-run"});
  EXPECT_NE(hostile.out.find("server: db\\x1b]0;owned\\x07\ndatabase: K\\x0dIVO\n"),
            std::string::npos)
      << hostile.out;
}

TEST_F(CliRunTest, JsonIsTheOnlyOutputAndCarriesTheRun) {
  server->failures[UpgradeBatches()[1].statements[0]] =
      FakeServer::MissingObject("MD.CustomerContact");
  const Result r = Cli(
      {"run", "--json", "--sql-login", "sa", "--password-stdin", "--lock-timeout", "2"}, kTyped);
  EXPECT_EQ(r.status, kExitSuccess);
  EXPECT_EQ(r.err, "");
  ASSERT_TRUE(r.out.ends_with("}\n"));
  const auto json = nlohmann::ordered_json::parse(r.out);
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"schemaVersion", "verdict", "exitStatus", "computer",
                                            "webDirectory", "connection", "statusLines", "messages",
                                            "sessionSettings", "batches", "failure", "hint",
                                            "transaction", "check"}));
  EXPECT_EQ(json["verdict"], "succeeded");
  EXPECT_EQ(json["exitStatus"], 0);
  EXPECT_EQ(json["computer"], GetTheComputerName());
  EXPECT_EQ(json["webDirectory"], web.pathText());
  EXPECT_EQ(json["connection"]["logonMode"], "sql");
  EXPECT_EQ(json["connection"]["server"], "db01");
  EXPECT_EQ(json["statusLines"][1], "No table MD.CustomerContact existing!\r\n");
  EXPECT_EQ(json["sessionSettings"]["sent"], true);
  EXPECT_EQ(json["sessionSettings"]["statements"].size(), 4u);
  EXPECT_EQ(json["sessionSettings"]["statements"][3]["text"], "SET LOCK_TIMEOUT 2000;");
  const auto& missing = json["batches"][1];
  EXPECT_EQ(missing["outcome"], "missing");
  EXPECT_EQ(missing["statements"][0]["messages"][0]["nativeError"], 4902);
  EXPECT_EQ(missing["error"]["number"], 4902);
  EXPECT_TRUE(json["batches"][0]["history"].is_null());
  EXPECT_EQ(json["messages"], nlohmann::json::array({"Update successful!"}));
  EXPECT_TRUE(json["failure"].is_null());
  ExpectNoSecret(r);
}

TEST_F(CliRunTest, JsonStaysUtf8WhateverBytesThePathHolds) {
  // Paths are bytes on this system: a name that is not UTF-8 must not make the report unreadable.
  const std::filesystem::path odd = web.path() / "site\xFF";
  std::filesystem::create_directory(odd);
  std::filesystem::copy_file(web.path() / "web.config", odd / "web.config");
  std::istringstream in;
  std::ostringstream out, err;
  const int status = RunCommandLine({"run", "--web-dir", odd.string(), "--json"}, in, out, err,
                                    kivo::testing::FakeEnvironment(server));
  EXPECT_EQ(status, kExitSuccess);
  EXPECT_EQ(out.str().find('\xFF'), std::string::npos);
  const auto json = nlohmann::json::parse(out.str());  // throws on bytes that are not UTF-8
  EXPECT_EQ(json["webDirectory"], (web.path() / "site\xEF\xBF\xBD").string());
  EXPECT_EQ(json["verdict"], "succeeded");
}

TEST_F(CliRunTest, CheckFirstThatCannotReadTheCatalogAltersNothing) {
  // The scripted server answers no query: everything the check needs is unknown.
  const Result r = Cli({"run", "--check-first", "--json"});
  EXPECT_EQ(r.status, kExitFailure);
  const auto json = nlohmann::ordered_json::parse(r.out);
  EXPECT_EQ(json["verdict"], "failed");
  EXPECT_EQ(json["batches"].size(), 0u);
  EXPECT_GT(json["check"]["counts"]["unknown"], 0);
  for (const std::string& sent : server->sent) EXPECT_FALSE(sent.starts_with("ALTER")) << sent;
  EXPECT_EQ(server->closes, 1);
}

// Each failure an administrator meets first, with the hint that names its cause. The status
// lines and message boxes stay the window's own.
TEST_F(CliRunTest, AFailedRunEndsWithAHintNamingTheLikelyCause) {
  const std::string config = (web.path() / "web.config").string();
  const std::string entry =
      kivo::testing::WebConfigWithEntry(EncodeValue("Provider=SQLOLEDB.1;"
                                                    "Data Source=db01,1499;"
                                                    "Initial Catalog=KIVO;"
                                                    "User ID=x"));
  auto replaced = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  struct Case {
    const char* what;
    std::string configuration;  // web.config; empty: none at all
    std::vector<Diagnostic> openErrors;
    std::string hint;  // part of the hint line
  };
  const std::vector<Case> cases = {
      {"no web.config", "", {}, "there is no " + config},
      {"no entry", "<configuration/>", {}, config + " has no key=\"CAYUSR\" value= entry"},
      {"entry not literal",
       replaced(entry, "key=\"CAYUSR\" value=", "key=\"CAYUSR\"  value="),
       {},
       "not written in its literal form <add key=\"CAYUSR\" value=\"DIGITS\" />"},
      {"value that does not decode",
       replaced(entry, "CAYUSR\" value=\"", "CAYUSR\" value=\"x"),
       {},
       "is not a scrambled value this program can read"},
      {"server unreachable",
       entry,
       {{"08S01", 20009, "Unable to connect: Adaptive Server is unavailable or does not exist"},
        {"08001", 0, "Unable to connect to data source"}},
       "no SQL Server could be reached at db01, port 1499"},
      {"database missing",
       entry,
       {{"42000", 18456, "Login failed for user 'x'."},
        {"42000", 4060, "Cannot open database \"KIVO\" requested by the login."}},
       "the database KIVO could not be opened"},
      {"server unreachable, with a server name and a message that would drive the terminal",
       kivo::testing::WebConfigWithEntry(
           EncodeValue("Provider=SQLOLEDB.1;"
                       "Data Source=\"db\x1b]52;c;SGk=\x07\r01,1499\";"
                       "User ID=x")),
       {{"08S01", 20009, kHostile}},
       "no SQL Server could be reached at db\\x1b]52;c;SGk=\\x07\\x0d01, port 1499"},
      {"server unreachable, named in an ODBC driver's own items",
       kivo::testing::WebConfigWithEntry(
           EncodeValue("Driver={FreeTDS};Server=db01;Port=1499;User ID=x")),
       {{"08S01", 20009, "Unable to connect: Adaptive Server is unavailable or does not exist"}},
       "no SQL Server could be reached where the connection value points"},
      {"encryption asked of a server that offers none",
       kivo::testing::WebConfigWithEntry(
           EncodeValue("Provider=SQLOLEDB.1;Data Source=db01,1499;Encrypt=yes;User ID=x")),
       {{"08001", 0, "Unable to connect to data source"},
        {"01000", 20002, "Adaptive Server connection failed"}},
       "requires encryption (--encrypt=require, or Encrypt in the connection value) and the "
       "server at db01, port 1499 offers none"},
#ifndef _WIN32
      {"integrated logon without a ticket",
       entry,
       {{"08001", 0, "Unable to connect to data source"},
        {"01000", 20002, "Adaptive Server connection failed"}},
       "needs a ticket: run kinit"},
#endif
  };
  for (const Case& c : cases) {
    if (c.configuration.empty()) {
      std::filesystem::remove(web.path() / "web.config");
    } else {
      web.write(c.configuration);
    }
    server = std::make_shared<FakeServer>();
    server->openErrors = c.openErrors;
    const Result r = Cli({"run"});
    EXPECT_EQ(r.status, c.openErrors.empty() ? kExitFailure : kExitRefused) << c.what;
    const std::size_t hint = r.err.find("\nhint: ");
    ASSERT_NE(hint, std::string::npos) << c.what << ": " << r.err;
    // The message box texts come first, unchanged; the hint is the last line.
    EXPECT_TRUE(r.err.starts_with("message: ")) << c.what;
    EXPECT_NE(r.err.find(c.hint, hint), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(r.err.find('\n', hint + 1), r.err.size() - 1) << c.what;

    const Result json = Cli({"run", "--json"});
    EXPECT_TRUE(nlohmann::json::parse(json.out)["hint"].is_string()) << c.what;
  }
}

// The stored value is shown through the parser that reads it: whatever that parser takes for the
// password stays hidden in every output, however it is quoted.
TEST_F(CliRunTest, NoOutputShowsAStoredPasswordInAnyQuotingForm) {
  for (const std::string stored :
       {"Provider=SQLOLEDB.1;Data Source=db01;Password=\t'Sto;Stored!Pw';User ID=u",
        "Provider=SQLOLEDB.1;Data Source=db01;Application Name={x;Password=Stored!Pw;a=b};User "
        "ID=u",
        "Provider=SQLOLEDB.1;Data Source=db01;Password='Sto;Stored'!Pw;User ID=u",
        "Provider=MSDASQL;Driver={FreeTDS};Extended Properties=\"PWD=Stored!Pw\";User ID=u"}) {
    web.writeEntry(stored);
    const std::string value = EncodeValue(stored);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"run", "--dry-run"}, {"run", "--dry-run", "--json"}, {"run", "--json"}}) {
      const Result r = Cli(args);
      EXPECT_EQ(r.out.find("Stored!Pw"), std::string::npos) << stored << "\n" << r.out;
      EXPECT_EQ(r.err.find("Stored!Pw"), std::string::npos) << stored << "\n" << r.err;
    }
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunCommandLine({"decode", value}, in, out, err), kExitSuccess);
    EXPECT_EQ(out.str().find("Stored!Pw"), std::string::npos) << out.str();
  }
}

TEST_F(CliRunTest, OptionsTakeTheirValueEitherWayAndMistakesExitTwo) {
  const std::string kMore = "\nRun with --help for more information.\n";
  const std::string kNoPassword =
      "passwords are not taken on the command line, where other users can read them; use "
      "--password-env VAR or --password-stdin";
  for (const auto& [args, problem] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"run", "--password", "x"}, kNoPassword},
           {{"run", "--password=x"}, kNoPassword},
           {{"run", "--sql-login", "sa"},
            "--sql-login needs --password-env VAR or --password-stdin"},
           {{"run", "--password-env", "KIVO_TEST_PASSWORD"}, "a password goes with --sql-login"},
           {{"run", "--sql-login=sa", "--password-stdin", "--password-env=KIVO_TEST_PASSWORD"},
            "--password-env and --password-stdin exclude each other"},
           {{"run", "--sql-login", "sa", "--password-env", "KIVO_NO_SUCH_VARIABLE_SET"},
            "environment variable KIVO_NO_SUCH_VARIABLE_SET is not set"},
           {{"run", "--statement-timeout", "-1"},
            "--statement-timeout: takes a whole number of seconds, 0 or more"},
           {{"run", "--statement-timeout=ten"},
            "--statement-timeout: takes a whole number of seconds, 0 or more"},
           {{"run", "--json", "--json"}, "--json: At Most 1 required but received 2"},
           {{"run", "--bogus"}, "The following argument was not expected: --bogus"},
           {{"run", "--scan-data"}, "The following argument was not expected: --scan-data"},
           {{"check", "--dry-run"}, "The following argument was not expected: --dry-run"},
           {{"check", "--lock-timeout=2"},
            "The following argument was not expected: --lock-timeout=2"},
           {{"run", "--lock-timeout", "2147484"},
            "--lock-timeout: Value 2147484 not in range 0 to 2147483"},
           {{"check", "--sql-login", "sa"},
            "--sql-login needs --password-env VAR or --password-stdin"},
           {{"check", "--password", "x"}, kNoPassword},
           {{"check", "--statement-timeout=1.5"},
            "--statement-timeout: takes a whole number of seconds, 0 or more"},
           {{"run", "--encrypt=yes"}, "--encrypt: yes not in {require}"}}) {
    const Result r = Cli(args);
    EXPECT_EQ(r.status, kExitUsage) << args.back();
    EXPECT_EQ(r.err, "kivo-dbupdate-cli: " + problem + kMore);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(server->opens, 0);
  }
  // "--opt=value" as well as "--opt value".
  const Result r =
      Cli({"run", "--sql-login=sa", "--password-env=KIVO_TEST_PASSWORD", "--statement-timeout=0"});
  EXPECT_EQ(r.status, kExitSuccess) << r.err;
  ASSERT_TRUE(server->openedWith);
  EXPECT_EQ(server->openedWith->logon.login, "sa");
  EXPECT_EQ(server->openedWith->statementTimeoutSeconds, 0);
  EXPECT_FALSE(RequiresEncryption(*server->openedWith));
  Cli({"check", "--statement-timeout", "7", "--encrypt", "require"});
  EXPECT_EQ(server->openedWith->statementTimeoutSeconds, 7);
  EXPECT_TRUE(RequiresEncryption(*server->openedWith));
}

// One report of each verdict, and of each batch outcome, holds only documented keys with values
// of the documented types, and together they show every documented key.
TEST_F(CliRunTest, ReportsOfEveryVerdictKeepToTheDocumentedKeys) {
  const DocumentedReport doc = ReadReportDocument();
  ASSERT_GT(doc.keys.size(), 40u);
  web.writeEntry("Provider=SQLOLEDB.1;Data Source=db01,1499;Initial Catalog=KIVO;User ID=x");

  std::vector<nlohmann::json> reports;
  auto report = [&](std::vector<std::string> args) {
    args.push_back("--json");
    const Result r = Cli(args);
    EXPECT_EQ(r.err, "");
    reports.push_back(nlohmann::json::parse(r.out));
    EXPECT_EQ(reports.back()["exitStatus"], r.status);
    return reports.back();
  };
  // Succeeded, with a missing table and a created history table.
  server->failures[UpgradeBatches()[1].statements[0]] =
      FakeServer::MissingObject("MD.CustomerContact");
  server->failures[UpgradeBatches()[3].statements[2]] =
      FakeServer::MissingObject("MD.Customer_Hist");
  EXPECT_EQ(report({"run"})["verdict"], "succeeded");
  // Failed in a batch, and before any: web.config without an entry.
  server = std::make_shared<FakeServer>();
  server->failures[UpgradeBatches()[0].statements[0]] = FakeServer::Message(5074, "dependent");
  // ... and a history table that could not be created.
  server->failures[UpgradeBatches()[4].statements[0]] = FakeServer::MissingObject("CHXD.Customer");
  server->failures[UpgradeBatches()[4].history->statement] =
      FakeServer::Message(262, "CREATE TABLE permission denied in database 'KIVO'.");
  EXPECT_EQ(report({"run"})["verdict"], "failed");
  // ... and a session setting the server refused, before any batch.
  server = std::make_shared<FakeServer>();
  server->failures["SET ANSI_WARNINGS ON;"] = FakeServer::Message(1234, "refused");
  EXPECT_EQ(report({"run"})["sessionSettings"]["error"]["number"], 1234);
  // Atomic, rolled back after its COMMIT failed.
  server = std::make_shared<FakeServer>();
  server->failures["COMMIT TRANSACTION"] = FakeServer::Message(9002, "The log is full.");
  EXPECT_EQ(report({"run", "--atomic"})["transaction"]["outcome"], "rolled back");
  // Refused, and a dry run.
  server = std::make_shared<FakeServer>();
  server->openErrors = {{"42000", 18456, "Login failed for user 'x'."},
                        {"08001", 0, "Unable to connect to data source"}};
  const nlohmann::json refused = report({"run"});
  EXPECT_EQ(refused["verdict"], "refused");
  EXPECT_EQ(refused["failure"]["number"], 18456);
  EXPECT_EQ(refused["failure"]["records"].size(), 2u);
  const nlohmann::json prepared = report({"run", "--dry-run"});
  EXPECT_EQ(prepared["verdict"], "prepared");
  EXPECT_EQ(prepared["connection"]["port"], 1499);
  ASSERT_EQ(prepared["batches"].size(), 5u);
  EXPECT_EQ(prepared["batches"][4]["history"]["statement"], UpgradeBatches()[4].history->statement);
  web.write("<configuration/>");
  EXPECT_TRUE(report({"run"})["connection"].is_null());

  std::set<std::string> seen, verdicts, outcomes;
  for (const nlohmann::json& json : reports) {
    EXPECT_EQ(json["schemaVersion"], 1);
    verdicts.insert(json["verdict"]);
    for (const auto& batch : json["batches"]) outcomes.insert(batch["outcome"]);
    std::vector<std::pair<std::string, const nlohmann::json*>> keys;
    CollectKeys(json, "", keys);
    for (const auto& [path, value] : keys) {
      seen.insert(path);
      const auto documented = doc.keys.find(path);
      ASSERT_NE(documented, doc.keys.end()) << path << " is not in docs/REPORT.md";
      EXPECT_NE(documented->second.find(TypeWord(*value)), std::string::npos)
          << path << " is " << TypeWord(*value) << ", documented as " << documented->second;
    }
  }
  for (const auto& [path, type] : doc.keys) EXPECT_TRUE(seen.contains(path)) << path;
  std::set<std::string> reachable = doc.verdicts;
  reachable.erase("not started");  // the companion always has a data directory
  EXPECT_EQ(verdicts, reachable);
  EXPECT_EQ(outcomes, doc.outcomes);

  // The documentation's own examples keep to its keys and show each verdict.
  std::set<std::string> exampleVerdicts;
  for (const std::string& text : doc.examples) {
    const nlohmann::json example = nlohmann::json::parse(text);
    exampleVerdicts.insert(example["verdict"]);
    std::vector<std::pair<std::string, const nlohmann::json*>> keys;
    CollectKeys(example, "", keys);
    for (const auto& [path, value] : keys) EXPECT_TRUE(doc.keys.contains(path)) << path;
  }
  EXPECT_EQ(exampleVerdicts, reachable);

  // The check's reports of each verdict: their fields, verdicts and kinds are the documented
  // ones (the members of counts, facts and failure are described in words, not tabled).
  ASSERT_GT(doc.checkKeys.size(), 15u);
  web.writeEntry("Provider=SQLOLEDB.1;Data Source=db01,1499;Initial Catalog=KIVO;User ID=x");
  reports.clear();
  server = std::make_shared<FakeServer>();
  EXPECT_EQ(report({"check"})["verdict"], "not passed");  // it may read nothing
  server->answerQuery = [](const std::string& text, std::span<const std::string>) {
    QueryResult result;  // an online database without any target table: only warnings
    if (text == CatalogQueryText(CatalogQuery::kServer, {})) {
      // The login sees every table (VIEW DEFINITION), so a table it does not see is missing.
      std::vector<std::optional<std::string>> row = {
          "10.50.6000.34", "KIVO", "ONLINE", "MULTI_USER", "0", "Latin1", "1"};
      row.resize(ServerRow::kServerName + 1);
      row[ServerRow::kCanViewDefinition] = "1";
      result.rows = {row};
    }
    return result;
  };
  EXPECT_EQ(report({"check"})["verdict"], "passed");
  server->openErrors = {{"42000", 18456, "Login failed for user 'x'."}};
  EXPECT_EQ(report({"check"})["verdict"], "refused");
  web.write("<configuration/>");
  EXPECT_EQ(report({"check"})["verdict"], "failed");
  std::set<std::string> checkSeen;
  for (const nlohmann::json& json : reports) {
    EXPECT_NE(doc.checkKeys.at("verdict").find(json["verdict"].dump()), std::string::npos);
    const nlohmann::json& check = json["check"];
    for (const auto& finding : check.is_null() ? nlohmann::json::array() : check["findings"]) {
      const std::string kind = "`" + finding["kind"].get<std::string>() + "`";
      EXPECT_NE(doc.checkKinds.find(kind), std::string::npos) << kind;
    }
    std::vector<std::pair<std::string, const nlohmann::json*>> keys;
    CollectKeys(json, "", keys);
    for (const auto& [path, value] : keys) {
      const std::string parent = path.substr(0, std::min(path.rfind('.'), path.size()));
      if (parent != path && parent != "check" && parent != "check.findings[]") continue;
      checkSeen.insert(path);
      EXPECT_TRUE(doc.checkKeys.contains(path)) << path << " is not in docs/REPORT.md";
    }
  }
  for (const auto& [path, meaning] : doc.checkKeys) EXPECT_TRUE(checkSeen.contains(path)) << path;
}

}  // namespace
}  // namespace kivo::cli
