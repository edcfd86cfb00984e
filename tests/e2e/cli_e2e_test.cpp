// The companion as administrators call it: the real binary, the real driver, the stand-in.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/e2e/kivo_schema.h"
#include "tests/tds/standin_process.h"
#include "tests/upgrade/recording_host.h"
#include "upgrade/upgrade_batches.h"

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

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KIVO_ODBC_DRIVER", "FreeTDS", 1);
    setenv("KIVO_E2E_PASSWORD", kPassword, 1);
  }

  void start(const KivoSchema& schema) {
    server = std::make_unique<StandIn>(schema.scenarioJson());
    web.writeEntry(testing::KivoConnectionValue(server->port()));
  }

  Result cli(const std::string& arguments) {
    const auto out = web.path().parent_path() / (web.path().filename().string() + ".out");
    const auto err = web.path().parent_path() / (web.path().filename().string() + ".err");
    const std::string command = std::string(KIVO_CLI) + " run --web-dir '" + web.pathText() + "' " +
                                arguments + " >'" + out.string() + "' 2>'" + err.string() +
                                "' </dev/null";
    Result r;
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Slurp(out);
    r.err = Slurp(err);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    for (const char* secret : {kPassword, kStoredPassword}) {
      EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
      EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    }
    return r;
  }

  KivoSchema schema() const {
    KivoSchema s;
    s.password = kPassword;
    return s;
  }

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

TEST_F(CliEndToEnd, ARefusedConnectionExitsThree) {
  start(schema());
  setenv("KIVO_E2E_PASSWORD", "not-the-password", 1);
  const Result r = cli(kLogin);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "message: Login failed for user 'kivo'.\n");

  // The report of a refused run keeps every record of the open, the shown one first.
  setenv("KIVO_E2E_PASSWORD", kPassword, 1);
  web.writeEntry(testing::KivoConnectionValue(server->port(), "NoSuchDb"));
  const Result json = cli("--json " + kLogin);
  EXPECT_EQ(json.status, 3);
  const auto report = nlohmann::json::parse(json.out);
  std::vector<int> numbers;
  for (const auto& record : report["openErrors"]) numbers.push_back(record["nativeError"]);
  const auto database = std::find(numbers.begin(), numbers.end(), 4060);
  const auto login = std::find(numbers.begin(), numbers.end(), 18456);
  EXPECT_NE(login, numbers.end()) << json.out;
  EXPECT_LT(database, login) << json.out;
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
  const Result r = cli("--json " + kLogin);
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
}

}  // namespace
}  // namespace kivo
