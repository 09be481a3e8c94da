#include "platform/feeds/sheets_v4/sheets_v4.h"

#include <gtest/gtest.h>

#include <optional>

#include "column_name_cases.h"
#include "platform/failure/failure.h"
#include "platform/feeds/sheets_v4/json_body.h"

namespace kolvo::sheets_v4 {
namespace {

TEST(ColumnNamesTest, DerivesListFeedNames) {
  EXPECT_EQ(
      column_names({"Serial Number", "Time 2 Eat!", "letters_pl",
                    "Tel\xC3\xA9"
                    "fono",
                    "\xCE\x9F\xCE\xBD\xCF\x8C\xCE\xBC\xCE\xB1", "\xD0\x98\xD0\xBC\xD1\x8F",
                    "\xE5\x90\x8D\xE5\x89\x8D", "ÄÖÜ-ẞ"}),
      (std::vector<std::string>{"serialnumber", "time2eat", "letterspl",
                                "tel\xC3\xA9"
                                "fono",
                                "\xCE\xBF\xCE\xBD\xCF\x8C\xCE\xBC\xCE\xB1",
                                "\xD0\xB8\xD0\xBC\xD1\x8F", "\xE5\x90\x8D\xE5\x89\x8D", "äöüß"}));
}

TEST(ColumnNamesTest, RepeatsAreNumberedAndEmptyNamesArePositional) {
  EXPECT_EQ(column_names({"Name", "name", "", "N-A-M-E", "!!!", "Name 2", "name"}),
            (std::vector<std::string>{"name", "name_2", "_cpzh4", "name_3", "_chk2m", "name2",
                                      "name_4"}));
}

class ColumnNameTableTest : public testing::TestWithParam<testing_support::ColumnNameCase> {};

TEST_P(ColumnNameTableTest, GivesTheNamesOfTheTable) {
  EXPECT_EQ(column_names(GetParam().header), GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(Headers, ColumnNameTableTest,
                         testing::ValuesIn(testing_support::kColumnNameCases),
                         testing_support::column_name_case_name);

TEST(PositionalColumnNameTest, ColumnsAToTAndFarther) {
  const std::vector<std::string>& expected = testing_support::kPositionalNamesAToT;
  for (std::size_t column = 0; column < expected.size(); ++column) {
    EXPECT_EQ(positional_column_name(column), expected[column]) << column;
  }
  for (const auto& [column, name] : testing_support::kFarPositionalNames) {
    EXPECT_EQ(positional_column_name(column), name) << column;
  }
  // Through the header: twenty cells that leave nothing.
  EXPECT_EQ(column_names(std::vector<std::string>(expected.size(), "--")), expected);
}

TEST(SheetsV4UriTest, DriveQueryEscapesTheTitleAndSearchesEveryDriveOldestFirst) {
  const std::string first =
      "https://h/drive/v3/files?q=mimeType%3D%27application%2Fvnd.google-apps.spreadsheet%27"
      "%20and%20name%20%3D%20%27Bob%5C%27s%20%5C%5C%20list%27%20and%20trashed%20%3D%20false"
      "&fields=nextPageToken,incompleteSearch,files(id,name)&pageSize=1000&orderBy=createdTime"
      "&corpora=allDrives&includeItemsFromAllDrives=true&supportsAllDrives=true";
  EXPECT_EQ(drive_files_uri("https://h/drive/v3/files", "Bob's \\ list"), first);
  EXPECT_EQ(drive_files_uri("https://h/drive/v3/files", "Bob's \\ list", "a+b/c=="),
            first + "&pageToken=a%2Bb%2Fc%3D%3D");
}

TEST(SheetsV4UriTest, RangeIsTheQuotedTitleAsOnePathSegment) {
  EXPECT_EQ(values_uri("https://h/v4/spreadsheets", "id_1-x", "Bob's Sheet/2"),
            "https://h/v4/spreadsheets/id_1-x/values/%27Bob%27%27s%20Sheet%2F2%27"
            "?majorDimension=ROWS");
  EXPECT_EQ(spreadsheet_uri("https://h/v4/spreadsheets", "id"),
            "https://h/v4/spreadsheets/id?fields=properties.title,sheets.properties(sheetId,title,"
            "index)");
}

TEST(ParseDriveFilesTest, EntriesKeepOrderTitlesAndIds) {
  const DriveFilesPage page = parse_drive_files(
      R"({"files":[{"id":"a1","name":"inventory"},{"id":"b2","name":"Inventory"},{"id":"c3"}]})");
  const Feed& feed = page.files;
  ASSERT_EQ(feed.entries.size(), 3u);
  EXPECT_EQ(feed.entries[0].title, "inventory");
  EXPECT_EQ(feed.entries[1].title, "Inventory");
  EXPECT_EQ(feed.entries[1].id, "b2");
  EXPECT_FALSE(feed.entries[2].title.has_value());
  EXPECT_TRUE(feed.entries[1].links.empty());
  EXPECT_FALSE(page.next_page_token);
  EXPECT_FALSE(page.incomplete_search);
  EXPECT_TRUE(parse_drive_files(R"({"files":[]})").files.entries.empty());
}

TEST(ParseDriveFilesTest, ReadsThePageTokenAndWhetherTheSearchWasComplete) {
  const DriveFilesPage page =
      parse_drive_files(R"({"nextPageToken":"t\u002f1","incompleteSearch":true,"files":[]})");
  EXPECT_EQ(page.next_page_token, "t/1");
  EXPECT_TRUE(page.incomplete_search);
  EXPECT_THROW(parse_drive_files(R"({"incompleteSearch":"yes"})"), Failure);
  EXPECT_THROW(parse_drive_files(R"({"nextPageToken":7})"), Failure);
}

TEST(ParseSpreadsheetTest, GivesTheTitleAndEachSheetLinkedToItsValues) {
  const SpreadsheetMetadata metadata = parse_spreadsheet(
      R"({"properties":{"title":"Inventory"},
          "sheets":[{"properties":{"sheetId":0,"title":"Summary","index":0}},
                    {"properties":{"sheetId":7,"title":"Registry","index":1}}]})",
      "https://h/v4/spreadsheets", "abc");
  EXPECT_EQ(metadata.title, "Inventory");
  const Feed& feed = metadata.sheets;
  ASSERT_EQ(feed.entries.size(), 2u);
  EXPECT_EQ(feed.entries[1].title, "Registry");
  EXPECT_EQ(feed.entries[1].find_link(kListFeedRel)->href,
            "https://h/v4/spreadsheets/abc/values/%27Registry%27?majorDimension=ROWS");
  EXPECT_FALSE(parse_spreadsheet(R"({"sheets":[]})", "https://h", "abc").title);
  EXPECT_THROW(parse_spreadsheet(R"({"properties":[]})", "https://h", "abc"), Failure);
}

std::vector<std::vector<std::pair<std::string, std::string>>> cells(const Feed& feed) {
  std::vector<std::vector<std::pair<std::string, std::string>>> rows;
  for (const FeedEntry& entry : feed.entries) {
    auto& row = rows.emplace_back();
    for (const ListElement& element : entry.elements)
      row.emplace_back(element.local_name, element.value);
  }
  return rows;
}

TEST(ParseValuesTest, RaggedRowsGiveEmptyCellsAndABlankRowIsPassedOver) {
  const Feed feed = parse_values(R"({"range":"'Registry'!A1:Z1000","majorDimension":"ROWS",
      "values":[["Serial Number","Name","","Name"],["S1"],["S2","n\"2","x","dup"],[],["S4"]]})");
  using Row = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(cells(feed),
            (std::vector<Row>{
                {{"serialnumber", "S1"}, {"name", ""}, {"_cpzh4", ""}, {"name_2", ""}},
                {{"serialnumber", "S2"}, {"name", "n\"2"}, {"_cpzh4", "x"}, {"name_2", "dup"}},
                {{"serialnumber", "S4"}, {"name", ""}, {"_cpzh4", ""}, {"name_2", ""}}}));
}

// Each row has every header column and, beyond the header, the cells it has itself: rows that
// reach further, less far and further again each get their own.
TEST(ParseValuesTest, CellsBeyondTheHeaderComeUnderTheirPositionalNames) {
  const Feed feed = parse_values(R"({"values":[["serialnumber","name"],["S1","a","x"],["S2"],)"
                                 R"(["S3","b","","y"],["S4","c","z"],["S5","d"]]})");
  using Row = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(
      cells(feed),
      (std::vector<Row>{{{"serialnumber", "S1"}, {"name", "a"}, {"_cpzh4", "x"}},
                        {{"serialnumber", "S2"}, {"name", ""}},
                        {{"serialnumber", "S3"}, {"name", "b"}, {"_cpzh4", ""}, {"_cre1l", "y"}},
                        {{"serialnumber", "S4"}, {"name", "c"}, {"_cpzh4", "z"}},
                        {{"serialnumber", "S5"}, {"name", "d"}}}));
}

TEST(ParseValuesTest, BlankAndPunctuationHeadersAndAnEmptyHeaderRowNamePositionally) {
  using Row = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(cells(parse_values(R"({"values":[["","serialnumber","--"],["a","S1","b"]]})")),
            (std::vector<Row>{{{"_cn6ca", "a"}, {"serialnumber", "S1"}, {"_cpzh4", "b"}}}));
  EXPECT_EQ(cells(parse_values(R"({"values":[[],["S1","x"],["S2"]]})")),
            (std::vector<Row>{{{"_cn6ca", "S1"}, {"_cokwr", "x"}}, {{"_cn6ca", "S2"}}}));
}

TEST(ParseValuesTest, RowOfEmptyStringsIsBlankButARowWithOneValueIsNot) {
  const Feed feed =
      parse_values(R"({"values":[["serialnumber","name"],["","x"],["",""],["S3","y"],[""]]})");
  ASSERT_EQ(feed.entries.size(), 2u);
  EXPECT_EQ(feed.entries[0].elements[1].value, "x");
  EXPECT_EQ(feed.entries[1].elements[1].value, "y");
}

TEST(ParseValuesTest, AbsentValuesOrOnlyAHeaderMeanNoRows) {
  EXPECT_TRUE(
      parse_values(R"({"range":"'Registry'!A1:Z1000","majorDimension":"ROWS"})").entries.empty());
  EXPECT_TRUE(parse_values(R"({"values":[["serialnumber"]]})").entries.empty());
}

struct MalformedCase {
  const char* name;
  std::string json;
  friend void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }
};

class MalformedAnswerTest : public testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedAnswerTest, FailsTheRetrieval) {
  const std::string& json = GetParam().json;
  EXPECT_THROW(parse_values(json), Failure);
  EXPECT_THROW(parse_drive_files(json), Failure);
  EXPECT_THROW(parse_spreadsheet(json, "https://h", "id"), Failure);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MalformedAnswerTest,
    testing::Values(MalformedCase{"NotJson", "<html>"},
                    MalformedCase{"Truncated", R"({"values":[["a"],"files":[{"id":"x")"},
                    MalformedCase{"ArrayRoot", "[]"},
                    MalformedCase{"NumberCell",
                                  R"({"values":[["serialnumber"],[42]],"files":3,"sheets":3})"},
                    MalformedCase{"RowNotArray",
                                  R"({"values":[["serialnumber"],"S1"],"files":[1],"sheets":[1]})"},
                    MalformedCase{"InvalidUtf8", "{\"values\":[[\"\xC3(\"]]}"}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

// A default-constructed view has no storage; it must read as an empty answer, not reach
// simdjson's memcpy as a null pointer (caught under -fsanitize=undefined).
TEST(EmptyAnswerTest, ViewWithoutStorageIsNotJson) {
  EXPECT_THROW(parse_values(std::string_view()), Failure);
  EXPECT_THROW(parse_drive_files(std::string_view()), Failure);
  EXPECT_THROW(parse_spreadsheet(std::string_view(), "https://h", "id"), Failure);
}

TEST(ParseDriveFilesTest, FileWithoutIdOrWithNonStringNameFails) {
  EXPECT_THROW(parse_drive_files(R"({"files":[{"name":"Inventory"}]})"), Failure);
  EXPECT_THROW(parse_drive_files(R"({"files":[{"id":"a","name":7}]})"), Failure);
}

}  // namespace
}  // namespace kolvo::sheets_v4

namespace kolvo::sheets_v4 {
namespace {

// A cut answer must never read as a shorter registry: every proper prefix fails.
TEST(ParseValuesTest, EveryTruncationOfAnAnswerFails) {
  const std::string json =
      R"({"range":"'Registry'!A1:Z1000","majorDimension":"ROWS","values":[["serialnumber","name"],["S1","a \"b\""],["S2","c"]]})";
  ASSERT_EQ(parse_values(json).entries.size(), 2u);
  for (std::size_t length = 0; length < json.size(); ++length) {
    EXPECT_THROW(parse_values(json.substr(0, length)), Failure) << json.substr(0, length);
  }
}

TEST(ParseValuesTest, StreamsTheSameRowsAsItCollects) {
  const std::string json = R"({"values":[["serialnumber","x"],["S1","1"],["S2"],[],["S3"]]})";
  std::string padded = json + std::string(kJsonPadding, '\0');
  std::vector<std::string> seen;
  parse_values_padded(std::string_view(padded.data(), json.size()), [&](const FeedEntry& row) {
    seen.push_back(row.elements[0].value + "=" + row.elements[1].value);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"S1=1", "S2=", "S3="}));
}

// The streaming parser checks only what it reads. Each of these answers is malformed only where
// the rows are not read from, or only after the end of the root object; each must still fail,
// as it did when the whole answer was parsed as a tree, and not give its rows.
TEST(ParseValuesTest, AnswersThatAreNotJsonOutsideTheRowsFail) {
  const std::string rows = R"("values":[["serialnumber"],["S1"]])";
  for (const std::string& json : {
           "{" + rows + "}{\"values\":[]}",      // a second document after the first
           "{" + rows + "} x",                   // garbage after the root object
           R"({"range":tru,)" + rows + "}",      // a broken literal in another member
           R"({"range":-,)" + rows + "}",        // a broken number
           R"({"range":{"a" 1},)" + rows + "}",  // a member without its colon
           R"({"range":[1,,2],)" + rows + "}",   // an empty array element
           "{" + rows + R"(,"range":nul})",      // after the rows
           "{" + rows + R"(,"values":[1,,]})",   // a second "values", never used
       }) {
    EXPECT_THROW(parse_values(json), Failure) << json;
  }
}

// A cell taken straight from the answer's text must still be read: one left unread was passed
// over by nesting depth alone, and the malformed text after it in the row with it.
TEST(ParseValuesTest, MalformedTextAfterAPlainCellFails) {
  for (const std::string json : {R"({"values":[["":]]]})", R"({"values":[["a":1]]]})",
                                 R"({"values":[["serialnumber"],["S1":"x","y"]]]})"}) {
    EXPECT_THROW(parse_values(json), Failure) << json;
  }
}

// Rows read as the answer arrives, a batch at a time, must be the rows of the whole answer,
// wherever the batches and the pieces fall; and an answer the whole parse refuses must fail.
TEST(ValuesStreamTest, GivesWhatTheWholeAnswerGives) {
  std::string long_rows = R"([["serialnumber","name","note"])";
  for (int i = 0; i < 300; ++i) {
    long_rows += R"(,["S)" + std::to_string(i) + R"(","\u0416\u00e9 \"x\"","a,b]"])";
  }
  long_rows += "]";
  const std::string answers[] = {
      R"({"range":"'Registry'!A1:Z1000","majorDimension":"ROWS","values":)" + long_rows + "}",
      "{\n  \"values\": " + long_rows + ",\n  \"range\": \"x\"\n}",
      R"({"values":[["serialnumber","x"],["S1","1"],["S2"],[],["S3"]]})",
      R"({"values":[["serialnumber",""],["S1","1","2","3"],["S2"],["S3","","","","4"],["S4"]]})",
      R"({"values":[["serialnumber"],["S1"],[""],["S2"]],"values":[["nope"]]})",
      R"({"values":[]})",
      R"({"range":"x"})",
      R"({"val\u0075es":[["serialnumber"],["S1"]],"values":[["serialnumber"],["S2"]]})",
      // Each of these fails, some of them only after rows went by.
      R"({"values":[["serialnumber"],["S1"],]})",
      R"({"values":[["serialnumber"],["S1"],,["S2"]]})",
      R"({"values":[["serialnumber"],["S1"]["S2"]]})",
      R"({"values":[["serialnumber"],["S1"],["S2",1]]})",
      R"({"values":[["serialnumber"],["S1"]],"range":tru})",
      R"({"values":[["serialnumber"],["S1"]]}{})",
      R"({"values":[["serialnumber"],["S1"]])",
      R"({"values":[["serialnumber"],["S1"]}})",
      "{\"values\":[[\"serialnumber\"],[\"S\xff\"]]}",
      R"({"values":"x","values":[["serialnumber"],["S1"]]})",
  };
  const auto rows_of = [](const Feed& feed) {
    std::vector<std::string> rows;
    for (const FeedEntry& entry : feed.entries) {
      std::string row;
      for (const ListElement& element : entry.elements) {
        row += element.local_name + "=" + element.value + ";";
      }
      rows.push_back(row);
    }
    return rows;
  };
  for (const std::string& json : answers) {
    std::optional<std::vector<std::string>> whole;
    try {
      whole = rows_of(parse_values(json));
    } catch (const Failure&) {
    }
    for (const std::size_t batch : {std::size_t{1}, std::size_t{100}, ValuesStream::kBatchBytes}) {
      for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, json.size()}) {
        Feed streamed;
        bool failed = false;
        try {
          ValuesStream stream([&](const FeedEntry& row) { streamed.entries.push_back(row); },
                              batch);
          for (std::size_t at = 0; at < json.size(); at += piece) {
            stream.append(std::string_view(json).substr(at, piece));
          }
          stream.finish();
        } catch (const Failure&) {
          failed = true;
        }
        const std::string where = json.substr(0, 60) + ", batches of " + std::to_string(batch) +
                                  ", pieces of " + std::to_string(piece);
        ASSERT_EQ(failed, !whole.has_value()) << where;
        if (whole) {
          EXPECT_EQ(rows_of(streamed), *whole) << where;
        }
      }
    }
  }
}

// Answers arrive through JsonBody, which drops the blanks between tokens: a blank inside what
// would otherwise be one token must still make the answer fail.
TEST(ParseValuesTest, BlanksThatSplitATokenStillFailAfterCollecting) {
  for (const std::string json : {R"({"values":[["serialnumber"],["S1"]],"range":tr ue})",
                                 R"({"range":1 2,"values":[["serialnumber"],["S1"]]})",
                                 R"({"values":[["serialnumber"],["S1"]],"n":[nu ll]})"}) {
    JsonBody body;
    body.append(json);
    const std::string_view text = body.text(kJsonPadding);
    EXPECT_THROW(parse_values_padded(text, [](const FeedEntry&) {}), Failure) << json;
  }
}

}  // namespace
}  // namespace kolvo::sheets_v4
