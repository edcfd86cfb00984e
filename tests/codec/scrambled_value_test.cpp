#include "codec/scrambled_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "codec/windows1252.h"

namespace kivo {
namespace {

// Answers the encoder's two draws with fixed numbers: first the draw, then the filler.
RandomSource Fixed(int draw, int filler) {
  auto calls = std::make_shared<int>(0);
  return [=](std::int32_t lower, std::int32_t span) {
    const int call = (*calls)++;
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(span, call == 0 ? 33 : 1000);
    return static_cast<double>(call == 0 ? draw : filler);
  };
}

int DecodeErrorNumber(const std::string& value) {
  try {
    DecodeValue(value);
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), StandardDescription(e.number()));
    return e.number();
  }
  return 0;
}

struct Example {
  std::string text;
  int draw;
  int filler;
  std::string value;
};

TEST(ScrambledValue, KnownValuesEncodeAndDecodeBothWays) {
  const std::vector<Example> examples = {
      {"abc", 7, 42, "04213513613749207"},
      {"abc", 28, 5, "005141142143313828"},
      {"", 0, 999, "99909900"},
      {"", 10, 999, "999105610"},
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.value);
    EXPECT_EQ(EncodeValue(e.text, Fixed(e.draw, e.filler)), e.value);
    EXPECT_EQ(DecodeValue(e.value), e.text);
  }
}

TEST(ScrambledValue, ShiftFollowsTheWrittenWidthCode) {
  struct Case {
    std::size_t length;
    int draw;
    std::string widthCode;
    int shift;
  };
  const std::vector<Case> cases = {
      {1, 7, "92", 38},  {3, 28, "38", 44},  {0, 0, "99", 101},   {1, 9, "90", 20},
      {10, 6, "60", 20}, {100, 3, "30", 20}, {100, 28, "05", 45},  // one digit is both the first
                                                                   // and the last
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.widthCode);
    // Code 10 makes the group show the shift directly; under 100 it gets a leading zero.
    const std::string text(c.length, '\n');
    const std::string value = EncodeValue(text, Fixed(c.draw, 0));
    EXPECT_EQ(value.substr(value.size() - 4, 2), c.widthCode);
    if (c.length > 0) {
      std::string group = std::to_string(10 + c.shift);
      group.insert(0, 3 - group.size(), '0');
      EXPECT_EQ(value.substr(3, 3), group);
    }
    EXPECT_EQ(DecodeValue(value), text);
  }
}

TEST(ScrambledValue, EveryDrawRoundTripsTextsOfEveryFieldWidth) {
  for (std::size_t length : {0u, 1u, 9u, 10u, 99u, 100u, 967u}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('!' + i % 90));
    for (int draw = 0; draw <= 32; ++draw) {
      SCOPED_TRACE(testing::Message() << "length " << length << " draw " << draw);
      const std::string value = EncodeValue(text, Fixed(draw, 500));
      const std::size_t maskedDigits = std::to_string(length ^ draw).size();
      EXPECT_EQ(value.size(), 3 * length + 7 + maskedDigits);
      EXPECT_EQ(DecodeValue(value), text);
    }
  }
}

TEST(ScrambledValue, EveryCharacterCodeRoundTripsForEveryDraw) {
  std::string bytes;
  for (int code = 0; code <= 255; ++code) bytes.push_back(static_cast<char>(code));
  const std::string text = Windows1252ToUtf8(bytes);
  for (int draw = 0; draw <= 32; ++draw) {
    SCOPED_TRACE(draw);
    EXPECT_EQ(DecodeValue(EncodeValue(text, Fixed(draw, 7))), text);
  }
  // Shift 101 (W = 99, draw 0) stores code 255 as the largest group there is.
  EXPECT_EQ(EncodeValue(Windows1252ToUtf8("\xFF"), Fixed(0, 0)).substr(3, 3), "356");
}

TEST(ScrambledValue, RandomEncodingsDifferButDecodeAlike) {
  const std::string text = "Provider=SQLOLEDB.1;Data Source=db01;User ID=u;Password=p";
  for (int i = 0; i < 20; ++i) EXPECT_EQ(DecodeValue(EncodeValue(text)), text);
}

TEST(ScrambledValue, EncoderRefusesWhatTheFormatCannotCarry) {
  struct Case {
    std::string text;
    int number;
  };
  const std::vector<Case> cases = {
      {std::string(968, 'x'), kInvalidArgument},
      {std::string(32767, 'x'), kInvalidArgument},
      {std::string(32768, 'x'), kOverflow},
      // The length is checked before the characters; bytes are not characters.
      {std::string(32767, 'x') + "\xE4\xB8\xAD", kOverflow},
      {std::string(32766, 'x') + "\xE4\xB8\xAD", kInvalidArgument},
      {"\xC3", kInvalidArgument},              // cut UTF-8 sequence
      {"\xE2\x82\xAC ok", 0},                  // the euro sign is in the set
      {"\xE4\xB8\xAD", kInvalidArgument},      // not in Windows-1252
      {"\xF0\x9F\x98\x80", kInvalidArgument},  // outside the BMP
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size());
    try {
      const std::string value = EncodeValue(c.text, Fixed(3, 3));
      EXPECT_EQ(c.number, 0);
      EXPECT_EQ(DecodeValue(value), c.text);
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), c.number);
    }
  }
}

TEST(ScrambledValue, DecoderIgnoresWhatFollowsTheCountedGroups) {
  // "abc" with draw 7, then two extra triples before the masked length.
  EXPECT_EQ(DecodeValue("042135136137999888"
                        "49207"),
            "abc");
  // A count of zero or less reads no group at all, whatever the groups are.
  EXPECT_EQ(DecodeValue("042135136137"
                        "5"
                        "92"
                        "07"),
            "ab");
  EXPECT_EQ(DecodeValue("000xyz"
                        "7"
                        "92"
                        "07"),
            "");
  EXPECT_EQ(DecodeValue("000"
                        "-9"
                        "42"
                        "09"),
            "");
}

TEST(ScrambledValue, DecoderFailuresCarryTheirNumbers) {
  struct Case {
    std::string value;
    int number;
  };
  const std::vector<Case> cases = {
      {"", kTypeMismatch},
      {"7", kInvalidArgument},
      {"07", kInvalidArgument},
      {"907", kInvalidArgument},
      {"x07", kInvalidArgument},             // short before the width code is read
      {"0421351361374ab07", kTypeMismatch},  // width code no number
      {"042135136137-507", kTypeMismatch},   // negative width code: "-" read as a digit
      {"9207", kInvalidArgument},            // no room for the masked length
      {"3307", kInvalidArgument},            // width 3 needs 3 + 3 characters before the tail
      {"042135136137x9207", kTypeMismatch},  // masked length no number
      {"04213513613 9207", kTypeMismatch},   // strict: no blanks
      {"0421351361374+9207", kTypeMismatch},
      {"0421351x6137492"
       "07",
       kTypeMismatch},  // a group that is no number
      {"042999136137492"
       "07",
       kInvalidArgument},  // 999 - 38 is no character code
      {"042000136137492"
       "07",
       kInvalidArgument},  // 0 - 38 is negative
      {"0421"
       "992"
       "07",
       kTypeMismatch},  // count 9 ^ 7 = 14: the third group is empty
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(DecodeErrorNumber(c.value), c.number);
  }
}

TEST(ScrambledValue, RandomBetweenStaysInItsRange) {
  for (int i = 0; i < 200; ++i) {
    const double draw = RandomBetween(0, 33);
    EXPECT_GE(draw, 0);
    EXPECT_LE(draw, 32);
    EXPECT_EQ(draw, static_cast<int>(draw));
    const double shifted = RandomBetween(-5, 10);
    EXPECT_GE(shifted, -5);
    EXPECT_LE(shifted, 4);
  }
}

}  // namespace
}  // namespace kivo
