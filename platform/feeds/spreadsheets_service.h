// The spreadsheet service as the registry client sees it: one interface, one implementation per
// wire format, and the one function that picks the implementation this build speaks.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/feeds/feed.h"
#include "platform/http/http.h"

namespace kolvo {

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

// A query of the service's spreadsheets. A format that cannot list every spreadsheet may narrow
// the listing to this title, loosely: the caller still matches titles exactly.
struct SpreadsheetQuery {
  std::string title;
};

// A query of one worksheet's list feed, on that address alone.
struct ListQuery {
  explicit ListQuery(std::string uri) : uri(std::move(uri)) {}
  std::string uri;
};

// The spreadsheets service. Its request factory's headers go with every query. Each query makes
// exactly one request and throws Failure, whose message starts with the step: "spreadsheets
// query: ", "worksheets query: " or "list query: ".
class SpreadsheetsService {
 public:
  virtual ~SpreadsheetsService() = default;

  // The OAuth scopes this service's requests need.
  virtual std::vector<std::string> scopes() const = 0;
  // The addresses its requests go to, in the order it first asks them: none of them is sent
  // anything before the first query.
  virtual std::vector<std::string> service_uris() const { return {}; }

  void set_request_factory(GDataRequestFactory factory);

  Feed query(const SpreadsheetQuery& query);
  // The worksheets feed of an entry of the spreadsheets feed.
  Feed query_worksheets(const FeedEntry& spreadsheet);
  // The rows of a list feed, each handed to each_row as it is read and not kept. A failure can
  // come after some rows were handed over: the caller must discard them.
  void query(const ListQuery& query, const EntrySink& each_row);
  // The same rows, collected.
  Feed query(const ListQuery& query);

 protected:
  const GDataRequestFactory& request_factory() const { return request_factory_; }

 private:
  virtual Feed spreadsheets(const SpreadsheetQuery& query) = 0;
  virtual Feed worksheets(const FeedEntry& spreadsheet) = 0;
  virtual void rows(const ListQuery& query, const EntrySink& each_row) = 0;

  GDataRequestFactory request_factory_;
};

// Where the service answers. Each format uses the addresses it speaks to and ignores the rest.
struct ServiceEndpoints {
  std::string spreadsheets_feed_uri;  // gdata: the spreadsheets feed
  std::string drive_files_uri;        // sheets-v4: finds a spreadsheet by its title
  std::string sheets_uri;             // sheets-v4: a spreadsheet's sheets and values
};

// The service for the wire format of that name ("gdata", "sheets-v4"): the one place that
// chooses between them. A spreadsheet ID, where given, names the one spreadsheet the service
// reads instead of searching for it by title (sheets-v4 only). Sends nothing. Throws Failure for
// another name, an address that is not https, or an ID the format cannot use.
std::unique_ptr<SpreadsheetsService> make_spreadsheets_service(std::string_view format,
                                                               const ServiceEndpoints& endpoints,
                                                               const std::string& spreadsheet_id,
                                                               HttpClient& http);

}  // namespace kolvo
