#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/ascii.h"
#include "base/error.h"
#include "base/path.h"
#include "base/utf8.h"
#include "base/visible_text.h"

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

// What a server's text may hold to drive a terminal or to make a line read otherwise, and what
// must pass as it is.
TEST(VisibleText, EscapesWhatCouldDriveOrReorderATerminalAndNothingElse) {
  struct Case {
    std::string text;
    LineEnds lineEnds;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"Table CHXD.T2011 columns altered!\r\n", LineEnds::kKeepCrLf,
       "Table CHXD.T2011 columns altered!\n"},
      {"C:\\Inetpub\\wwwroot\\web.config \\x1b", LineEnds::kEscape,
       "C:\\Inetpub\\wwwroot\\web.config \\x1b"},
      {"Kundenb\xC3\xBCro \xE2\x82\xAC \xF0\x9F\x98\x80", LineEnds::kEscape,
       "Kundenb\xC3\xBCro \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"IX\x1B[2J\x1B]0;title\x07", LineEnds::kEscape, "IX\\x1b[2J\\x1b]0;title\\x07"},
      {"\x1B]52;c;SGk=\x1B\\", LineEnds::kEscape, "\\x1b]52;c;SGk=\\x1b\\"},
      {"BLOCKER x\rINFO", LineEnds::kKeepCrLf, "BLOCKER x\\x0dINFO"},
      {"one\r\ntwo\nthree\n\r", LineEnds::kKeepCrLf, "one\ntwo\\x0athree\\x0a\\x0d"},
      {"one\r\ntwo", LineEnds::kEscape, "one\\x0d\\x0atwo"},
      {std::string("a\0b\tc\x7F", 6), LineEnds::kEscape, "a\\x00b\\x09c\\x7f"},
      // C1 controls as characters (CSI, NEL) and as bare bytes, which are not UTF-8.
      {"\xC2\x9B"
       "2J\xC2\x85|\x9B|\xFF\xC3",
       LineEnds::kEscape, "\\u009b2J\\u0085|\\x9b|\\xff\\xc3"},
      {"\xC3(", LineEnds::kEscape, "\\xc3("},
      // Overrides, embeddings, isolates, marks and separators.
      {"ok\xE2\x80\xAE"
       "KCOLB",
       LineEnds::kEscape, "ok\\u202eKCOLB"},
      {"\xE2\x80\xAA\xE2\x80\xAD\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C"
       "\xE2\x80\xA8\xE2\x80\xA9",
       LineEnds::kEscape, "\\u202a\\u202d\\u2066\\u2069\\u200e\\u200f\\u061c\\u2028\\u2029"},
      // Neighbours that are ordinary characters.
      {"\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xAA", LineEnds::kEscape,
       "\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xAA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    const std::string shown = VisibleText(c.text, c.lineEnds);
    EXPECT_EQ(shown, c.shown);
    // Escaping twice changes nothing: findings are escaped before the companion escapes them.
    if (c.lineEnds == LineEnds::kEscape) {
      EXPECT_EQ(VisibleText(shown), shown);
    }
  }
}

TEST(PathFromUtf8, KeepsNonAsciiNames) {
  // Compared as char8_t: the packaged GoogleTest cannot print those.
  EXPECT_TRUE(PathFromUtf8("web/\xC3\xA9t\xC3\xA9").filename().u8string() == u8"\u00e9t\u00e9");
}

}  // namespace
}  // namespace kivo
