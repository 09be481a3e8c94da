#include "platform/feeds/json_body.h"

#include <gtest/gtest.h>

namespace kolvo {
namespace {

std::string compact(std::string_view json, std::size_t piece) {
  JsonBody body;
  for (std::size_t at = 0; at < json.size(); at += piece) body.append(json.substr(at, piece));
  return std::string(body.text(64));
}

TEST(JsonBodyTest, DropsWhitespaceBetweenTokensButNeverInsideStrings) {
  const std::string json =
      "{\n  \"values\" : [\n    [ \"Serial Number\", \"a \\\" b\\\\\" ],\r\n\t[\"x\\\\\", \" \"]\n "
      " ]\n}\n";
  const std::string expected = R"({"values":[["Serial Number","a \" b\\"],["x\\"," "]]})";
  for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{5}, json.size()}) {
    EXPECT_EQ(compact(json, piece), expected) << "pieces of " << piece;
  }
}

// Joining the tokens would turn an answer the parser must refuse into one it accepts.
TEST(JsonBodyTest, KeepsOneBlankBetweenTokensThatWouldOtherwiseJoin) {
  const struct {
    std::string json;
    std::string expected;
  } cases[] = {
      {"[1 2]", "[1 2]"},
      {"[1 \n\t 2]", "[1 2]"},
      {"[tr ue]", "[tr ue]"},
      {"{\"a\": nu  ll}", "{\"a\":nu ll}"},
      {"[ 1 , 2 ]", "[1,2]"},
      {"[\"a\" \"b\"]", "[\"a\"\"b\"]"},
      {"[true ]", "[true]"},
      {"  7  ", "7"},
      // Runs of backslashes, odd and even, before a quote and across the pieces.
      {"[\"a\\\\\" , \"b\\\"c \\\\\\\" d\" ]", "[\"a\\\\\",\"b\\\"c \\\\\\\" d\"]"},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, c.json.size()}) {
      EXPECT_EQ(compact(c.json, piece), c.expected) << c.json << " in pieces of " << piece;
    }
  }
}

TEST(JsonBodyTest, KeepsNothingOfAnAnswerThatIsOnlyBlank) {
  JsonBody body;
  const std::string blanks(1 << 20, ' ');
  for (int i = 0; i < 64; ++i) body.append(blanks);
  body.append("{\"values\":");
  for (int i = 0; i < 64; ++i) body.append(blanks);
  EXPECT_EQ(body.size(), 10u);
}

TEST(JsonBodyTest, LeavesReadablePaddingAfterTheText) {
  JsonBody body;
  body.append("[1, 2]");
  const std::string_view text = body.text(64);
  EXPECT_EQ(text, "[1,2]");
}

}  // namespace
}  // namespace kolvo
