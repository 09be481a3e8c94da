// A loopback HTTPS stand-in for the spreadsheet service: the OAuth2 token endpoint (JWT bearer
// grant), the GData Atom feeds for spreadsheets, worksheets and list rows, and the JSON APIs that
// replaced them (the Drive v3 file search and Sheets v4 metadata and values). Both wire formats
// render the same Model, so one test scenario serves either. Tests drive the program against it
// and then inspect what it sent.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fake {

// The sheet contents, independent of how they are put on the wire.
struct Worksheet {
  std::string title;
  std::vector<std::string> header;             // header cells, as typed in the sheet
  std::vector<std::vector<std::string>> rows;  // data rows; may be ragged (missing cells = empty)
  bool has_list_link = true;  // false: the worksheet entry carries no listfeed link
};

struct Spreadsheet {
  std::optional<std::string> title;  // nullopt: the entry has no <title> element at all
  std::string id;                    // URL-safe key, e.g. "key1"
  std::vector<Worksheet> worksheets;
  // In a shared drive rather than shared with the account directly: Drive lists it only to a
  // search over all drives (see FakeService); the feeds and Sheets serve it like any other.
  bool in_shared_drive = false;
};

// Spreadsheets in creation order: every listing, and Drive's "createdTime" order, follows it.
struct Model {
  std::vector<Spreadsheet> spreadsheets;
};

// When served, "{{base}}" anywhere in body is replaced by base_url() and "{{port}}" by port().
// An empty content_type sends no Content-Type header at all. The default suits the feeds; a canned
// answer for a Drive or Sheets path should set content_type explicitly (the live APIs send
// "application/json; charset=UTF-8"). Canned bodies are sent as given, never gzipped by the fake.
struct CannedResponse {
  int status = 200;
  std::string content_type = "application/atom+xml; charset=UTF-8";
  std::string body;
  // Sent as given after the fake's own headers, e.g. {"Retry-After", "3"}; not for Content-Type
  // or Content-Length, which the fake sets itself.
  std::vector<std::pair<std::string, std::string>> headers = {};
};

struct Scenario {
  Model model;
  // Key: request path without query, exactly as sent (not percent-decoded), e.g. "/token",
  // "/feeds/spreadsheets/private/full", "/drive/v3/files" or
  // "/v4/spreadsheets/inv/values/%27Registry%27".
  // Replaces the generated answer for that path, whatever the method and query. The bearer check
  // still applies to every path except "/token". A 200 override of "/token" whose JSON body has a
  // string "access_token" makes that token acceptable as a bearer token.
  std::map<std::string, CannedResponse> overrides;
  // Answers served in turn, keyed like overrides: the first request to the path that passes the
  // bearer check gets scripted[path][0], the next one [1], and so on; once the script is used up
  // the path answers as it otherwise would (its override, else the model). A request refused by the
  // bearer check uses up nothing. A scripted "/token" answer issues its access_token as an
  // override does.
  std::map<std::string, std::vector<CannedResponse>> scripted = {};
  // How Drive cuts the search result into pages: the first page holds drive_pages[0] matching
  // files, the next drive_pages[1], and so on (0: an empty page that still leads on); one more
  // page, the last, holds whatever remains. Empty: pages of pageSize files. A page planned bigger
  // than the request's pageSize goes out as several pages of at most pageSize files.
  std::vector<std::size_t> drive_pages = {};
  // Whether Drive says it could not search every corpus ("incompleteSearch": true on every page).
  bool drive_incomplete_search = false;
  // Hosts (as in ServiceOptions::hosts) on which a `HEAD /` that would get its 404 gets its
  // connection closed without a byte of answer instead, as by a front end that drops it; recorded
  // with status 0. A refused HEAD still gets its 400.
  std::set<std::string> hang_up_head = {};
};

struct RecordedRequest {
  std::string method;
  std::string path;   // as sent, not percent-decoded
  std::string query;  // as sent, without the '?'; empty when there was none
  // Names as sent; sorted by name (case-insensitively), repeats of one name in the order sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  int status = 0;       // status the fake answered with; 0 when it hung up without one
  int remote_port = 0;  // the client's port: equal ports mean one reused connection
  std::string host;     // the local address it came to, one of ServiceOptions::hosts
};

struct PkiPaths {
  std::string dir;  // files as made by tests/pki/make_test_pki.sh
};

// JWT scope claims: the feeds need the one scope; the JSON APIs need read access to the sheets and
// to Drive file metadata (to search by title), space-separated in this order.
inline constexpr char kFeedsScope[] = "https://spreadsheets.google.com/feeds";
inline constexpr char kSheetsV4Scopes[] =
    "https://www.googleapis.com/auth/spreadsheets.readonly "
    "https://www.googleapis.com/auth/drive.metadata.readonly";

struct ServiceOptions {
  std::string pki_dir;
  int port = 0;  // 0 = ephemeral
  // Loopback addresses listened on, all on the one port, all serving the same model and scenario;
  // the first one is base_url()'s. The server certificate names 127.0.0.1 to 127.0.0.3.
  std::vector<std::string> hosts = {"127.0.0.1"};
  std::string cert_name = "server";  // serves <cert_name>.pem/.key from pki_dir
  // For a fake behind a proxy: the origin the client really talks to, e.g.
  // "https://127.0.0.1:18443". The links in the answers, "{{base}}" in canned bodies, the token
  // audience the assertion must name and base_url() then all use it. Empty: the fake's own.
  std::string public_base_url;
  std::string service_account = "registry-reader@registry-project.iam.gserviceaccount.com";
  // The exact expected JWT scope claim. It only decides which tokens get issued: every issued
  // token is accepted by the feeds and the JSON APIs alike.
  std::string scope = kFeedsScope;
  // Called on a server thread after each request has been recorded, before the answer is sent.
  std::function<void(const RecordedRequest&)> on_request;
};

// What the JSON APIs accept and answer (all GET, all behind the bearer check; query values are
// percent-decoded with '+' kept as a literal plus; an unknown, missing or repeated parameter is a
// 400 INVALID_ARGUMENT, with the message "Invalid Value" unless said otherwise):
//   /drive/v3/files, the file search, takes these parameters in any order:
//     q (required), exactly
//       mimeType='application/vnd.google-apps.spreadsheet' and name = '<title>' and trashed = false
//       (\' and \\ escape a quote and a backslash in the title);
//     fields (required), a comma-separated list of files(id,name) (required), nextPageToken and
//       incompleteSearch, each at most once, in any order and without spaces, e.g. files(id,name)
//       or nextPageToken,incompleteSearch,files(id,name);
//     pageSize, 1 to 1000 (default 100): no page holds more files;
//     orderBy, a comma-separated list of createdTime, folder, modifiedByMeTime, modifiedTime,
//       name, name_natural, quotaBytesUsed, recency, sharedWithMeTime, starred and
//       viewedByMeTime, each optionally followed by " desc". Every spreadsheet of the model was
//       created in model order and nothing else tells them apart, so every ordering lists them in
//       model order: right for createdTime, a simplification for the rest;
//     corpora, user (the default) or allDrives; drive is refused for want of a driveId
//       ("The driveId parameter must be specified if and only if corpora is set to drive.");
//       allDrives without includeItemsFromAllDrives=true is refused with "The
//       includeItemsFromAllDrives parameter must be set to true when driveId is specified or
//       corpora contains drive or allDrives.";
//     includeItemsFromAllDrives and supportsAllDrives, true or false (default false);
//     pageToken, a nextPageToken of an earlier page of the same search (same q, corpora, orderBy
//       and both flags; fields and pageSize may change) under the same scenario.
//   It lists, in model order, every spreadsheet whose title equals <title> ignoring ASCII case,
//   plus every untitled one (listed without a "name" member), leaving out those in a shared drive
//   unless corpora=allDrives, includeItemsFromAllDrives=true and supportsAllDrives=true are all
//   sent. The pages are cut as Scenario::drive_pages says, whether or not nextPageToken is asked
//   for; a page with another after it carries "nextPageToken" when the mask asks for it: an
//   opaque random token, the same one whenever the same page of the same search is asked for
//   again. "incompleteSearch" (Scenario::drive_incomplete_search) is there when asked for. Members
//   come in this order: {"nextPageToken":"...","incompleteSearch":false,"files":[{"id":"...",
//   "name":"..."}]}. An unknown token, or one of another search, is a 400.
//   /v4/spreadsheets/<id>?fields=sheets.properties(sheetId,title,index) lists the worksheets;
//     sheetId is 1000 + index. With fields=properties.title,sheets.properties(sheetId,title,index)
//     the answer starts with "properties":{"title":"<the spreadsheet's title>"} (left out for an
//     untitled spreadsheet). Any other mask is a 400. Spreadsheets in a shared drive are served
//     like any other.
//   /v4/spreadsheets/<id>/values/<range>?majorDimension=ROWS, <range> one percent-encoded path
//     segment holding the worksheet title in single quotes, embedded quotes doubled, returns the
//     header row and then every data row, blank ones included, each without its trailing empty
//     cells; trailing empty rows are left out, and so is "values" when nothing is left.
// An unknown spreadsheet id is a 404 NOT_FOUND, an unknown worksheet a 400. JSON answers are
// gzipped when the client accepts gzip, as the live service does; canned ones never are.
// HEAD is answered before anything else (overrides and scripts included), on every host alike:
// exactly `HEAD /` (no query, no body) without an Authorization header gets the 404 with no body
// that Google's API front ends give their root; a HEAD of any other target, or one that carries
// Authorization, is a 400. Scenario::hang_up_head makes a host drop a `HEAD /` instead.
class FakeService {
 public:
  explicit FakeService(ServiceOptions options);
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  void start();  // throws std::runtime_error if it cannot listen (or is already listening)
  // Idempotent; joins the server thread. Takes up to 2 s if a client still holds an idle
  // keep-alive connection open.
  void stop();

  int port() const;                           // 0 before start()
  std::string base_url() const;               // "https://<hosts[0]>:<port>", or public_base_url
  std::string token_uri() const;              // base_url() + "/token"
  std::string spreadsheets_feed_uri() const;  // base_url() + "/feeds/spreadsheets/private/full"
  std::string drive_files_uri() const;        // base_url() + "/drive/v3/files"
  std::string sheets_uri() const;             // base_url() + "/v4/spreadsheets"

  void set_scenario(Scenario scenario);  // thread-safe swap; answers are re-rendered lazily
  std::vector<RecordedRequest> requests() const;
  // TCP connections accepted per host since start() or the last clear_requests(), counted when
  // accepted, whether or not a request follows; every host of ServiceOptions::hosts is a key.
  std::map<std::string, int> connections() const;
  void clear_requests();  // forgets the requests and the connections seen so far
  std::vector<std::string> issued_tokens() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// An error answer of the JSON APIs in Google's shape, as a canned response with the live APIs'
// content type "application/json; charset=UTF-8":
//   {"error":{"code":403,"message":"...","errors":[{"message":"...","domain":"usageLimits",
//   "reason":"rateLimitExceeded"}],"status":"PERMISSION_DENIED","details":[{"@type":
//   "type.googleapis.com/google.rpc.ErrorInfo","reason":"SERVICE_DISABLED","domain":
//   "googleapis.com","metadata":{"service":"drive.googleapis.com"}}]}}
// Each of reasons_in_errors is one entry of "errors", which repeats the message, in the domain the
// service files that reason under ("usageLimits" for the rate and quota reasons, else "global");
// each of reasons_in_details one ErrorInfo, whose metadata names `service` unless it is empty.
// "errors" and "details" are left out when they would be empty.
CannedResponse v4_error(int code, std::string status, std::string message,
                        std::vector<std::string> reasons_in_errors = {},
                        std::vector<std::string> reasons_in_details = {}, std::string service = {});

// Column names as the list feed derives them from header cells: each code point of Unicode
// general category L*, Nd, Mn or Mc kept and lower-cased (utf8proc), every other one dropped,
// bytes that are not UTF-8 dropped too; repeats suffixed "_2", "_3", ... A cell that derives to
// nothing gets its column's positional name, which starts with "_" as no derived name does.
std::vector<std::string> derive_column_names(const std::vector<std::string>& header);

// The list feed's name for the column at zero-based index column when it has no other:
// "_" and 0x1440BDA XOR (column * 0x10001) in lower-case base 36.
std::string positional_column_name(std::size_t column);

// A small but realistic registry; see fake_service.cc for the exact contents.
Model sample_model();

// The spreadsheets feed as the fake renders it for `model`, its links under `base`: for a test
// that serves a very large feed from somewhere else and cannot let rendering it on request
// hold up the first byte.
std::string spreadsheets_feed(const Model& model, const std::string& base,
                              const std::string& service_account);

// The list feed of worksheet `index` of `spreadsheet` (links under `base`) and the Sheets v4
// values answer for a worksheet, byte for byte as the fake serves them: for measuring the
// parsers on exactly what a run receives.
std::string list_feed(const Spreadsheet& spreadsheet, std::size_t index, const std::string& base);
std::string values_answer(const Worksheet& worksheet);

// Worksheet ids as used in feed URLs: "od6" for the first worksheet, "od7" for the next, ...
std::string worksheet_id(std::size_t index);

}  // namespace fake
