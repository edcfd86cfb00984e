#include "system/machine_names.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/error.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#endif

namespace {

void ExpectPlainName(const std::string& name) {
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('\0'), std::string::npos) << "zero in " << name;
  EXPECT_EQ(name.find(' '), std::string::npos) << "blank in " << name;
}

TEST(GetTheComputerName, RealLookUpGivesTheBareName) {
  const std::string name = kivo::GetTheComputerName();
  ExpectPlainName(name);
#ifndef _WIN32
  utsname system{};
  ASSERT_EQ(uname(&system), 0);
  EXPECT_EQ(name, system.nodename);
#endif
}

struct ComputerNameFailure {
  const char* label;
  kivo::SystemNameCall call;
  std::int32_t number;
  std::string description;
  std::string source;
};

class GetTheComputerNameFails : public testing::TestWithParam<ComputerNameFailure> {};

TEST_P(GetTheComputerNameFails, RaisesWithItsNameAppendedToTheSource) {
  const ComputerNameFailure& failure = GetParam();
  try {
    kivo::GetTheComputerName(failure.call);
    FAIL() << "no error raised";
  } catch (const kivo::Error& error) {
    EXPECT_EQ(error.number(), failure.number);
    EXPECT_EQ(error.description(), failure.description);
    EXPECT_EQ(error.source(), failure.source);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetTheComputerNameFails,
    testing::Values(
        ComputerNameFailure{"CallFails", [] { return std::optional<std::string>(); },
                            kivo::kInvalidArgument, "Invalid procedure call or argument",
                            "/Utils.GetTheComputerName"},
        ComputerNameFailure{"ErrorFromBelow",
                            []() -> std::optional<std::string> {
                              throw kivo::Error(kivo::kOverflow, "Overflow", "Platform");
                            },
                            kivo::kOverflow, "Overflow", "Platform/Utils.GetTheComputerName"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(GetLogonUserName, RealLookUpGivesTheBareName) {
  const std::string name = kivo::GetLogonUserName();
#ifndef _WIN32
  const passwd* entry = getpwuid(geteuid());
  if (entry == nullptr) GTEST_SKIP() << "the effective user has no password database entry";
  EXPECT_EQ(name, entry->pw_name);
#endif
  ExpectPlainName(name);
}

TEST(GetLogonUserName, FailingLookUpGivesTheEmptyString) {
  EXPECT_EQ(kivo::GetLogonUserName([] { return std::optional<std::string>(); }), "");
}

}  // namespace
