// The Sheets API v4 with the Drive API v3: Drive finds the spreadsheet by its title, Sheets lists
// its sheets and reads one sheet's values. The JSON answers are mapped onto the feeds the
// registry walks: a file is a spreadsheet entry, a sheet a worksheet entry with a list-feed link
// to its values, a row of values a list entry named by the header row.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/feeds/feed.h"
#include "platform/feeds/feed_requests.h"
#include "platform/feeds/sheets_v4/json_body.h"
#include "platform/feeds/spreadsheets_service.h"

namespace kolvo::sheets_v4 {

inline constexpr char kSpreadsheetsReadonlyScope[] =
    "https://www.googleapis.com/auth/spreadsheets.readonly";
inline constexpr char kDriveMetadataReadonlyScope[] =
    "https://www.googleapis.com/auth/drive.metadata.readonly";

// The most Drive answer pages a search follows: with up to 1000 files a page, that is 100 000
// spreadsheets of the one title, far more than any account holds.
inline constexpr int kMaxDrivePages = 100;

// Drive search for spreadsheets named title (quotes and backslashes escaped in the query), in My
// Drive and every shared drive the account can see, oldest first; page_token asks for the page
// after the one that gave it.
std::string drive_files_uri(const std::string& drive_files_base, std::string_view title,
                            std::string_view page_token = {});
// A spreadsheet's title and the titles of its sheets.
std::string spreadsheet_uri(const std::string& sheets_base, std::string_view spreadsheet_id);
// All values of one sheet, by rows; the range is the quoted sheet title.
std::string values_uri(const std::string& sheets_base, std::string_view spreadsheet_id,
                       std::string_view sheet_title);

// Each parser takes a whole JSON body and throws Failure when it is not JSON or not of the
// expected shape. A missing name or title gives an entry without a title.

// One page of a Drive search.
struct DriveFilesPage {
  // One entry per file, with its id. A search can answer with very many files, so no link is
  // built for each: the service asks for a file's sheets by its id.
  Feed files;
  std::optional<std::string> next_page_token;  // more results follow
  bool incomplete_search = false;              // Drive did not search every drive
};
// {"nextPageToken","incompleteSearch","files":[{"id","name"}]}
DriveFilesPage parse_drive_files(std::string_view json);

struct SpreadsheetMetadata {
  std::optional<std::string> title;
  Feed sheets;  // one entry per sheet, linked to its values
};
// {"properties":{"title"},"sheets":[{"properties":{"title"}}]}
SpreadsheetMetadata parse_spreadsheet(std::string_view json, const std::string& sheets_base,
                                      std::string_view spreadsheet_id);
// {"values":[[header...], [row...]...]}: one entry per row that has a cell with text (blank
// rows hold none), its cells named after the header's columns (see column_names). Each entry has one element per
// header column, in column order, empty where the row has no cell, then one for each of the
// row's own cells beyond the header, under positional_column_name.
Feed parse_values(std::string_view json);

// How many readable bytes must follow the text handed to parse_values_padded.
inline constexpr std::size_t kJsonPadding = 64;

// The same rows, each handed to each_row as it is read and not kept, from text followed by
// kJsonPadding readable bytes: a large answer is neither copied nor held as a tree. Throws
// Failure, possibly after some rows were handed over.
void parse_values_padded(std::string_view json, const EntrySink& each_row);

class RowReader;

// A values answer read as it arrives. The rows are parsed a batch at a time while the rest of
// the answer comes in, so a long answer is parsed by the time its last byte is in, and neither
// it nor its parse is ever held whole. Gives the same rows as parse_values_padded on the whole
// answer and fails where it fails; like it, it may fail after some rows were handed over.
class ValuesStream {
 public:
  static constexpr std::size_t kBatchBytes = 64 * 1024;

  explicit ValuesStream(const EntrySink& each_row, std::size_t batch_bytes = kBatchBytes);
  ~ValuesStream();
  ValuesStream(const ValuesStream&) = delete;
  ValuesStream& operator=(const ValuesStream&) = delete;

  void append(std::string_view bytes);
  // Reads the rest, once the whole answer has been appended.
  void finish();
  // The answer's "range" and "majorDimension", after finish(); nullopt when it has none.
  const std::optional<std::string>& range() const;
  const std::optional<std::string>& major_dimension() const;

 private:
  std::unique_ptr<RowReader> reader_;
  JsonBody body_;
};

// The service over the JSON APIs. Requests go only to the origins of the two addresses.
class SheetsV4Service final : public SpreadsheetsService {
 public:
  // With a spreadsheet ID, Drive is never asked: the spreadsheets query reads that spreadsheet's
  // title and sheets. Throws Failure when an address is not https.
  SheetsV4Service(const std::string& drive_files_uri, const std::string& sheets_uri,
                  std::string spreadsheet_id, HttpClient& http);

  // Read-only access to the sheets, and to Drive's file metadata when the spreadsheet is searched
  // for by its title (the feeds scope does not allow searching Drive).
  std::vector<std::string> scopes() const override;
  // Drive is asked only when the spreadsheet is searched for by its title.
  std::vector<std::string> service_uris() const override;

 private:
  Feed spreadsheets(const SpreadsheetQuery& query) override;
  Feed worksheets(const FeedEntry& spreadsheet) override;
  void rows(const ListQuery& query, const EntrySink& each_row) override;
  Feed search_drive(const std::string& title);
  // Collects the whole answer into body, without the blanks between its tokens. The API is
  // named when the service account's project has not enabled it.
  void fetch(const std::string& uri, const char* api, JsonBody& body);

  std::string drive_files_uri_;
  std::string sheets_uri_;
  std::string spreadsheet_id_;
  std::optional<SpreadsheetMetadata> by_id_;  // the named spreadsheet, once read
  std::map<std::string, std::string> sheet_of_values_uri_;  // each link given out, its sheet
  FeedRequests requests_;
};

// The local names a list feed gives header cells, one per cell. A cell keeps its letters (Unicode
// general category Lu, Ll, Lt, Lm, Lo), its decimal digits (Nd) and its combining marks (Mn, Mc,
// part of the letter they follow in many scripts), each lower-cased on its own
// (utf8proc_tolower), and loses every other character; ill-formed UTF-8 counts as U+FFFD, which
// is not kept. A repeated name gets "_2", "_3", ... A cell left with no name (empty, only
// punctuation) gets the column's positional name instead: that starts with "_", which no
// derived name holds, so it is never a repeat nor taken for one.
std::vector<std::string> column_names(const std::vector<std::string>& header);

// The name the list feed gave the column at zero-based index column when its header gave it
// none: "_" and the base-36 digits (0-9, a-z, no leading zeros) of
// 0x1440BDA XOR (column * 0x10001); "_cn6ca" for column A, "_cokwr" for B.
std::string positional_column_name(std::size_t column);

}  // namespace kolvo::sheets_v4
