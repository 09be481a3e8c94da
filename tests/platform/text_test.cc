#include "platform/text/text.h"

#include <gtest/gtest.h>

namespace kolvo {
namespace {

TEST(TextTest, WideConversionKeepsEveryCharacterAndEmbeddedNuls) {
  const std::string utf8("a\0b\xC3\xA9\xE6\x9D\xB1\xF0\x9F\x93\xA6", 12);
  const std::u16string expected(u"a\0b\u00E9\u6771\U0001F4E6", 7);
  EXPECT_EQ(to_wide(utf8), expected);
  EXPECT_EQ(to_narrow(to_wide(utf8)), utf8);
}

TEST(TextTest, EmptyTextConvertsToEmpty) {
  EXPECT_EQ(to_wide(""), u"");
  EXPECT_EQ(to_narrow(std::u16string_view()), "");
  EXPECT_EQ(to_narrow(std::string_view()), "");
}

struct BadUtf8Case {
  const char* name;
  friend void PrintTo(const BadUtf8Case& c, std::ostream* os) { *os << c.name; }
  std::string input;
  std::string expected;  // each maximal ill-formed subpart becomes one U+FFFD
};

class BadUtf8Test : public testing::TestWithParam<BadUtf8Case> {};

TEST_P(BadUtf8Test, IsReplacedWithoutLosingTheTextAround) {
  const BadUtf8Case& c = GetParam();
  EXPECT_EQ(to_narrow(std::string_view(c.input)), c.expected);
  EXPECT_EQ(to_narrow(to_wide(c.input)), c.expected);
  EXPECT_FALSE(is_well_formed_utf8(c.input));
  // Past the eight-byte stride that passes pure ASCII without looking closer.
  EXPECT_FALSE(is_well_formed_utf8("0123456789abcdef" + c.input));
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Sequences, BadUtf8Test,
    testing::Values(BadUtf8Case{"LoneContinuation", "a\x80z", "a" + kFffd + "z"},
                    BadUtf8Case{"TruncatedAtEnd", "a\xE6\x9D", "a" + kFffd},
                    BadUtf8Case{"TruncatedBeforeAscii", "\xF0\x9F\x93z", kFffd + "z"},
                    BadUtf8Case{"Overlong", "\xC0\xAF", kFffd + kFffd},
                    BadUtf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
                    BadUtf8Case{"EncodedSurrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
                    BadUtf8Case{"AboveUnicode", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
                    BadUtf8Case{"InvalidLead", "\xFF\xFE", kFffd + kFffd}),
    [](const testing::TestParamInfo<BadUtf8Case>& info) { return info.param.name; });

TEST(TextTest, UnpairedSurrogatesBecomeTheDefaultCharacter) {
  const std::u16string lone_high = {u'x', char16_t{0xD83D}};
  const std::u16string lone_low = {char16_t{0xDCA6}, u'y'};
  const std::u16string reversed = {char16_t{0xDCA6}, char16_t{0xD83D}};
  EXPECT_EQ(to_narrow(lone_high), "x" + kFffd);
  EXPECT_EQ(to_narrow(lone_low), kFffd + "y");
  EXPECT_EQ(to_narrow(reversed), kFffd + kFffd);
}

TEST(TextTest, BoundaryCodePointsRoundTrip) {
  for (const char32_t cp : {U'\u007F', U'\u0080', U'\u07FF', U'\u0800', U'\uD7FF', U'\uE000',
                            U'\uFFFF', U'\U00010000', U'\U0010FFFF'}) {
    std::u16string wide;
    if (cp < 0x10000) {
      wide = std::u16string(1, static_cast<char16_t>(cp));
    } else {
      wide = {static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)),
              static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF))};
    }
    const std::string narrow = to_narrow(wide);
    EXPECT_EQ(to_wide(narrow), wide) << std::hex << static_cast<unsigned>(cp);
    EXPECT_EQ(to_narrow(std::string_view(narrow)), narrow);
    EXPECT_TRUE(is_well_formed_utf8("0123456789" + narrow + "x"))
        << std::hex << static_cast<unsigned>(cp);
  }
}

// Text that is checked instead of copied must be exactly the text the copy would equal.
TEST(TextTest, WellFormedMeansTheCopyWouldBeTheSame) {
  for (const std::string& text :
       {std::string(), std::string("plain ASCII, long enough for a stride or two"),
        std::string("\0embedded\0", 10), std::string("Z\xC3\xBCrich \xE6\x9D\xB1\xE4\xBA\xAC"),
        kFffd, "ok" + kFffd + "ok", std::string("\xEF\xBF"), std::string("12345678\xBD"),
        std::string("1234567\xC3"), std::string("\xF0\x9F\x93\xA6")}) {
    EXPECT_EQ(is_well_formed_utf8(text), to_narrow(std::string_view(text)) == text) << text;
  }
}

TEST(TextTest, LongWideTextConvertsWhole) {
  // Far more than any small buffer, mixing one-, two-, three- and four-byte forms.
  std::u16string wide;
  std::string narrow;
  for (int i = 0; i < 5000; ++i) {
    wide += u"a\u00E9\u6771\U0001F4E6";
    narrow += "a\xC3\xA9\xE6\x9D\xB1\xF0\x9F\x93\xA6";
  }
  EXPECT_EQ(to_narrow(wide), narrow);
  std::string appended = "prefix ";
  append_narrow(appended, wide);
  EXPECT_EQ(appended, "prefix " + narrow);
}

}  // namespace
}  // namespace kolvo
