#include "platform/failure/failure.h"
#include "platform/feeds/google_error.h"
#include "platform/feeds/sheets_v4/sheets_v4.h"

namespace kolvo::sheets_v4 {
namespace {

constexpr char kDriveApi[] = "Google Drive API (drive.googleapis.com)";
constexpr char kSheetsApi[] = "Google Sheets API (sheets.googleapis.com)";

// Runs a request, saying what to do when the service refuses it because the service account's
// project has not enabled the API; every other failure goes on as it is.
template <typename Request>
void telling_which_api(const char* api, Request&& request) {
  try {
    request();
  } catch (const HttpStatusError& refusal) {
    if (refusal.status() == 403 && is_api_disabled(parse_google_error(refusal.body()))) {
      throw Failure("HTTP 403: the " + std::string(api) +
                    " is not enabled in the service account's project: enable it there");
    }
    throw;
  }
}

}  // namespace

SheetsV4Service::SheetsV4Service(const std::string& drive_files_uri, const std::string& sheets_uri,
                                 std::string spreadsheet_id, HttpClient& http)
    : drive_files_uri_(drive_files_uri),
      sheets_uri_(sheets_uri),
      spreadsheet_id_(std::move(spreadsheet_id)),
      requests_(spreadsheet_id_.empty() ? std::vector<std::string>{drive_files_uri, sheets_uri}
                                        : std::vector<std::string>{sheets_uri},
                http) {}

std::vector<std::string> SheetsV4Service::scopes() const {
  if (!spreadsheet_id_.empty()) return {kSpreadsheetsReadonlyScope};
  return {kSpreadsheetsReadonlyScope, kDriveMetadataReadonlyScope};
}

std::vector<std::string> SheetsV4Service::service_uris() const {
  if (!spreadsheet_id_.empty()) return {sheets_uri_};
  return {drive_files_uri_, sheets_uri_};
}

Feed SheetsV4Service::spreadsheets(const SpreadsheetQuery& query) {
  if (spreadsheet_id_.empty()) return search_drive(query.title);
  // The one spreadsheet named by its ID; its sheets come with its title, and are kept for the
  // worksheets query, which then asks for nothing more.
  JsonBody body;
  fetch(spreadsheet_uri(sheets_uri_, spreadsheet_id_), kSheetsApi, body);
  by_id_ = parse_spreadsheet(body.text(0), sheets_uri_, spreadsheet_id_);
  // A wrong ID must fail rather than print somebody else's sheet.
  if (!query.title.empty() && by_id_->title != query.title) {
    throw Failure("the spreadsheet " + spreadsheet_id_ + " is titled \"" +
                  by_id_->title.value_or("") + "\", not \"" + query.title + "\"");
  }
  Feed feed;
  FeedEntry& entry = feed.entries.emplace_back();
  entry.title = by_id_->title;
  entry.id = spreadsheet_id_;
  return feed;
}

// Drive may answer with an empty or a partial page before the end of the results, so pages are
// followed until one holds a file of exactly that title: the results come oldest first, so later
// pages can only hold spreadsheets created later.
Feed SheetsV4Service::search_drive(const std::string& title) {
  Feed found;
  std::string page_token;
  for (int page = 0; page < kMaxDrivePages; ++page) {
    JsonBody body;
    fetch(drive_files_uri(drive_files_uri_, title, page_token), kDriveApi, body);
    DriveFilesPage answer = parse_drive_files(body.text(0));
    if (answer.incomplete_search) {
      // What was left out could be the spreadsheet, or an older one of the same title.
      throw Failure("Drive searched only some of the drives; name the spreadsheet by its ID");
    }
    bool exact = false;
    for (FeedEntry& file : answer.files.entries) {
      exact = exact || file.title == title;
      found.entries.push_back(std::move(file));
    }
    if (exact || !answer.next_page_token) return found;
    // An empty token would ask for the first page again, round and round.
    if (answer.next_page_token->empty()) throw Failure("Drive gave an empty page token");
    page_token = std::move(*answer.next_page_token);
  }
  throw Failure("Drive gave more than " + std::to_string(kMaxDrivePages) + " pages of results");
}

Feed SheetsV4Service::worksheets(const FeedEntry& spreadsheet) {
  Feed sheets;
  if (by_id_ && spreadsheet.id == spreadsheet_id_) {
    sheets = by_id_->sheets;
  } else {
    JsonBody body;
    fetch(spreadsheet_uri(sheets_uri_, spreadsheet.id), kSheetsApi, body);
    sheets = parse_spreadsheet(body.text(0), sheets_uri_, spreadsheet.id).sheets;
  }
  for (const FeedEntry& sheet : sheets.entries) {
    if (const FeedLink* link = sheet.find_link(kListFeedRel)) {
      sheet_of_values_uri_.emplace(link->href, *sheet.title);
    }
  }
  return sheets;
}

namespace {

// Whether a values answer's range ("Registry!A1:C9", "'Sheet ''1'''!A1:C9") is on that sheet.
bool is_range_of(const std::string& range, const std::string& sheet) {
  const std::size_t bang = range.rfind('!');
  if (bang == std::string::npos) return false;
  std::string quoted = "'";
  for (const char c : sheet) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  quoted += '\'';
  const std::string_view named(range.data(), bang);
  return named == sheet || named == quoted;
}

}  // namespace

// The values answer is read as it arrives, a batch of rows at a time.
void SheetsV4Service::rows(const ListQuery& query, const EntrySink& each_row) {
  ValuesStream values(each_row);
  telling_which_api(kSheetsApi, [&] {
    requests_.get(query.uri, request_factory().headers(),
                  [&](std::string_view bytes) { values.append(bytes); });
  });
  values.finish();
  // The service always names both, an empty sheet too: an answer without them is something
  // else (an error object sent with 200, an empty object), not an empty registry.
  if (values.major_dimension() != "ROWS") {
    throw Failure("sheets-v4: unexpected answer: the values are not by rows");
  }
  const auto sheet = sheet_of_values_uri_.find(query.uri);
  if (!values.range() || (sheet != sheet_of_values_uri_.end() &&
                          !is_range_of(*values.range(), sheet->second))) {
    throw Failure("sheets-v4: unexpected answer: the values are not those of the sheet asked for");
  }
}

void SheetsV4Service::fetch(const std::string& uri, const char* api, JsonBody& body) {
  telling_which_api(api, [&] {
    requests_.get(uri, request_factory().headers(),
                  [&](std::string_view bytes) { body.append(bytes); });
  });
}

}  // namespace kolvo::sheets_v4
