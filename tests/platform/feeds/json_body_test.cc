#include "platform/feeds/sheets_v4/json_body.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/failure/failure.h"

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

struct Diverted {
  std::string kept;
  std::vector<std::string> batches;
};

Diverted divert(std::string_view json, std::size_t batch_bytes, std::size_t piece) {
  JsonBody body;
  Diverted result;
  body.divert_array_member("values", batch_bytes, 16, [&](std::string_view batch) {
    // The padding promised after the batch must be there to read.
    EXPECT_EQ(std::string_view(batch.data() + batch.size(), 16), std::string(16, ' '));
    result.batches.emplace_back(batch);
  });
  for (std::size_t at = 0; at < json.size(); at += piece) body.append(json.substr(at, piece));
  result.kept = std::string(body.text(0));
  return result;
}

TEST(JsonBodyTest, HandsOnTheRootArrayMemberInBatchesOfWholeElements) {
  const struct {
    const char* name;
    std::string json;
    std::size_t batch_bytes;
    std::string kept;
    std::vector<std::string> batches;
  } cases[] = {
      {"each element its own batch",
       R"({"range":"A1", "values" : [ ["a", "b"], ["c,]"] ,[]] , "z":1})",
       1,
       R"({"range":"A1","values":[],"z":1})",
       {R"([["a","b"]])", R"([["c,]"]])", "[[]]"}},
      {"one batch when they fit",
       R"({"values":[["a"],["b"]]})",
       1000,
       R"({"values":[]})",
       {R"([["a"],["b"]])"}},
      {"batches end where an element does",
       R"({"values":[["aaaa"],["b"],["c"],["d"]]})",
       12,
       R"({"values":[]})",
       {R"([["aaaa"],["b"]])", R"([["c"],["d"]])"}},
      {"an empty array hands on nothing", R"({"values":[]})", 1, R"({"values":[]})", {}},
      {"the first member of the name, not a later one",
       R"({"values":[[1]],"values":[[2]]})",
       1,
       R"({"values":[],"values":[[2]]})",
       {"[[1]]"}},
      {"a first member that is no array keeps the later one whole",
       R"({"values":"x","values":[[2]]})",
       1,
       R"({"values":"x","values":[[2]]})",
       {}},
      {"an escaped key could spell the name",
       R"({"val\u0075es":1,"values":[[2]]})",
       1,
       R"({"val\u0075es":1,"values":[[2]]})",
       {}},
      {"only a member of the root object",
       R"({"a":{"values":[[1]]},"b":["values",[2]]})",
       1,
       R"({"a":{"values":[[1]]},"b":["values",[2]]})",
       {}},
      {"a string value is no key",
       R"({"a":"values","b":[[1]]})",
       1,
       R"({"a":"values","b":[[1]]})",
       {}},
      {"a root that is no object", R"([{"values":[[1]]}])", 1, R"([{"values":[[1]]}])", {}},
      {"nothing after the root", R"({"a":1}{"values":[[1]]})", 1, R"({"a":1}{"values":[[1]]})", {}},
      {"quotes and brackets inside strings",
       R"({"values":[["\"],[\\"],["\\"]]})",
       1,
       R"({"values":[]})",
       {R"([["\"],[\\"]])", R"([["\\"]])"}},
      // Malformed between the elements: the batch that follows shows it to its parser.
      {"no comma", R"({"values":[[1] [2]]})", 1, R"({"values":[]})", {"[[1][2]]"}},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, c.json.size()}) {
      const Diverted got = divert(c.json, c.batch_bytes, piece);
      EXPECT_EQ(got.kept, c.kept) << c.name << ", pieces of " << piece;
      EXPECT_EQ(got.batches, c.batches) << c.name << ", pieces of " << piece;
    }
  }
}

// A comma taken at the end of a batch must be followed by an element: "[1,]" and "[1,,2]"
// are no arrays, and the batches on either side of the gap would each read as one.
TEST(JsonBodyTest, FailsACommaWithoutAnElementWhereBatchesMeet) {
  for (const std::string json : {R"({"values":[[1],]})", R"({"values":[[1],[2], ]})",
                                 R"({"values":[[1],,[2]]})", R"({"values":[,[1]]})"}) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{100}}) {
      EXPECT_THROW(divert(json, 1, piece), Failure) << json;
    }
  }
}

}  // namespace
}  // namespace kolvo
