#include "upgrade/connection/oledb_connection_string.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"

namespace kivo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Items = std::vector<std::pair<std::string, std::string>>;

TEST(ParseOleDbConnectionString, FollowsTheOleDbRules) {
  struct Case {
    std::string text;
    std::optional<Items> items;  // nullopt: refused
  };
  const std::vector<Case> cases = {
      {"Provider=SQLOLEDB.1;Data Source=H;",
       Items{{"Provider", "SQLOLEDB.1"}, {"Data Source", "H"}}},
      {"  data source =  H x  ; ;;", Items{{"data source", "H x"}}},
      {"a=\"x;y\";b='x;y'", Items{{"a", "x;y"}, {"b", "x;y"}}},
      {"a=\"x\"\"y\" ; b='it''s'", Items{{"a", "x\"y"}, {"b", "it's"}}},
      {"a=\"it's\";b='say \"hi\"'", Items{{"a", "it's"}, {"b", "say \"hi\""}}},
      {"a=\" padded \";b=x\"y", Items{{"a", " padded "}, {"b", "x\"y"}}},
      {"a=;na==me=b=c", Items{{"a", ""}, {"na=me", "b=c"}}},
      {"Password=\"s3cret;Data Source=H", std::nullopt},  // unbalanced
      {"Password='s3cret", std::nullopt},
      {"Password=\"s3cret\"x;", std::nullopt},  // text after the closing quote
      {"Data Source=H;s3cret;", std::nullopt},  // no "="
      {"=s3cret", std::nullopt},
      {"Password=a;s3cret='b", std::nullopt},  // a password's piece that looks like a name
  };
  for (const Case& c : cases) {
    try {
      Items got;
      for (const OleDbItem& item : ParseOleDbConnectionString(c.text)) {
        got.emplace_back(item.name, item.value);
      }
      EXPECT_EQ(got, c.items) << c.text;
    } catch (const Error& e) {
      EXPECT_FALSE(c.items.has_value()) << c.text;
      EXPECT_THAT(e.description(), Not(HasSubstr("s3cret")));
    }
  }
}

}  // namespace
}  // namespace kivo
