#include "registry/registry.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/auth/auth.h"
#include "platform/certificate/certificate.h"
#include "platform/failure/failure.h"
#include "platform/feeds/google_error.h"
#include "platform/feeds/spreadsheets_service.h"
#include "platform/text/text.h"

namespace kolvo {
namespace {

const FeedEntry* find_by_title(const Feed& feed, std::string_view title) {
  for (const FeedEntry& entry : feed.entries) {
    if (!entry.title) throw Failure("an entry has no title");
    if (*entry.title == title) return &entry;
  }
  return nullptr;
}

HttpOptions http_options(const RegistryClientConfig& config) {
  HttpOptions http;
  http.ca_bundle = config.ca_bundle;
  http.connect_timeout_seconds = config.connect_timeout_seconds;
  http.stall_timeout_seconds = config.stall_timeout_seconds;
  http.request_timeout_seconds = config.request_timeout_seconds;
  http.run_timeout_seconds = config.run_timeout_seconds;
  http.max_body_bytes = config.max_body_bytes;
  http.retries = config.retries;
  // Drive refuses a burst of requests with a 403 that names a rate limit, not with a 429.
  http.also_retry = [](long status, std::string_view body) {
    return status == 403 && is_rate_limited(parse_google_error(body));
  };
  http.retry_clock = config.retry_clock;
  return http;
}

}  // namespace

const FeedEntry* find_spread_sheet(const Feed& feed, std::string_view spread_sheet_name) {
  try {
    return find_by_title(feed, spread_sheet_name);
  } catch (const Failure& failure) {
    throw Failure(std::string("spreadsheet search: ") + failure.what());
  }
}

const FeedEntry* find_work_sheet(const Feed& ws_feed, std::string_view work_sheet_name) {
  try {
    return find_by_title(ws_feed, work_sheet_name);
  } catch (const Failure& failure) {
    throw Failure(std::string("worksheet search: ") + failure.what());
  }
}

RegistryRecord to_record(const FeedEntry& row) {
  RegistryRecord record;
  // Local, not kept per thread for the next row: a thread_local with a destructor crashes
  // at thread exit in the MinGW-w64 runtime that the Windows build links statically. The one
  // allocation a row costs is small beside the rest of the row's work.
  std::vector<PropertyMap::value_type> entries;
  entries.reserve(row.elements.size());
  std::vector<std::string> repaired;
  // Text that is well formed already, as nearly all is, goes in as it stands, with no copy made
  // to check it.
  auto narrow = [&](const std::string& text) -> std::string_view {
    if (is_narrow_as_it_stands(text)) return text;
    if (repaired.empty()) repaired.reserve(2 * row.elements.size());  // views into it stay put
    return repaired.emplace_back(to_narrow(std::string_view(text)));
  };
  for (const ListElement& element : row.elements) {
    if (element.local_name == kSerialNumberColumn) {
      record.serial_number = to_wide(element.value);
    } else {
      entries.emplace_back(narrow(element.local_name), narrow(element.value));
    }
  }
  record.properties.assign(entries);
  return record;
}

RegistryRecordList retrieve_registry(const RegistryClientConfig& config) {
  // One client for every request, so requests to one host share one connection.
  HttpClient http(http_options(config));
  // The service of the wire format this build speaks. It sends nothing before it is queried,
  // but the credential needs to know the scopes its queries need.
  const std::unique_ptr<SpreadsheetsService> service = make_spreadsheets_service(
      config.feed_format,
      ServiceEndpoints{config.spreadsheets_feed_uri, config.drive_files_uri, config.sheets_uri},
      config.spreadsheet_id, http);
  if (config.spreadsheet_title.empty() && config.spreadsheet_id.empty()) {
    throw Failure("configuration: no spreadsheet title and no spreadsheet ID");
  }

  ServiceAccountKey key =
      load_service_account_key(config.certificate_file, config.certificate_password);

  // A JSON key names its account, so the build need not; the credential refuses a key of
  // another account, or for another token endpoint, before anything is sent.
  const std::string account =
      config.service_account.empty() ? key.client_email.value_or("") : config.service_account;
  ServiceAccountCredentialInitializer initializer(account, config.token_uri, http);
  initializer.scopes = service->scopes();
  initializer.from_key(std::move(key));
  ServiceAccountCredential credential(std::move(initializer));

  // The service's hosts are known: their connections open while the token is asked for,
  // instead of one after another when each first request comes. Nothing secret goes with them.
  http.warm_up(service->service_uris(), config.token_uri);
  credential.request_access_token();
  if (!credential.token()) throw Failure("token request: no token was issued");

  GDataRequestFactory request_factory;
  request_factory.add_custom_header(kAuthorizationHeaderPrefix + credential.token()->access_token);
  service->set_request_factory(std::move(request_factory));

  return read_registry(*service, config.spreadsheet_title, account);
}

RegistryRecordList read_registry(SpreadsheetsService& service, const std::string& spreadsheet_title,
                                 const std::string& account) {
  const Feed spreadsheets = service.query(SpreadsheetQuery{spreadsheet_title});
  // A service that reads one spreadsheet by its ID answers with that one alone, and a build
  // that names it so may leave the title empty: then any title will do.
  const FeedEntry* spreadsheet = spreadsheet_title.empty() && spreadsheets.entries.size() == 1
                                     ? &spreadsheets.entries.front()
                                     : find_spread_sheet(spreadsheets, spreadsheet_title);
  if (spreadsheet == nullptr) {
    // The account sees only what is shared with it: the likeliest cause, and the one to name.
    throw Failure(account.empty()
                      ? "spreadsheet search: no spreadsheet is titled \"" + spreadsheet_title + "\""
                      : "spreadsheet search: no spreadsheet titled \"" + spreadsheet_title +
                            "\" is shared with " + account +
                            ": share it with that address (Viewer is enough)");
  }

  const Feed worksheets = service.query_worksheets(*spreadsheet);
  const FeedEntry* worksheet = find_work_sheet(worksheets, kWorksheetTitle);
  if (worksheet == nullptr) {
    throw Failure(std::string("worksheet search: the spreadsheet has no worksheet \"") +
                  kWorksheetTitle + "\"");
  }

  const FeedLink* list_link = worksheet->find_link(kListFeedRel);
  if (list_link == nullptr) throw Failure("list query: the worksheet has no list feed link");
  // Each row becomes a record as it is parsed, so the rows are never all held twice. Should the
  // feed fail part way, the records made so far go with the list, which is never returned.
  RegistryRecordList records;
  service.query(ListQuery(list_link->href),
                [&](const FeedEntry& row) { records.push_back(to_record(row)); });
  return records;
}

}  // namespace kolvo
