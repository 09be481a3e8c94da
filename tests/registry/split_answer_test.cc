// The rows of an answer must not depend on where the network cut it: each answer is parsed as
// its pieces arrive, and a piece may end anywhere, inside a name, an escape or a character.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/feeds/gdata/gdata.h"
#include "platform/feeds/sheets_v4/sheets_v4.h"
#include "registry/registry.h"

namespace kolvo {
namespace {

using Pieces = std::function<void(std::string_view, std::string_view, const EntrySink&)>;

struct SplitCase {
  const char* name;
  std::string answer;
  Pieces parse;  // the answer in two pieces, each row to the sink
};

RegistryRecordList records_of(const SplitCase& c, std::string_view first, std::string_view rest) {
  RegistryRecordList records;
  c.parse(first, rest, [&](const FeedEntry& row) { records.push_back(to_record(row)); });
  return records;
}

TEST(SplitAnswerTest, EveryCutGivesTheRecordsOfTheWholeAnswer) {
  const SplitCase cases[] = {
      {"sheets-v4",
       R"({"range":"'Registry'!A1:C3","majorDimension":"ROWS","values":[["Serial Number",)"
       R"("Name","Notes"],["SN-1","Dr\u00fcck \"A\"","\u0416 \\ x"],["SN\\2",""],["SN-3",)"
       "\"\xC3\xA9t\xC3\xA9\",\"a, b\"]]}",
       [](std::string_view first, std::string_view rest, const EntrySink& sink) {
         sheets_v4::ValuesStream stream(sink, 16);
         stream.append(first);
         stream.append(rest);
         stream.finish();
       }},
      {"gdata",
       R"(<feed xmlns="http://www.w3.org/2005/Atom" xmlns:gsx="http://schemas.google.com/)"
       R"(spreadsheets/2006/extended"><entry><title>SN-1</title><gsx:serialnumber>SN-1)"
       R"(</gsx:serialnumber><gsx:name>Dr&#252;ck &amp; Co</gsx:name></entry><entry>)"
       "<gsx:serialnumber>SN\\2</gsx:serialnumber><gsx:notes>\xC3\xA9t\xC3\xA9<![CDATA[ <b>]]>"
       "</gsx:notes></entry></feed>",
       [](std::string_view first, std::string_view rest, const EntrySink& sink) {
         gdata::AtomFeedParser parser(sink);
         parser.parse(first);
         parser.parse(rest);
         parser.finish();
       }},
  };
  for (const SplitCase& c : cases) {
    const RegistryRecordList whole = records_of(c, c.answer, {});
    ASSERT_EQ(whole.size(), c.name == std::string("gdata") ? 2u : 3u) << c.name;
    for (std::size_t cut = 1; cut < c.answer.size(); ++cut) {
      const std::string_view answer(c.answer);
      EXPECT_EQ(records_of(c, answer.substr(0, cut), answer.substr(cut)), whole)
          << c.name << " cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace kolvo
