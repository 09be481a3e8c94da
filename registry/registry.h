// The registry client: signs in, walks from the spreadsheets feed to the registry
// worksheet's list feed, and turns each row into a RegistryRecord.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/feeds/feed.h"
#include "platform/feeds/spreadsheets_service.h"
#include "registry/registry_record.h"

// kolvo is this program's namespace: everything the program defines lives in it. The names that
// the registry client has always had, and that its callers and readers know it by
// (retrieve_registry, find_spread_sheet, find_work_sheet, X509Certificate2,
// GDataRequestFactory, ...), keep their spelling; everything else is named as this program's own.
namespace kolvo {

inline constexpr char kWorksheetTitle[] = "Registry";
inline constexpr char kSerialNumberColumn[] = "serialnumber";
inline constexpr char kAuthorizationHeaderPrefix[] = "Authorization: Bearer ";

// Everything the client needs to know, fixed when the program is built. The fields have no
// defaults of their own: the program's are in its list of settings (cmake/settings.cmake), and
// whoever fills one by hand gives every limit, as for HttpOptions.
struct RegistryClientConfig {
  std::string certificate_file;  // a bare name opened in the working directory: *.json or PKCS#12
  std::string certificate_password;  // PKCS#12 only
  std::string service_account;       // may be empty with a JSON key, which names its own
  std::string spreadsheet_title;     // may be empty only with a spreadsheet ID
  std::string spreadsheet_id;        // sheets-v4: read this spreadsheet instead of searching Drive
  std::string token_uri;
  std::string feed_format;            // "gdata" or "sheets-v4"
  std::string spreadsheets_feed_uri;  // gdata only
  std::string drive_files_uri;        // sheets-v4 only
  std::string sheets_uri;             // sheets-v4 only
  std::string ca_bundle;              // empty: the system trust store
  long connect_timeout_seconds = 0;
  long stall_timeout_seconds = 0;
  long request_timeout_seconds = 0;
  long run_timeout_seconds = 0;
  std::uint64_t max_body_bytes = 0;
  int retries = 0;  // tries again for a request refused for now, at most kMaxRetries
  // Not a setting: where the waits between tries are spent, the real clock when null.
  RetryClock* retry_clock = nullptr;
};

// Fetches the whole registry or throws Failure; never returns part of it. Signs in, then reads
// the registry through the service of the configured feed format.
RegistryRecordList retrieve_registry(const RegistryClientConfig& config);

// Reads the registry through a service that is ready to be queried: finds the spreadsheet by its
// exact title (an empty title takes the spreadsheets feed's only entry, as a service that reads
// a spreadsheet by its ID gives), its worksheet "Registry", follows that worksheet's list-feed
// link and turns every row into a record. Throws Failure; never returns part of the registry.
// The account that signed in, when given, is named when no spreadsheet has the title.
RegistryRecordList read_registry(SpreadsheetsService& service, const std::string& spreadsheet_title,
                                 const std::string& account = {});

// The first entry, in feed order, whose title equals the wanted one exactly (case-sensitive,
// byte for byte), or nullptr. An entry without a title throws Failure: the feed is not what
// the service sends, and skipping the entry could pick the wrong spreadsheet.
const FeedEntry* find_spread_sheet(const Feed& feed, std::string_view spread_sheet_name);
const FeedEntry* find_work_sheet(const Feed& ws_feed, std::string_view work_sheet_name);

// One list entry as a record: the last "serialnumber" cell is the serial number, and every
// other cell is a property, where the first of two equal names wins.
RegistryRecord to_record(const FeedEntry& row);

}  // namespace kolvo
