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
};

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
};

struct RecordedRequest {
  std::string method;
  std::string path;   // as sent, not percent-decoded
  std::string query;  // as sent, without the '?'; empty when there was none
  // Names as sent; sorted by name (case-insensitively), repeats of one name in the order sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  int status = 0;       // status the fake answered with
  int remote_port = 0;  // the client's port: equal ports mean one reused connection
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
  int port = 0;                      // 0 = ephemeral
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
// 400 INVALID_ARGUMENT):
//   /drive/v3/files?q=...&fields=files(id,name)&pageSize=1000 with q exactly
//     mimeType='application/vnd.google-apps.spreadsheet' and name = '<title>' and trashed = false
//     (\' and \\ escape a quote and a backslash in the title) lists, in model order, every
//     spreadsheet whose title equals <title> ignoring ASCII case, plus every untitled one (listed
//     without a "name" member).
//   /v4/spreadsheets/<id>?fields=sheets.properties(sheetId,title,index) lists the worksheets;
//     sheetId is 1000 + index.
//   /v4/spreadsheets/<id>/values/<range>?majorDimension=ROWS, <range> one percent-encoded path
//     segment holding the worksheet title in single quotes, embedded quotes doubled, returns the
//     header row and then every data row, blank ones included, each without its trailing empty
//     cells; trailing empty rows are left out, and so is "values" when nothing is left.
// An unknown spreadsheet id is a 404 NOT_FOUND, an unknown worksheet a 400. JSON answers are
// gzipped when the client accepts gzip, as the live service does.
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
  std::string base_url() const;               // "https://127.0.0.1:<port>", or public_base_url
  std::string token_uri() const;              // base_url() + "/token"
  std::string spreadsheets_feed_uri() const;  // base_url() + "/feeds/spreadsheets/private/full"
  std::string drive_files_uri() const;        // base_url() + "/drive/v3/files"
  std::string sheets_uri() const;             // base_url() + "/v4/spreadsheets"

  void set_scenario(Scenario scenario);  // thread-safe swap; answers are re-rendered lazily
  std::vector<RecordedRequest> requests() const;
  void clear_requests();
  std::vector<std::string> issued_tokens() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

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
