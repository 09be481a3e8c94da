#include "platform/feeds/spreadsheets_service.h"

#include "platform/failure/failure.h"
#include "platform/feeds/gdata/gdata.h"
#include "platform/feeds/sheets_v4/sheets_v4.h"

namespace kolvo {
namespace {

// Runs one query, naming its step in whatever it throws.
template <typename Query>
auto in_step(const char* step, Query&& query) -> decltype(query()) {
  try {
    return query();
  } catch (const Failure& failure) {
    throw Failure(std::string(step) + ": " + failure.what());
  }
}

enum class FeedFormat { gdata, sheets_v4 };

FeedFormat parse_feed_format(std::string_view name) {
  if (name == "gdata") return FeedFormat::gdata;
  if (name == "sheets-v4") return FeedFormat::sheets_v4;
  throw Failure("configuration: unknown feed format \"" + std::string(name) + "\"");
}

}  // namespace

GDataRequestFactory::GDataRequestFactory(std::string user_agent)
    : user_agent_(std::move(user_agent)) {}

void GDataRequestFactory::add_custom_header(std::string header_line) {
  custom_headers_.push_back(std::move(header_line));
}

std::vector<std::string> GDataRequestFactory::headers() const {
  std::vector<std::string> all = custom_headers_;
  if (!user_agent_.empty()) all.push_back("User-Agent: " + user_agent_);
  return all;
}

void SpreadsheetsService::set_request_factory(GDataRequestFactory factory) {
  request_factory_ = std::move(factory);
}

Feed SpreadsheetsService::query(const SpreadsheetQuery& query) {
  return in_step("spreadsheets query", [&] { return spreadsheets(query); });
}

Feed SpreadsheetsService::query_worksheets(const FeedEntry& spreadsheet) {
  return in_step("worksheets query", [&] { return worksheets(spreadsheet); });
}

void SpreadsheetsService::query(const ListQuery& query, const EntrySink& each_row) {
  in_step("list query", [&] { rows(query, each_row); });
}

Feed SpreadsheetsService::query(const ListQuery& query) {
  Feed feed;
  this->query(query, [&](const FeedEntry& row) { feed.entries.push_back(row); });
  return feed;
}

std::unique_ptr<SpreadsheetsService> make_spreadsheets_service(std::string_view format,
                                                               const ServiceEndpoints& endpoints,
                                                               const std::string& spreadsheet_id,
                                                               HttpClient& http) {
  switch (parse_feed_format(format)) {
    case FeedFormat::gdata:
      if (!spreadsheet_id.empty()) {
        throw Failure("configuration: a spreadsheet ID needs the sheets-v4 format");
      }
      return std::make_unique<gdata::GDataService>(endpoints.spreadsheets_feed_uri, http);
    case FeedFormat::sheets_v4:
      return std::make_unique<sheets_v4::SheetsV4Service>(
          endpoints.drive_files_uri, endpoints.sheets_uri, spreadsheet_id, http);
  }
  throw Failure("configuration: unknown feed format");
}

}  // namespace kolvo
