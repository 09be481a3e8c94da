// Row conversion and title matching, on feeds built in memory.
#include <gtest/gtest.h>

#include "platform/failure/failure.h"
#include "registry/registry.h"

namespace kolvo {
namespace {

FeedEntry row(std::vector<ListElement> elements) {
  FeedEntry entry;
  entry.elements = std::move(elements);
  return entry;
}

TEST(ToRecordTest, SerialNumberIsTakenOutAndTheRestBecomeProperties) {
  const RegistryRecord record = to_record(row({{"serialnumber", "SN\\7"}, {"b", "2"}, {"a", "1"}}));
  EXPECT_EQ(record.serial_number, u"SN\\7");
  EXPECT_EQ(record.properties, (PropertyMap{{"a", "1"}, {"b", "2"}}));
}

TEST(ToRecordTest, LastSerialNumberWinsAndFirstPropertyWins) {
  const RegistryRecord record = to_record(
      row({{"serialnumber", "first"}, {"k", "one"}, {"serialnumber", "last"}, {"k", "two"}}));
  EXPECT_EQ(record.serial_number, u"last");
  EXPECT_EQ(record.properties, (PropertyMap{{"k", "one"}}));
}

TEST(ToRecordTest, ColumnNamedLikeSerialNumberInOtherCaseIsAProperty) {
  const RegistryRecord record = to_record(row({{"SerialNumber", "x"}, {"serialnumber", "y"}}));
  EXPECT_EQ(record.serial_number, u"y");
  EXPECT_EQ(record.properties, (PropertyMap{{"SerialNumber", "x"}}));
}

TEST(ToRecordTest, RowWithoutSerialNumberKeepsItsOtherCells) {
  const RegistryRecord record = to_record(row({{"name", "pump"}}));
  EXPECT_EQ(record.serial_number, u"");
  EXPECT_EQ(record.properties, (PropertyMap{{"name", "pump"}}));
}

TEST(ToRecordTest, RowWithOnlySerialNumberHasNoProperties) {
  const RegistryRecord record = to_record(row({{"serialnumber", "\xF0\x9F\x93\xA6"}}));
  EXPECT_EQ(record.serial_number, u"\U0001F4E6");
  EXPECT_TRUE(record.properties.empty());
}

TEST(ToRecordTest, IllFormedTextBecomesTheDefaultCharacterWithoutFailing) {
  const RegistryRecord record = to_record(row({{"serialnumber", "a\xFF"}, {"k", "b\xC3"}}));
  EXPECT_EQ(record.serial_number, u"a\uFFFD");
  EXPECT_EQ(record.properties.at("k"), "b\xEF\xBF\xBD");
}

Feed titled(std::vector<std::optional<std::string>> titles) {
  Feed feed;
  for (auto& title : titles) feed.entries.emplace_back().title = std::move(title);
  return feed;
}

TEST(FindSheetTest, MatchesExactlyAndTakesTheFirst) {
  const Feed feed = titled({"inventory", "Inventory ", "Inventory", "Inventory"});
  EXPECT_EQ(find_spread_sheet(feed, "Inventory"), &feed.entries[2]);
  EXPECT_EQ(find_work_sheet(feed, "inventory"), &feed.entries[0]);
  EXPECT_EQ(find_work_sheet(feed, "INVENTORY"), nullptr);
  EXPECT_EQ(find_spread_sheet(titled({}), "Inventory"), nullptr);
}

TEST(FindSheetTest, EntryWithoutTitleFailsTheSearchButAnEmptyTitleIsSkipped) {
  const Feed feed = titled({"", "Registry"});
  EXPECT_EQ(find_work_sheet(feed, "Registry"), &feed.entries[1]);
  EXPECT_EQ(find_spread_sheet(feed, ""), &feed.entries[0]);
  EXPECT_THROW(find_work_sheet(titled({std::nullopt, "Registry"}), "Registry"), Failure);
  EXPECT_THROW(find_spread_sheet(titled({"Other", std::nullopt}), "Inventory"), Failure);
}

}  // namespace
}  // namespace kolvo
