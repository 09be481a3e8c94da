// The GData Atom feeds: the spreadsheets feed, each spreadsheet's worksheets feed and each
// worksheet's list feed, parsed as the bytes arrive.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/feeds/feed.h"
#include "platform/feeds/feed_requests.h"
#include "platform/feeds/spreadsheets_service.h"

namespace kolvo::gdata {

inline constexpr char kAtomNamespace[] = "http://www.w3.org/2005/Atom";
inline constexpr char kExtendedNamespace[] = "http://schemas.google.com/spreadsheets/2006/extended";
inline constexpr char kWorksheetsFeedRel[] =
    "http://schemas.google.com/spreadsheets/2006#worksheetsfeed";
inline constexpr char kFeedsScope[] = "https://spreadsheets.google.com/feeds";

// Parses one Atom feed from pieces of its bytes, so the body never has to be held whole.
// Prefixes are resolved from the namespace declarations in scope. A DOCTYPE is refused, so
// no entity is ever declared, loaded or expanded. Throws Failure on malformed XML, a root
// that is not an Atom feed, or a DOCTYPE.
class AtomFeedParser {
 public:
  // With each_entry set, every entry is handed to it as soon as it ends, and finish()
  // returns a feed without entries; a throw from each_entry ends the parse and is rethrown.
  explicit AtomFeedParser(EntrySink each_entry = {});
  ~AtomFeedParser();
  AtomFeedParser(const AtomFeedParser&) = delete;
  AtomFeedParser& operator=(const AtomFeedParser&) = delete;

  void parse(std::string_view bytes);
  Feed finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

Feed parse_atom_feed(std::string_view document);

// The service over the Atom feeds: it starts at the spreadsheets feed and follows the feeds'
// own links, each only to the spreadsheets feed's origin.
class GDataService final : public SpreadsheetsService {
 public:
  // Throws Failure when the address is not https.
  GDataService(const std::string& spreadsheets_feed_uri, HttpClient& http);

  // The one scope of the feeds.
  std::vector<std::string> scopes() const override;
  std::vector<std::string> service_uris() const override { return {spreadsheets_feed_uri_}; }

 private:
  Feed spreadsheets(const SpreadsheetQuery& query) override;
  Feed worksheets(const FeedEntry& spreadsheet) override;
  void rows(const ListQuery& query, const EntrySink& each_row) override;
  Feed fetch(const std::string& uri, const EntrySink& each_entry);

  std::string spreadsheets_feed_uri_;
  FeedRequests requests_;
};

}  // namespace kolvo::gdata
