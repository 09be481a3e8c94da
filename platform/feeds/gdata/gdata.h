// The spreadsheet service's feeds: a service that queries them with one set of custom
// headers, and the feeds and entries it returns. Two wire formats stand behind the same
// feeds: the GData Atom feeds, parsed as the bytes arrive, and the Sheets v4 / Drive v3
// JSON APIs, mapped onto the same entries and links.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http/http.h"

namespace kolvo {

inline constexpr char kAtomNamespace[] = "http://www.w3.org/2005/Atom";
inline constexpr char kExtendedNamespace[] = "http://schemas.google.com/spreadsheets/2006/extended";
inline constexpr char kWorksheetsFeedRel[] =
    "http://schemas.google.com/spreadsheets/2006#worksheetsfeed";
inline constexpr char kListFeedRel[] = "http://schemas.google.com/spreadsheets/2006#listfeed";

inline constexpr char kFeedsScope[] = "https://spreadsheets.google.com/feeds";

enum class FeedFormat { gdata, sheets_v4 };

// Where the service answers, per format. Only the addresses of the chosen format are used.
struct FeedEndpoints {
  FeedFormat format = FeedFormat::gdata;
  std::string spreadsheets_feed_uri;  // gdata
  std::string drive_files_uri;        // sheets-v4: lists spreadsheets by name
  std::string sheets_uri;             // sheets-v4: sheet metadata and values
};

// The OAuth scopes a format needs. The feeds scope does not allow listing Drive files, so the
// JSON APIs ask for two read-only scopes instead.
std::vector<std::string> feed_scopes(FeedFormat format);

struct FeedLink {
  std::string rel;
  std::string href;
};

// One cell of a list entry: the column's local name and the cell's text.
struct ListElement {
  std::string local_name;
  std::string value;
};

// All text is UTF-8, entities and character references decoded.
struct FeedEntry {
  std::optional<std::string> title;  // nullopt when the entry has no title at all
  std::string id;                    // the service's key for the entry (Drive file id)
  std::vector<FeedLink> links;
  std::vector<ListElement> elements;  // list entries only, in document order

  // The first link with exactly this relation, or nullptr.
  const FeedLink* find_link(std::string_view rel) const;
};

struct Feed {
  std::vector<FeedEntry> entries;
};

// Receives the entries of a feed one at a time, as they are read; the entry is not kept.
using EntrySink = std::function<void(const FeedEntry&)>;

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

// Carries the headers added to every feed request, and the user agent (none when empty).
class GDataRequestFactory {
 public:
  explicit GDataRequestFactory(std::string user_agent = {});
  void add_custom_header(std::string header_line);
  std::vector<std::string> headers() const;

 private:
  std::string user_agent_;
  std::vector<std::string> custom_headers_;
};

// A query of the service's spreadsheets feed. The Atom feed lists every spreadsheet; Drive
// cannot be asked for spreadsheets without a name filter worth the name, so the JSON format
// narrows the listing to title (loosely: the caller still matches titles exactly).
struct SpreadsheetQuery {
  std::string title;
};

// A query of one worksheet's list feed, on that address alone.
struct ListQuery {
  explicit ListQuery(std::string uri) : uri(std::move(uri)) {}
  std::string uri;
};

// The spreadsheets service. Its request factory's headers go with every query, and every
// query goes over one reused connection per host. Because those headers carry the bearer
// token, a request whose origin (scheme, host, port) is not one of the format's configured
// origins is refused before anything is sent: a feed cannot steer the token elsewhere.
class SpreadsheetsService {
 public:
  // Trusts the origins of the format's endpoints, which must be https. Queries go through
  // http, which must outlive the service. Throws Failure.
  SpreadsheetsService(FeedEndpoints endpoints, HttpClient& http);

  void set_request_factory(GDataRequestFactory factory);

  // Each query makes exactly one request. All throw Failure.
  Feed query(const SpreadsheetQuery& query);
  Feed query(const ListQuery& query);
  // The rows of a list feed, each handed to each_row as it is read and not kept. A failure
  // can come after some rows were handed over: the caller must discard them.
  void query(const ListQuery& query, const EntrySink& each_row);
  // The worksheets feed of a spreadsheet entry: the target of its worksheetsfeed link.
  Feed query_worksheets(const FeedEntry& spreadsheet);

 private:
  enum class FeedKind { spreadsheets, worksheets, list };
  Feed fetch(const std::string& uri, FeedKind kind, const std::string& spreadsheet_id = {},
             const EntrySink* each_row = nullptr);

  FeedEndpoints endpoints_;
  std::vector<Origin> trusted_origins_;
  GDataRequestFactory request_factory_;
  HttpClient& http_;
};

}  // namespace kolvo
