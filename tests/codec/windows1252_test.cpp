#include "codec/windows1252.h"

#include <gtest/gtest.h>

#include "base/error.h"

namespace kivo {
namespace {

TEST(Windows1252, EveryByteMapsToOneCharacterAndBack) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToWindows1252(Windows1252ToUtf8(byte)), byte) << b;
  }
}

TEST(Windows1252, HighRangeFollowsTheCodePage) {
  EXPECT_EQ(Windows1252ToUtf8("\x80"), "\xE2\x82\xAC");  // euro sign
  EXPECT_EQ(Windows1252ToUtf8("\x9F"), "\xC5\xB8");      // Y with diaeresis
  EXPECT_EQ(Windows1252ToUtf8("\x81"), "\xC2\x81");      // undefined: the C1 control
  EXPECT_EQ(Windows1252ToUtf8("\xE9"), "\xC3\xA9");      // Latin-1 e acute
}

TEST(Windows1252, RefusesWhatItCannotRepresent) {
  for (const char* bad : {"\xC2\x80",      // U+0080 is the euro's byte's Latin-1 twin
                          "\xE2\x80\x8B",  // zero-width space
                          "\xC0\xAF",      // overlong
                          "\xED\xA0\x80",  // surrogate
                          "\xFF", "\xE2\x82"}) {
    try {
      Utf8ToWindows1252(bad);
      ADD_FAILURE() << "accepted " << bad;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), kInvalidArgument);
    }
  }
}

}  // namespace
}  // namespace kivo
