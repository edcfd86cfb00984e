#include "tests/tds/mini_json.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kivo::testing {
namespace {

TEST(MiniJson, ReadsNestedValuesInOrder) {
  const JsonValue v =
      parseJson(R"( {"a": [1, -2.5e1, true, false, null], "b": {"c": "d"}, "a": 3} )");
  ASSERT_TRUE(v.isObject());
  EXPECT_EQ(v.objectKeys(), (std::vector<std::string>{"a", "b", "a"}));
  const JsonValue* a = v.find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->asArray().size(), 5U);
  EXPECT_EQ(a->asArray()[0].asNumber(), 1);
  EXPECT_EQ(a->asArray()[1].asNumber(), -25);
  EXPECT_TRUE(a->asArray()[2].asBool());
  EXPECT_FALSE(a->asArray()[3].asBool());
  EXPECT_TRUE(a->asArray()[4].isNull());
  EXPECT_EQ(v.find("b")->stringOr("c", ""), "d");
  EXPECT_EQ(v.find("missing"), nullptr);
  EXPECT_TRUE(v.boolOr("missing", true));
}

TEST(MiniJson, DecodesEscapesToUtf8) {
  EXPECT_EQ(parseJson(R"("a\"b\\c\/d\n\t\r\b\f")").asString(), "a\"b\\c/d\n\t\r\b\f");
  EXPECT_EQ(parseJson(R"("\u00e9\u20ac")").asString(), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(parseJson(R"("\ud83d\ude00")").asString(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(parseJson(R"("\udc00x")").asString(), "\xEF\xBF\xBDx");   // lone low surrogate
  EXPECT_EQ(parseJson("\"caf\xC3\xA9\"").asString(), "caf\xC3\xA9");  // raw UTF-8 passes through
}

TEST(MiniJson, RejectsMalformedText) {
  for (const char* bad : {"", "{", "[1,]", "{\"a\" 1}", "01", "1.", "-", "\"abc", "\"a\nb\"", "tru",
                          "[1] x", "{\"a\":1,}", "\"\\x\"", "\"\\u12\""}) {
    EXPECT_THROW(parseJson(bad), std::runtime_error) << bad;
  }
  EXPECT_THROW(parseJson("\"x\"").asNumber(), std::runtime_error);
  EXPECT_THROW(parseJson(std::string(1000, '[')), std::runtime_error);
}

}  // namespace
}  // namespace kivo::testing
