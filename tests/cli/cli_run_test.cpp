#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "system/machine_names.h"
#include "tests/upgrade/fake_database_client.h"
#include "tests/upgrade/recording_host.h"
#include "upgrade/upgrade_batches.h"

namespace kivo::cli {
namespace {

using kivo::testing::FakeServer;

constexpr const char* kSecret = "Zq8-stored-SECRET";
// Brace and semicolon where a masker that misreads the driver's quoting would show the tail.
constexpr const char* kTyped = "Typ}ed;Tail-9Z";

struct Result {
  int status;
  std::string out;
  std::string err;
};

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
    return {status, out.str(), err.str()};
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
  server->failures[UpgradeBatches()[0].statements[0]] = FakeServer::Message(8115, "overflow");
  const Result failed = Cli({"run"});
  EXPECT_EQ(failed.status, kExitFailure);
  EXPECT_EQ(failed.err, "message: Update NOT successful. Contact Admin!\n");

  server = std::make_shared<FakeServer>();
  server->openError = Error(18456, "Login failed for user 'sa'.");
  server->openErrors = {{"42000", 18456, "Login failed for user 'sa'."}};
  const Result refused = Cli({"run", "--sql-login", "sa", "--password-env", "KIVO_TEST_PASSWORD"});
  EXPECT_EQ(refused.status, kExitRefused);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "message: Login failed for user 'sa'.\n");
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
}

TEST_F(CliRunTest, JsonIsTheOnlyOutputAndCarriesTheRun) {
  server->failures[UpgradeBatches()[1].statements[0]] =
      FakeServer::MissingObject("MD.CustomerContact");
  const Result r = Cli({"run", "--json", "--sql-login", "sa", "--password-stdin"}, kTyped);
  EXPECT_EQ(r.status, kExitSuccess);
  EXPECT_EQ(r.err, "");
  ASSERT_TRUE(r.out.ends_with("}\n"));
  const auto json = nlohmann::ordered_json::parse(r.out);
  std::vector<std::string> keys;
  for (const auto& [key, value] : json.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"verdict", "exitStatus", "computer", "webDirectory",
                                            "connection", "statusLines", "messages", "batches",
                                            "openErrors", "failure"}));
  EXPECT_EQ(json["verdict"], "succeeded");
  EXPECT_EQ(json["exitStatus"], 0);
  EXPECT_EQ(json["computer"], GetTheComputerName());
  EXPECT_EQ(json["webDirectory"], web.pathText());
  EXPECT_EQ(json["connection"]["logonMode"], "sql");
  EXPECT_EQ(json["connection"]["server"], "db01");
  EXPECT_EQ(json["statusLines"][1], "No table MD.CustomerContact existing!\r\n");
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

TEST_F(CliRunTest, UsageErrorsExitTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"run", "--password", "x"},
           {"run", "--sql-login", "sa"},
           {"run", "--password-env", "KIVO_TEST_PASSWORD"},
           {"run", "--sql-login", "sa", "--password-env", "KIVO_NO_SUCH_VARIABLE_SET"},
           {"run", "--statement-timeout", "-1"},
           {"run", "--statement-timeout", "ten"},
           {"run", "--bogus"}}) {
    const Result r = Cli(args);
    EXPECT_EQ(r.status, kExitUsage) << args.back();
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
    EXPECT_EQ(server->opens, 0);
  }
}

}  // namespace
}  // namespace kivo::cli
