#include "cli/cli.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "codec/scrambled_value.h"

namespace kivo::cli {
namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result Cli(const std::vector<std::string>& args, const std::string& input = {}) {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = RunCommandLine(args, in, out, err);
  return {status, out.str(), err.str()};
}

const std::string kConnection =
    "Provider=SQLOLEDB.1;Password=\"se;cr'et\";Persist Security Info=True;User ID=sa;"
    "Initial Catalog=KIVO;Data Source=db01\\SQL2016; pwd = plain";

TEST(CliCodec, DecodeMasksEveryPasswordUnlessRevealed) {
  const std::string value = EncodeValue(kConnection);
  const Result masked = Cli({"decode", value});
  EXPECT_EQ(masked.status, kExitSuccess);
  EXPECT_EQ(masked.out,
            "Provider=SQLOLEDB.1;Password=****;Persist Security Info=True;User ID=sa;"
            "Initial Catalog=KIVO;Data Source=db01\\SQL2016; pwd =****\n");
  EXPECT_EQ(masked.out.find("cr'et"), std::string::npos);
  EXPECT_EQ(masked.out.find("plain"), std::string::npos);

  const Result revealed = Cli({"decode", "--reveal", value});
  EXPECT_EQ(revealed.out, kConnection + "\n");
}

TEST(CliCodec, ReadsStandardInputWithoutItsLineEnd) {
  EXPECT_EQ(Cli({"decode"}, "04213513613749207\n").out, "abc\n");
  EXPECT_EQ(Cli({"decode"}, "04213513613749207\r\n").out, "abc\n");
  const Result encoded = Cli({"encode"}, "abc\n");
  ASSERT_EQ(encoded.status, kExitSuccess);
  EXPECT_EQ(Cli({"decode", encoded.out.substr(0, encoded.out.size() - 1)}).out, "abc\n");
  // Only one line end is stripped: the second is part of the text.
  const Result twoLines = Cli({"encode"}, "abc\n\n");
  EXPECT_EQ(Cli({"decode"}, twoLines.out).out, "abc\n\n");
}

TEST(CliCodec, CodecErrorsExitOneWithNumberAndDescription) {
  const Result tooLong = Cli({"encode", std::string(968, 'x')});
  EXPECT_EQ(tooLong.status, kExitFailure);
  EXPECT_EQ(tooLong.err, "error 5: Invalid procedure call or argument\n");
  EXPECT_EQ(tooLong.out, "");
  EXPECT_EQ(Cli({"decode", ""}).err, "error 13: Type mismatch\n");
  EXPECT_EQ(Cli({"decode", "907"}).err, "error 5: Invalid procedure call or argument\n");
}

// The command line as administrators type it: each case's exit status, and a text that standard
// output (for help and version) or standard error (for a usage error) must hold.
TEST(CliArguments, EachCaseExitsAndAnswersAsDocumented) {
  const std::string kMore = "Run with --help for more information.\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // part of standard output
    std::string err;  // the whole of standard error
  };
  const std::vector<Case> cases = {
      {{"--version"}, kExitSuccess, "kivo-dbupdate-cli " + std::string(KIVO_VERSION) + "\n", ""},
      {{"--help"}, kExitSuccess, "Usage: kivo-dbupdate-cli [OPTIONS] [SUBCOMMAND]", ""},
      {{"-h"}, kExitSuccess, "decode", ""},
      {{"run", "--help"}, kExitSuccess, "--statement-timeout SECONDS=30", ""},
      {{"decode", "--help"}, kExitSuccess, "--reveal", ""},
      {{"encode", "--help"}, kExitSuccess, "Usage: kivo-dbupdate-cli encode", ""},
      {{"decode", "--reveal", "--", "04213513613749207"}, kExitSuccess, "abc\n", ""},
      {{},
       kExitUsage,
       "",
       "kivo-dbupdate-cli: no command given: decode, encode, run or check\n" + kMore},
      {{"frobnicate"},
       kExitUsage,
       "",
       "kivo-dbupdate-cli: The following argument was not expected: frobnicate\n" + kMore},
      {{"decode", "--bogus"},
       kExitUsage,
       "",
       "kivo-dbupdate-cli: The following argument was not expected: --bogus\n" + kMore},
      {{"encode", "--reveal", "x"},
       kExitUsage,
       "",
       "kivo-dbupdate-cli: The following argument was not expected: --reveal\n" + kMore},
      {{"decode", "1", "2"},
       kExitUsage,
       "",
       "kivo-dbupdate-cli: The following argument was not expected: 2\n" + kMore},
      // Refused before standard input is read, rather than decoding nothing.
      {{"decode", "--reveal", "--reveal"},
       kExitUsage,
       "",
       "kivo-dbupdate-cli: --reveal: At Most 1 required but received 2\n" + kMore},
  };
  for (const Case& c : cases) {
    const Result r = Cli(c.args);
    const std::string shown = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << shown;
    if (c.out.empty()) {
      EXPECT_EQ(r.out, "") << shown;
    } else {
      EXPECT_NE(r.out.find(c.out), std::string::npos) << shown << r.out;
    }
    EXPECT_EQ(r.err, c.err) << shown;
  }
}

}  // namespace
}  // namespace kivo::cli
