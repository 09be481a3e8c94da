#include "platform/failure/failure.h"
#include "platform/feeds/gdata/gdata.h"

namespace kolvo::gdata {

GDataService::GDataService(const std::string& spreadsheets_feed_uri, HttpClient& http)
    : spreadsheets_feed_uri_(spreadsheets_feed_uri), requests_({spreadsheets_feed_uri}, http) {}

std::vector<std::string> GDataService::scopes() const { return {kFeedsScope}; }

Feed GDataService::spreadsheets(const SpreadsheetQuery&) {
  // The feed lists every spreadsheet the account can see; the caller picks by title.
  return fetch(spreadsheets_feed_uri_, {});
}

Feed GDataService::worksheets(const FeedEntry& spreadsheet) {
  const FeedLink* link = spreadsheet.find_link(kWorksheetsFeedRel);
  if (link == nullptr) throw Failure("the spreadsheet has no worksheets link");
  return fetch(link->href, {});
}

void GDataService::rows(const ListQuery& query, const EntrySink& each_row) {
  fetch(query.uri, each_row);
}

// The feed is parsed while it arrives, so the body is never held whole.
Feed GDataService::fetch(const std::string& uri, const EntrySink& each_entry) {
  AtomFeedParser parser(each_entry);
  requests_.get(uri, request_factory().headers(),
                [&](std::string_view bytes) { parser.parse(bytes); });
  return parser.finish();
}

}  // namespace kolvo::gdata
