// A spreadsheets service held in memory, for testing what the registry does with the feeds
// without a network: the finders, the walk from spreadsheet to rows, and the records.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/failure/failure.h"
#include "platform/feeds/spreadsheets_service.h"

namespace testing_support {

struct MemoryWorksheet {
  std::optional<std::string> title;
  std::vector<kolvo::FeedEntry> rows;
  bool has_list_link = true;
};

struct MemorySpreadsheet {
  std::optional<std::string> title;
  std::vector<MemoryWorksheet> worksheets;
};

// A row whose cells are these (local name, value) pairs.
inline kolvo::FeedEntry memory_row(std::vector<kolvo::ListElement> cells) {
  kolvo::FeedEntry row;
  row.elements = std::move(cells);
  return row;
}

// Answers the spreadsheets query with every spreadsheet, in order (the service leaves matching
// titles to the caller), each spreadsheet's worksheets by its id, and a worksheet's rows by the
// list-feed link it gives. Logs each query, so a test can see that each feed was asked once.
class MemorySpreadsheetsService final : public kolvo::SpreadsheetsService {
 public:
  explicit MemorySpreadsheetsService(std::vector<MemorySpreadsheet> spreadsheets)
      : spreadsheets_(std::move(spreadsheets)) {}

  std::vector<std::string> scopes() const override { return {"memory"}; }

  // The rows query fails with this message after handing over this many rows.
  void fail_rows_after(std::size_t rows, std::string message) {
    fail_after_ = rows;
    failure_ = std::move(message);
  }

  // "spreadsheets", "worksheets <id>" and "rows <uri>", in the order asked.
  const std::vector<std::string>& queries() const { return queries_; }

 private:
  kolvo::Feed spreadsheets(const kolvo::SpreadsheetQuery&) override {
    queries_.push_back("spreadsheets");
    kolvo::Feed feed;
    for (std::size_t s = 0; s < spreadsheets_.size(); ++s) {
      kolvo::FeedEntry& entry = feed.entries.emplace_back();
      entry.title = spreadsheets_[s].title;
      entry.id = std::to_string(s);
    }
    return feed;
  }

  kolvo::Feed worksheets(const kolvo::FeedEntry& spreadsheet) override {
    queries_.push_back("worksheets " + spreadsheet.id);
    kolvo::Feed feed;
    const MemorySpreadsheet& owner = spreadsheets_.at(std::stoul(spreadsheet.id));
    for (std::size_t w = 0; w < owner.worksheets.size(); ++w) {
      kolvo::FeedEntry& entry = feed.entries.emplace_back();
      entry.title = owner.worksheets[w].title;
      if (owner.worksheets[w].has_list_link) {
        entry.links.push_back(
            {kolvo::kListFeedRel, "memory:" + spreadsheet.id + "/" + std::to_string(w)});
      }
    }
    return feed;
  }

  void rows(const kolvo::ListQuery& query, const kolvo::EntrySink& each_row) override {
    queries_.push_back("rows " + query.uri);
    const std::size_t slash = query.uri.find('/');
    const MemorySpreadsheet& owner = spreadsheets_.at(std::stoul(query.uri.substr(7, slash - 7)));
    const MemoryWorksheet& worksheet = owner.worksheets.at(std::stoul(query.uri.substr(slash + 1)));
    for (std::size_t r = 0; r < worksheet.rows.size(); ++r) {
      if (fail_after_ && r == *fail_after_) throw kolvo::Failure(failure_);
      each_row(worksheet.rows[r]);
    }
    if (fail_after_ && worksheet.rows.size() == *fail_after_) throw kolvo::Failure(failure_);
  }

  std::vector<MemorySpreadsheet> spreadsheets_;
  std::vector<std::string> queries_;
  std::optional<std::size_t> fail_after_;
  std::string failure_;
};

}  // namespace testing_support
