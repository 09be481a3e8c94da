#include "platform/feeds/sheets_v4/sheets_v4.h"

namespace kolvo::sheets_v4 {

SheetsV4Service::SheetsV4Service(const std::string& drive_files_uri, const std::string& sheets_uri,
                                 HttpClient& http)
    : drive_files_uri_(drive_files_uri),
      sheets_uri_(sheets_uri),
      requests_({drive_files_uri, sheets_uri}, http) {}

std::vector<std::string> SheetsV4Service::scopes() const {
  return {kSpreadsheetsReadonlyScope, kDriveMetadataReadonlyScope};
}

Feed SheetsV4Service::spreadsheets(const SpreadsheetQuery& query) {
  JsonBody body;
  fetch(drive_files_uri(drive_files_uri_, query.title), body);
  return parse_drive_files(body.text(0));
}

Feed SheetsV4Service::worksheets(const FeedEntry& spreadsheet) {
  JsonBody body;
  fetch(sheet_properties_uri(sheets_uri_, spreadsheet.id), body);
  return parse_sheet_properties(body.text(0), sheets_uri_, spreadsheet.id);
}

// The values answer is read as it arrives, a batch of rows at a time.
void SheetsV4Service::rows(const ListQuery& query, const EntrySink& each_row) {
  ValuesStream values(each_row);
  requests_.get(query.uri, request_factory().headers(),
                [&](std::string_view bytes) { values.append(bytes); });
  values.finish();
}

void SheetsV4Service::fetch(const std::string& uri, JsonBody& body) {
  requests_.get(uri, request_factory().headers(),
                [&](std::string_view bytes) { body.append(bytes); });
}

}  // namespace kolvo::sheets_v4
