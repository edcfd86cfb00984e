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

TEST(CliCodec, BadUsageExitsTwoWithTheUsageOnStandardError) {
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"frobnicate"},
                                                                {"decode", "--bogus"},
                                                                {"encode", "--reveal", "x"},
                                                                {"decode", "1", "2"}}) {
    const Result r = Cli(args);
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_NE(r.err.find("usage: kivo-dbupdate-cli"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
  const Result help = Cli({"--help"});
  EXPECT_EQ(help.status, kExitSuccess);
  EXPECT_NE(help.out.find("usage: kivo-dbupdate-cli"), std::string::npos);
}

}  // namespace
}  // namespace kivo::cli
