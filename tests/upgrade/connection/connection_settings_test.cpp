#include "upgrade/connection/connection_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "tests/support/web_directory.h"

namespace kivo {
namespace {

const std::string kMarker(kKeyMarker);

std::optional<int> ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return std::nullopt;
}

TEST(ExtractScrambledValue, CutsTheEntryByPosition) {
  struct Case {
    const char* name;
    std::string configuration;
    std::optional<std::string> value;  // nullopt: invalid argument
  };
  const std::string bigPreamble(40000, 'x');
  const std::vector<Case> cases = {
      {"as written", testing::WebConfigWithEntry("04213513613749207"), "04213513613749207"},
      {"entry after 32767 characters", bigPreamble + "<add " + kMarker + "\"123\" />", "123"},
      {"two blanks before />", "<add " + kMarker + "\"123\"  />", "123\""},
      {"three blanks before />", "<add " + kMarker + "\"123\"   />", "123\" "},
      {"/> right after the quote runs on to the next entry",
       "<add " + kMarker + "\"123\"/>\n<add key=\"x\" value=\"y\" />",
       "123\"/>\n<add key=\"x\" value=\"y"},
      {"marker in other case: cut from position 20", "<add key=\"cayusr\" value=\"123\" />",
       "alue=\"123"},
      {"no marker, end at 21: empty", std::string(20, 'a') + " />", ""},
      {"no marker, end below 21", std::string(12, 'a') + " />", std::nullopt},
      {"no marker, no end", "<configuration></configuration>", std::nullopt},
      {"marker without end", "<add " + kMarker + "\"123\">", std::nullopt},
      {"empty file", "", std::nullopt},
      {"single quotes are not the marker", "<add key='CAYUSR' value='123' />", "alue='123"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.value) {
      EXPECT_EQ(ExtractScrambledValue(c.configuration), *c.value);
    } else {
      EXPECT_EQ(ErrorNumberOf([&] { ExtractScrambledValue(c.configuration); }), kInvalidArgument);
    }
  }
}

TEST(ConnectionPrefix, KeepsEverythingBeforeTheFirstUserItem) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Provider=SQLOLEDB.1;Data Source=db01;User ID=u;Password=p",
       "Provider=SQLOLEDB.1;Data Source=db01;"},
      {"Provider=SQLOLEDB.1;Data Source=db01", ""},
      {"Provider=SQLOLEDB.1;user id=u;Password=p", ""},  // case-sensitive
      {"User ID=u;Data Source=db01", ""},
      {"a=1;UserX=2;User ID=3", "a=1;"},
      {"Provider=SQLOLEDB.1;Password=p;User ID=u;Data Source=d", "Provider=SQLOLEDB.1;Password=p;"},
  };
  for (const auto& [value, prefix] : cases) EXPECT_EQ(ConnectionPrefix(value), prefix) << value;
}

TEST(LogonPart, UsesTheTextsAsTheyStand) {
  EXPECT_EQ(LogonPart({LogonMode::kSqlLogin, "sa", ""}), "User ID=sa;Password=;");
  EXPECT_EQ(LogonPart({LogonMode::kSqlLogin, " sa ", " p w "}), "User ID= sa ;Password= p w ;");
  EXPECT_EQ(LogonPart({LogonMode::kWindows, "ignored", "ignored"}),
            "Trusted_Connection = Yes;Integrated Security=SSPI;");
}

TEST(DisplayConnectionString, NeverShowsAPassword) {
  const Logon logon{LogonMode::kSqlLogin, "sa", "a;Password=leak;b"};
  const std::string shown = DisplayConnectionString("Provider=SQLOLEDB;Password=stored;", logon);
  EXPECT_EQ(shown, "Provider=SQLOLEDB;Password=****;User ID=sa;Password=****;");
  EXPECT_EQ(DisplayConnectionString("Data Source=x;", {}),
            "Data Source=x;Trusted_Connection = Yes;Integrated Security=SSPI;");
}

TEST(NormaliseWebDirectory, RemovesOneTrailingSeparator) {
  EXPECT_EQ(NormaliseWebDirectory("C:\\Inetpub\\wwwroot\\"), "C:\\Inetpub\\wwwroot");
  EXPECT_EQ(NormaliseWebDirectory("C:\\Inetpub\\wwwroot\\\\"), "C:\\Inetpub\\wwwroot\\");
  EXPECT_EQ(NormaliseWebDirectory("C:\\Inetpub\\wwwroot"), "C:\\Inetpub\\wwwroot");
  EXPECT_EQ(NormaliseWebDirectory(""), "");
#ifndef _WIN32
  EXPECT_EQ(NormaliseWebDirectory("/srv/www/"), "/srv/www");
  EXPECT_EQ(NormaliseWebDirectory("/srv/www//"), "/srv/www/");
#endif
}

TEST(ReadConfigurationFile, ReportsWhyAFileCannotBeRead) {
  testing::WebDirectory dir;
  const std::string folder = dir.pathText();
  EXPECT_EQ(ErrorNumberOf([&] { ReadConfigurationFile(WebConfigPath(folder)); }), kFileNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { ReadConfigurationFile(WebConfigPath(folder + "/nowhere")); }),
            kPathNotFound);
  std::filesystem::create_directory(dir.path() / "web.config");
  EXPECT_EQ(ErrorNumberOf([&] { ReadConfigurationFile(WebConfigPath(folder)); }),
            kPathFileAccessError);
  std::filesystem::remove(dir.path() / "web.config");
  std::filesystem::create_symlink(dir.path() / "gone", dir.path() / "web.config");
  EXPECT_EQ(ErrorNumberOf([&] { ReadConfigurationFile(WebConfigPath(folder)); }), kFileNotFound);
  std::filesystem::remove(dir.path() / "web.config");

  dir.write(std::string("bytes\0\xFF\r\n", 9));
  EXPECT_EQ(ReadConfigurationFile(WebConfigPath(folder)), std::string("bytes\0\xFF\r\n", 9));
  if (geteuid() != 0) {  // root reads whatever the mode says
    std::filesystem::permissions(dir.path() / "web.config", std::filesystem::perms::none);
    EXPECT_EQ(ErrorNumberOf([&] { ReadConfigurationFile(WebConfigPath(folder)); }),
              kPermissionDenied);
  }
}

TEST(ReadConfigurationFile, DescriptionNamesTheFile) {
  try {
    ReadConfigurationFile("/nonexistent-kivo/web.config");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "Path not found: /nonexistent-kivo/web.config");
  }
}

}  // namespace
}  // namespace kivo
