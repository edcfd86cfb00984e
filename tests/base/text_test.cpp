#include <gtest/gtest.h>

#include <string>

#include "base/ascii.h"
#include "base/error.h"
#include "base/path.h"
#include "base/utf8.h"

namespace kivo {
namespace {

TEST(AsciiHelpers, TouchOnlyAsciiLettersAndTheBlanksAsked) {
  EXPECT_EQ(TrimAscii(" \t Data Source \r\n"), "Data Source");
  EXPECT_EQ(TrimAscii("  \v\f "), "");
  EXPECT_EQ(TrimAscii("\tWEB01 ", " "), "\tWEB01");
  // UTF-8 bytes are neither blanks nor letters here, whatever the locale says.
  EXPECT_EQ(TrimAscii("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");
  EXPECT_EQ(LowerAscii("PWD=\xC3\x84Z"), "pwd=\xC3\x84z");
  EXPECT_TRUE(EqualsIgnoringAsciiCase("Trusted_Connection", "TRUSTED_connection"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("pwd", "pwd "));
  EXPECT_FALSE(EqualsIgnoringAsciiCase("\xC3\x84", "\xC3\xA4"));
}

TEST(Utf16, RoundTripsEveryPlaneAndRefusesWhatIsNotUtf8) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e acute, euro, emoji
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  // A lone surrogate from a misbehaving source becomes U+FFFD instead of bad UTF-8.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, u'x', 0xDE00}), "\xEF\xBF\xBDx\xEF\xBF\xBD");
  for (const char* bad : {"\xFF", "\xC3", "\xED\xA0\x80", "\xC0\xAF"}) {
    try {
      Utf8ToUtf16(std::string("pw") + bad);
      ADD_FAILURE() << "accepted a bad sequence";
    } catch (const Error& error) {
      EXPECT_EQ(error.number(), kInvalidArgument);
      EXPECT_EQ(error.description().find("pw"), std::string::npos);
    }
  }
}

TEST(PathFromUtf8, KeepsNonAsciiNames) {
  // Compared as char8_t: the packaged GoogleTest cannot print those.
  EXPECT_TRUE(PathFromUtf8("web/\xC3\xA9t\xC3\xA9").filename().u8string() == u8"\u00e9t\u00e9");
}

}  // namespace
}  // namespace kivo
