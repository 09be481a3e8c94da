// The walk from the spreadsheets feed to the records, against a service held in memory: which
// spreadsheet and worksheet are taken, which feeds are asked for, what comes back or fails.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "memory_spreadsheets_service.h"
#include "platform/failure/failure.h"
#include "registry/registry.h"

namespace kolvo {
namespace {

using testing_support::memory_row;
using testing_support::MemorySpreadsheet;
using testing_support::MemorySpreadsheetsService;
using testing_support::MemoryWorksheet;

MemoryWorksheet registry(std::vector<FeedEntry> rows) { return {"Registry", std::move(rows)}; }

// Each spreadsheet's Registry worksheet holds one row whose serial number is the spreadsheet's
// position, so the records tell which spreadsheet was read.
MemorySpreadsheet marked(std::optional<std::string> title, int mark) {
  return {std::move(title),
          {registry({memory_row({{"serialnumber", "S" + std::to_string(mark)}})})}};
}

struct WalkCase {
  const char* name;
  std::vector<MemorySpreadsheet> spreadsheets;
  std::optional<std::u16string> serial;  // the one record's serial number, or a failure
  std::string failure;                   // the failure's whole message
  std::vector<std::string> queries;
  friend void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }
};

class ReadRegistryWalkTest : public testing::TestWithParam<WalkCase> {};

TEST_P(ReadRegistryWalkTest, TakesTheFirstExactTitleAndAsksEachFeedOnce) {
  const WalkCase& c = GetParam();
  MemorySpreadsheetsService service(c.spreadsheets);
  if (c.serial) {
    EXPECT_EQ(read_registry(service, "Inventory"), (RegistryRecordList{{*c.serial, {}}}));
  } else {
    try {
      read_registry(service, "Inventory");
      ADD_FAILURE() << "no failure";
    } catch (const Failure& failure) {
      EXPECT_STREQ(failure.what(), c.failure.c_str());
    }
  }
  EXPECT_EQ(service.queries(), c.queries);
}

const char kNoSpreadsheet[] = "spreadsheet search: no spreadsheet is titled \"Inventory\"";
const char kNoWorksheet[] = "worksheet search: the spreadsheet has no worksheet \"Registry\"";

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadRegistryWalkTest,
    testing::Values(
        WalkCase{"FirstOfTwoWithTheTitle",
                 {marked("Inventory archive", 0), marked("Inventory", 1), marked("Inventory", 2)},
                 u"S1",
                 "",
                 {"spreadsheets", "worksheets 1", "rows memory:1/0"}},
        WalkCase{"TitleThatDiffersInCase",
                 {marked("inventory", 0), marked("INVENTORY", 1), marked("Inventory ", 2)},
                 std::nullopt,
                 kNoSpreadsheet,
                 {"spreadsheets"}},
        WalkCase{"NoSpreadsheetAtAll", {}, std::nullopt, kNoSpreadsheet, {"spreadsheets"}},
        WalkCase{"UntitledEntryBeforeTheMatch",
                 {marked("Other", 0), marked(std::nullopt, 1), marked("Inventory", 2)},
                 std::nullopt,
                 "spreadsheet search: an entry has no title",
                 {"spreadsheets"}},
        WalkCase{"UntitledEntryAfterTheMatchIsNeverLookedAt",
                 {marked("", 0), marked("Inventory", 1), marked(std::nullopt, 2)},
                 u"S1",
                 "",
                 {"spreadsheets", "worksheets 1", "rows memory:1/0"}},
        WalkCase{"WorksheetTitledInLowerCase",
                 {{"Inventory", {{"registry", {memory_row({{"serialnumber", "x"}})}}}}},
                 std::nullopt,
                 kNoWorksheet,
                 {"spreadsheets", "worksheets 0"}},
        WalkCase{"UntitledWorksheetBeforeRegistry",
                 {{"Inventory", {MemoryWorksheet{std::nullopt, {}}, registry({})}}},
                 std::nullopt,
                 "worksheet search: an entry has no title",
                 {"spreadsheets", "worksheets 0"}},
        WalkCase{"SecondWorksheetIsTheRegistry",
                 {{"Inventory",
                   {{"Summary", {memory_row({{"serialnumber", "no"}})}},
                    registry({memory_row({{"serialnumber", "yes"}})}),
                    registry({memory_row({{"serialnumber", "later"}})})}}},
                 u"yes",
                 "",
                 {"spreadsheets", "worksheets 0", "rows memory:0/1"}},
        WalkCase{"RegistryWithoutListLink",
                 {{"Inventory", {{"Registry", {memory_row({{"serialnumber", "x"}})}, false}}}},
                 std::nullopt,
                 "list query: the worksheet has no list feed link",
                 {"spreadsheets", "worksheets 0"}}),
    [](const testing::TestParamInfo<WalkCase>& info) { return info.param.name; });

std::vector<FeedEntry> numbered_rows(std::size_t count) {
  std::vector<FeedEntry> rows;
  for (std::size_t i = 0; i < count; ++i) {
    rows.push_back(memory_row({{"name", std::string(i % 5, 'n')},
                               {"serialnumber", "SN-" + std::to_string(i)},
                               {"a", std::to_string(i)}}));
  }
  return rows;
}

// Rows become records in batches, partly on another thread: around and across batch sizes the
// records must still come back whole and in row order.
TEST(ReadRegistryTest, EveryRowComesBackAsARecordInOrder) {
  for (const std::size_t count : {0, 1, 255, 256, 257, 1024, 5000}) {
    MemorySpreadsheetsService service({{"Inventory", {registry(numbered_rows(count))}}});
    const RegistryRecordList list = read_registry(service, "Inventory");
    ASSERT_EQ(list.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string serial = "SN-" + std::to_string(i);
      ASSERT_EQ(list[i],
                (RegistryRecord{std::u16string(serial.begin(), serial.end()),
                                {{"a", std::to_string(i)}, {"name", std::string(i % 5, 'n')}}}))
          << count << " rows, record " << i;
    }
  }
}

// However many rows were read before the list feed fails, none of them is returned.
TEST(ReadRegistryTest, FailureAfterSomeRowsGivesNoRecords) {
  for (const std::size_t before : {0, 1, 300, 2000}) {
    MemorySpreadsheetsService service({{"Inventory", {registry(numbered_rows(2500))}}});
    service.fail_rows_after(before, "connection reset");
    try {
      read_registry(service, "Inventory");
      ADD_FAILURE() << "no failure after " << before << " rows";
    } catch (const Failure& failure) {
      EXPECT_STREQ(failure.what(), "list query: connection reset");
    }
  }
}

}  // namespace
}  // namespace kolvo
