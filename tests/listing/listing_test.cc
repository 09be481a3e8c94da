#include "listing/listing.h"

#include <gtest/gtest.h>

#include <sstream>

#include "listing/quote.h"

namespace kolvo {
namespace {

std::string plain(const RegistryRecordList& list) {
  std::ostringstream out;
  write_plain_listing(list, out);
  return out.str();
}

std::string json(const RegistryRecordList& list) {
  std::ostringstream out;
  write_json_listing(list, out);
  return out.str();
}

TEST(ListingTest, WorkedCaseOfTwoRecords) {
  const RegistryRecordList list = {{u"A\\B", {{"k", "v"}}}, {u"C", {}}};
  EXPECT_EQ(json(list),
            "[\n"
            R"({"serialnumber":"A\\B","properties":{"k":"v"}},)"
            "\n"
            R"({"serialnumber":"C","properties":{}})"
            "\n]");
  EXPECT_EQ(plain(list), "A\\B, v\nC\n");
}

TEST(ListingTest, EmptyListWritesNoPlainLinesAndAnEmptyJsonArray) {
  EXPECT_EQ(plain({}), "");
  EXPECT_EQ(json({}), "[\n]");
}

TEST(ListingTest, SingleRecordHasNoTrailingComma) {
  EXPECT_EQ(json({{u"S1", {{"a", "1"}, {"b", "2"}}}}),
            "[\n{\"serialnumber\":\"S1\",\"properties\":{\"a\":\"1\",\"b\":\"2\"}}\n]");
  EXPECT_EQ(plain({{u"S1", {{"a", "1"}, {"b", "2"}}}}), "S1, 1, 2\n");
}

TEST(ListingTest, EmptySerialNumber) {
  EXPECT_EQ(plain({{u"", {{"a", "1"}}}}), ", 1\n");
  EXPECT_EQ(plain({{u"", {}}}), "\n");
  EXPECT_EQ(json({{u"", {}}}), "[\n{\"serialnumber\":\"\",\"properties\":{}}\n]");
}

TEST(ListingTest, PropertiesFollowUnsignedByteOrderOfKeys) {
  // Inserted in sheet order; written in key order: upper case, then lower case and prefixes
  // first, then keys with bytes from 0x80 up.
  RegistryRecord record{u"S", {}};
  for (const char* key : {"\xC3\xA9t\xC3\xA9", "b", "ab", "a", "Z"})
    record.properties.emplace(key, key);
  EXPECT_EQ(plain({record}), "S, Z, a, ab, b, \xC3\xA9t\xC3\xA9\n");
  EXPECT_EQ(json({record}),
            "[\n{\"serialnumber\":\"S\",\"properties\":{\"Z\":\"Z\",\"a\":\"a\",\"ab\":\"ab\","
            "\"b\":\"b\",\"\xC3\xA9t\xC3\xA9\":\"\xC3\xA9t\xC3\xA9\"}}\n]");
}

TEST(ListingTest, SerialNumberBeyondTheBmpIsWrittenAsUtf8) {
  const RegistryRecordList list = {{u"\U0001F4E6-\u6771\u4EAC", {}}};
  EXPECT_EQ(plain(list), "\xF0\x9F\x93\xA6-\xE6\x9D\xB1\xE4\xBA\xAC\n");
  EXPECT_EQ(
      json(list),
      "[\n{\"serialnumber\":\"\xF0\x9F\x93\xA6-\xE6\x9D\xB1\xE4\xBA\xAC\",\"properties\":{}}\n]");
}

TEST(ListingTest, UnpairedSurrogateInSerialNumberBecomesReplacementCharacter) {
  const std::u16string serial = {u'A', char16_t{0xD800}, u'B', char16_t{0xDC00}};
  EXPECT_EQ(plain({{serial, {}}}),
            "A\xEF\xBF\xBD"
            "B\xEF\xBF\xBD\n");
}

TEST(ListingTest, PlainListingWritesCellTextUnescaped) {
  EXPECT_EQ(plain({{u"S\"1\\", {{"k", "a\"b\\c\nd"}}}}), "S\"1\\, a\"b\\c\nd\n");
}

TEST(ListingTest, JsonListingEscapesCellsSoTheyCannotInjectMembers) {
  const RegistryRecordList list = {{u"S\"", {{"k\"", "\",\"admin\":\"yes"}}}};
  EXPECT_EQ(json(list),
            "[\n{\"serialnumber\":\"S\\\"\",\"properties\":{\"k\\\"\":"
            "\"\\\",\\\"admin\\\":\\\"yes\"}}\n]");
}

struct QuoteCase {
  std::string input;
  std::string expected;
};

class QuoteTest : public testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteTest, NarrowAndWideGiveTheSameLiteral) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(quote(c.input), c.expected);
  // The wide form of ASCII input must escape exactly the same way.
  const std::u16string wide(c.input.begin(), c.input.end());
  const std::u16string expected_wide(c.expected.begin(), c.expected.end());
  EXPECT_EQ(quote(wide), expected_wide);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, QuoteTest,
    testing::Values(QuoteCase{"", "\"\""}, QuoteCase{"plain text, 42", "\"plain text, 42\""},
                    QuoteCase{"a\"b", "\"a\\\"b\""}, QuoteCase{"a\\b", "\"a\\\\b\""},
                    QuoteCase{"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
                    QuoteCase{std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
                    QuoteCase{"\x1b[31m", "\"\\u001b[31m\""}, QuoteCase{" \x7f/", "\" \x7f/\""},
                    QuoteCase{"</script>", "\"</script>\""}));

TEST(QuoteTest, NonAsciiIsCopiedUnchanged) {
  EXPECT_EQ(quote("M\xC3\xBCller \xF0\x9F\x93\xA6"), "\"M\xC3\xBCller \xF0\x9F\x93\xA6\"");
  EXPECT_EQ(quote(std::u16string_view(u"\u00FC\U0001F4E6\u2028")), u"\"\u00FC\U0001F4E6\u2028\"");
}

}  // namespace
}  // namespace kolvo
