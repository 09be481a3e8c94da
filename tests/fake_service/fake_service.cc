#include "fake_service.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utf8proc.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace fake {
namespace {

struct BioFree {
  void operator()(BIO* p) const { BIO_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

constexpr std::string_view kAtomType = "application/atom+xml; charset=UTF-8";
constexpr std::string_view kJwtBearerGrant = "urn:ietf:params:oauth:grant-type:jwt-bearer";
constexpr std::string_view kSpreadsheetsFeedPath = "/feeds/spreadsheets/private/full";
constexpr std::string_view kUpdated = "2024-05-01T10:00:00.000Z";
constexpr std::string_view kNs = "http://schemas.google.com/spreadsheets/2006";
constexpr std::string_view kJsonType = "application/json; charset=UTF-8";
constexpr std::string_view kDriveFilesPath = "/drive/v3/files";
constexpr std::string_view kSheetsPath = "/v4/spreadsheets";
constexpr std::string_view kDriveQueryStart =
    "mimeType='application/vnd.google-apps.spreadsheet' and name = '";
constexpr std::string_view kDriveQueryEnd = "' and trashed = false";
constexpr std::string_view kDriveFilesMember = "files(id,name)";
constexpr std::size_t kDefaultPageSize = 100;
constexpr std::size_t kMaxPageSize = 1000;
constexpr std::string_view kDriveIdMessage =
    "The driveId parameter must be specified if and only if corpora is set to drive.";
constexpr std::string_view kAllDrivesMessage =
    "The includeItemsFromAllDrives parameter must be set to true when driveId is specified or "
    "corpora contains drive or allDrives.";
constexpr std::string_view kSheetsFields = "sheets.properties(sheetId,title,index)";
constexpr std::string_view kSheetsFieldsWithTitle =
    "properties.title,sheets.properties(sheetId,title,index)";
// Not equal to the index, so a client mixing up sheetId and index gets caught.
constexpr std::size_t kFirstSheetId = 1000;
constexpr long long kTokenLifetime = 3600;
constexpr long long kClockSkew = 300;

// Pseudo-headers cpp-httplib adds to every request; the client never sent them.
bool is_pseudo_header(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

PkeyPtr load_certificate_key(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) throw std::runtime_error("cannot open " + path);
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) throw std::runtime_error("no PEM certificate in " + path);
  PkeyPtr key(X509_get_pubkey(cert.get()));
  if (!key) throw std::runtime_error("no public key in " + path);
  return key;
}

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> buf(bytes);
  if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : buf) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// Strict unpadded base64url, as JWS compact serialisation requires.
std::optional<std::string> base64url_decode(std::string_view in) {
  if (in.size() % 4 == 1) return std::nullopt;
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '-') {
      v = 62;
    } else if (c == '_') {
      v = 63;
    } else {
      return std::nullopt;
    }
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xff);
    }
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Form bodies spell a space '+'; the JSON APIs' query strings and paths are only percent-decoded,
// so a '+' there stays a plus.
std::optional<std::string> percent_decode(std::string_view in, bool plus_is_space) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+' && plus_is_space) {
      out += ' ';
    } else if (in[i] == '%') {
      if (i + 2 >= in.size()) return std::nullopt;
      int hi = hex_value(in[i + 1]);
      int lo = hex_value(in[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += in[i];
    }
  }
  return out;
}

// Parses name=value pairs joined by '&'; nullopt on bad escapes or repeated names.
std::optional<std::map<std::string, std::string>> parse_pairs(std::string_view body,
                                                              bool plus_is_space) {
  std::map<std::string, std::string> fields;
  std::size_t pos = 0;
  while (pos <= body.size()) {
    std::size_t amp = body.find('&', pos);
    if (amp == std::string_view::npos) amp = body.size();
    std::string_view pair = body.substr(pos, amp - pos);
    pos = amp + 1;
    if (pair.empty()) continue;
    std::size_t eq = pair.find('=');
    auto name = percent_decode(pair.substr(0, eq), plus_is_space);
    auto value = percent_decode(
        eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1), plus_is_space);
    if (!name || !value) return std::nullopt;
    if (!fields.emplace(std::move(*name), std::move(*value)).second) return std::nullopt;
  }
  return fields;
}

std::optional<std::map<std::string, std::string>> parse_form(std::string_view body) {
  return parse_pairs(body, true);
}

std::string media_type(std::string_view content_type) {
  std::string out(content_type.substr(0, content_type.find(';')));
  while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void append_escaped(std::string& out, std::string_view s) {
  // Copies runs of plain text in one go: list feeds can run to tens of megabytes.
  std::size_t start = 0;
  while (true) {
    const std::size_t special = s.find_first_of("&<>\"'", start);
    out.append(s.substr(start, special == std::string_view::npos ? special : special - start));
    if (special == std::string_view::npos) return;
    switch (s[special]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += "&#39;";
        break;
    }
    start = special + 1;
  }
}

void append_link(std::string& out, std::string_view rel, std::string_view type,
                 std::string_view href) {
  out += "<link rel=\"";
  append_escaped(out, rel);
  out += "\" type=\"";
  out += type;
  out += "\" href=\"";
  append_escaped(out, href);
  out += "\"/>";
}

void append_text_element(std::string& out, std::string_view name, std::string_view text) {
  out += '<';
  out += name;
  out += " type=\"text\">";
  append_escaped(out, text);
  out += "</";
  out += name;
  out += '>';
}

void append_category(std::string& out, std::string_view kind) {
  out += "<category scheme=\"";
  out += kNs;
  out += "\" term=\"";
  out += kNs;
  out += '#';
  out += kind;
  out += "\"/>";
}

void append_id_updated(std::string& out, std::string_view id) {
  out += "<id>";
  append_escaped(out, id);
  out += "</id><updated>";
  out += kUpdated;
  out += "</updated>";
}

constexpr std::string_view kAuthor =
    "<author><name>registry-owner</name><email>registry-owner@example.com</email></author>";

void append_feed_start(std::string& out, std::string_view self, std::string_view kind,
                       std::string_view title, std::string_view alternate) {
  out +=
      "<?xml version='1.0' encoding='UTF-8'?>"
      "<feed xmlns=\"http://www.w3.org/2005/Atom\""
      " xmlns:openSearch=\"http://a9.com/-/spec/opensearchrss/1.0/\""
      " xmlns:gsx=\"http://schemas.google.com/spreadsheets/2006/extended\""
      " xmlns:gs=\"http://schemas.google.com/spreadsheets/2006\">";
  append_id_updated(out, self);
  append_category(out, kind);
  append_text_element(out, "title", title);
  append_link(out, "alternate", "text/html", alternate);
  append_link(out, "http://schemas.google.com/g/2005#feed", "application/atom+xml", self);
  append_link(out, "self", "application/atom+xml", self);
  out += kAuthor;
}

void append_totals(std::string& out, std::size_t total) {
  out += "<openSearch:totalResults>";
  out += std::to_string(total);
  out += "</openSearch:totalResults><openSearch:startIndex>1</openSearch:startIndex>";
}

std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (true) {
    std::size_t slash = path.find('/', pos);
    parts.emplace_back(path.substr(pos, slash == std::string_view::npos ? slash : slash - pos));
    if (slash == std::string_view::npos) break;
    pos = slash + 1;
  }
  return parts;
}

const Spreadsheet* find_spreadsheet(const Model& model, std::string_view id) {
  for (const auto& s : model.spreadsheets) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

std::string render_spreadsheets(const Model& model, const std::string& base,
                                const std::string& account) {
  const std::string self = base + std::string(kSpreadsheetsFeedPath);
  std::string out;
  append_feed_start(out, self, "spreadsheet", "Available Spreadsheets - " + account, base + "/");
  append_totals(out, model.spreadsheets.size());
  for (const auto& s : model.spreadsheets) {
    out += "<entry>";
    append_id_updated(out, self + "/" + s.id);
    append_category(out, "spreadsheet");
    if (s.title) {
      append_text_element(out, "title", *s.title);
      append_text_element(out, "content", *s.title);
    }
    append_link(out, "http://schemas.google.com/spreadsheets/2006#worksheetsfeed",
                "application/atom+xml", base + "/feeds/worksheets/" + s.id + "/private/full");
    append_link(out, "alternate", "text/html", base + "/ccc?key=" + s.id);
    append_link(out, "self", "application/atom+xml", self + "/" + s.id);
    out += kAuthor;
    out += "</entry>";
  }
  out += "</feed>";
  return out;
}

std::string render_worksheets(const Spreadsheet& s, const std::string& base) {
  const std::string self = base + "/feeds/worksheets/" + s.id + "/private/full";
  std::string out;
  append_feed_start(out, self, "worksheet", s.title.value_or(""), base + "/ccc?key=" + s.id);
  append_totals(out, s.worksheets.size());
  for (std::size_t i = 0; i < s.worksheets.size(); ++i) {
    const Worksheet& ws = s.worksheets[i];
    const std::string wsid = worksheet_id(i);
    out += "<entry>";
    append_id_updated(out, self + "/" + wsid);
    append_category(out, "worksheet");
    append_text_element(out, "title", ws.title);
    append_text_element(out, "content", ws.title);
    if (ws.has_list_link) {
      append_link(out, "http://schemas.google.com/spreadsheets/2006#listfeed",
                  "application/atom+xml",
                  base + "/feeds/list/" + s.id + "/" + wsid + "/private/full");
    }
    append_link(out, "http://schemas.google.com/spreadsheets/2006#cellsfeed",
                "application/atom+xml",
                base + "/feeds/cells/" + s.id + "/" + wsid + "/private/full");
    append_link(out, "self", "application/atom+xml", self + "/" + wsid);
    std::size_t cols = ws.header.size();
    for (const auto& row : ws.rows) cols = std::max(cols, row.size());
    out += "<gs:rowCount>";
    out += std::to_string(ws.rows.size() + 1);
    out += "</gs:rowCount><gs:colCount>";
    out += std::to_string(cols);
    out += "</gs:colCount>";
    out += "</entry>";
  }
  out += "</feed>";
  return out;
}

std::size_t trimmed_size(const std::vector<std::string>& row) {
  std::size_t n = row.size();
  while (n > 0 && row[n - 1].empty()) --n;
  return n;
}

bool is_blank(const std::vector<std::string>& row) {
  for (const auto& cell : row) {
    if (!cell.empty()) return false;
  }
  return true;
}

// The columns are those the values answer gives: the header without its trailing empty cells,
// every one of them in every row, and beyond it, in a row that has cells there, that row's own
// cells up to its last non-empty one. So both formats give every row the same elements.
std::string render_list(const Spreadsheet& s, const Worksheet& ws, const std::string& wsid,
                        const std::string& base) {
  const std::string self = base + "/feeds/list/" + s.id + "/" + wsid + "/private/full";
  std::vector<std::string> names = derive_column_names(
      std::vector<std::string>(ws.header.begin(), ws.header.begin() + trimmed_size(ws.header)));

  // The list feed stops at the first blank row, like the real one does.
  std::size_t count = 0;
  while (count < ws.rows.size() && !is_blank(ws.rows[count])) ++count;

  std::string out;
  out.reserve(1024 + count * (400 + 2 * self.size()));
  append_feed_start(out, self, "list", ws.title, base + "/ccc?key=" + s.id);
  append_totals(out, count);
  // Precomputed pieces keep the per-row work to plain appends.
  std::string category;
  append_category(category, "list");
  std::vector<std::string> open_tags, close_tags;
  auto add_tags = [&](std::size_t width) {
    for (std::size_t c = open_tags.size(); c < width; ++c) {
      if (c == names.size()) names.push_back(positional_column_name(c));
      open_tags.push_back("<gsx:" + names[c] + ">");
      close_tags.push_back("</gsx:" + names[c] + ">");
    }
  };
  const std::size_t header_width = names.size();
  add_tags(header_width);
  std::string escaped_self;
  append_escaped(escaped_self, self);

  for (std::size_t r = 0; r < count; ++r) {
    const auto& row = ws.rows[r];
    auto cell = [&row](std::size_t c) -> std::string_view {
      return c < row.size() ? std::string_view(row[c]) : std::string_view();
    };
    const std::size_t width = std::max(header_width, trimmed_size(row));
    add_tags(width);
    std::string row_id = "r";
    row_id += std::to_string(r + 1);
    out += "<entry><id>";
    out += escaped_self;
    out += '/';
    out += row_id;
    out += "</id><updated>";
    out += kUpdated;
    out += "</updated>";
    out += category;
    out += "<title type=\"text\">";
    append_escaped(out, cell(0));
    // The service summarises the other non-empty columns as "name: value, name: value".
    out += "</title><content type=\"text\">";
    bool first = true;
    for (std::size_t c = 1; c < width; ++c) {
      if (cell(c).empty()) continue;
      if (!first) out += ", ";
      first = false;
      out += names[c];
      out += ": ";
      append_escaped(out, cell(c));
    }
    out += "</content><link rel=\"self\" type=\"application/atom+xml\" href=\"";
    out += escaped_self;
    out += '/';
    out += row_id;
    out += "\"/>";
    for (std::size_t c = 0; c < width; ++c) {
      out += open_tags[c];
      append_escaped(out, cell(c));
      out += close_tags[c];
    }
    out += "</entry>";
  }
  out += "</feed>";
  return out;
}

// Strings in the JSON answers: quote and backslash escaped, other control characters as \u00XX,
// everything else (UTF-8 included) copied as is. Runs of plain text are copied in one go: a values
// answer can run to tens of megabytes.
void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + start, i - start);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
    start = i + 1;
  }
  out.append(s.data() + start, s.size() - start);
  out += '"';
}

// The domain Google files an "errors" reason under: the rate and quota reasons are usage limits.
std::string_view legacy_error_domain(std::string_view reason) {
  for (const std::string_view limit :
       {"rateLimitExceeded", "userRateLimitExceeded", "dailyLimitExceeded", "quotaExceeded"}) {
    if (reason == limit) return "usageLimits";
  }
  return "global";
}

std::string json_error_body(int code, std::string_view message, std::string_view status,
                            const std::vector<std::string>& reasons_in_errors = {},
                            const std::vector<std::string>& reasons_in_details = {},
                            std::string_view service = {}) {
  std::string out = "{\"error\":{\"code\":";
  out += std::to_string(code);
  out += ",\"message\":";
  append_json_string(out, message);
  if (!reasons_in_errors.empty()) {
    out += ",\"errors\":[";
    for (std::size_t i = 0; i < reasons_in_errors.size(); ++i) {
      if (i > 0) out += ',';
      out += "{\"message\":";
      append_json_string(out, message);
      out += ",\"domain\":";
      append_json_string(out, legacy_error_domain(reasons_in_errors[i]));
      out += ",\"reason\":";
      append_json_string(out, reasons_in_errors[i]);
      out += '}';
    }
    out += ']';
  }
  out += ",\"status\":";
  append_json_string(out, status);
  if (!reasons_in_details.empty()) {
    out += ",\"details\":[";
    for (std::size_t i = 0; i < reasons_in_details.size(); ++i) {
      if (i > 0) out += ',';
      out += "{\"@type\":\"type.googleapis.com/google.rpc.ErrorInfo\",\"reason\":";
      append_json_string(out, reasons_in_details[i]);
      out += ",\"domain\":\"googleapis.com\"";
      if (!service.empty()) {
        out += ",\"metadata\":{\"service\":";
        append_json_string(out, service);
        out += '}';
      }
      out += '}';
    }
    out += ']';
  }
  out += "}}";
  return out;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Drive's title search is looser than an exact match; only ASCII letters fold here, so a client
// that trusts the search instead of comparing titles itself gets caught by "Inventory" vs
// "inventory" without relying on any particular Unicode case mapping.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// The title in the one Drive search the program makes, or nullopt for any other q. Inside the
// quotes, \' is a quote and \\ a backslash; any other escape or a bare quote is malformed.
std::optional<std::string> parse_drive_query(std::string_view q) {
  if (q.substr(0, kDriveQueryStart.size()) != kDriveQueryStart) return std::nullopt;
  std::string title;
  std::size_t i = kDriveQueryStart.size();
  for (; i < q.size() && q[i] != '\''; ++i) {
    if (q[i] == '\\') {
      if (i + 1 == q.size() || (q[i + 1] != '\'' && q[i + 1] != '\\')) return std::nullopt;
      ++i;
    }
    title += q[i];
  }
  if (q.substr(i) != kDriveQueryEnd) return std::nullopt;
  return title;
}

// The members a search answer is asked for besides files(id,name), which the fake requires: it
// renders no other file fields. nullopt for any other mask.
struct DriveMask {
  bool next_page_token = false;
  bool incomplete_search = false;
};

std::optional<DriveMask> parse_drive_fields(std::string_view fields) {
  DriveMask mask;
  bool files = false;
  const std::pair<std::string_view, bool*> members[] = {
      {kDriveFilesMember, &files},
      {"nextPageToken", &mask.next_page_token},
      {"incompleteSearch", &mask.incomplete_search}};
  std::size_t pos = 0;
  while (true) {
    const std::string_view rest = fields.substr(pos);
    const auto member = std::find_if(std::begin(members), std::end(members),
                                     [rest](const auto& m) { return rest.starts_with(m.first); });
    if (member == std::end(members) || *member->second) return std::nullopt;
    *member->second = true;
    pos += member->first.size();
    if (pos == fields.size()) break;
    if (fields[pos] != ',') return std::nullopt;
    ++pos;
  }
  if (!files) return std::nullopt;
  return mask;
}

// Drive's sort keys, each optionally followed by " desc", joined by commas.
bool is_drive_order_by(std::string_view order_by) {
  static constexpr std::string_view kKeys[] = {
      "createdTime",   "folder",         "modifiedByMeTime", "modifiedTime",     "name",
      "name_natural",  "quotaBytesUsed", "recency",          "sharedWithMeTime", "starred",
      "viewedByMeTime"};
  std::size_t pos = 0;
  while (true) {
    const std::size_t comma = order_by.find(',', pos);
    std::string_view key =
        order_by.substr(pos, comma == std::string_view::npos ? comma : comma - pos);
    if (key.ends_with(" desc")) key.remove_suffix(5);
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) return false;
    if (comma == std::string_view::npos) return true;
    pos = comma + 1;
  }
}

std::optional<std::size_t> parse_page_size(std::optional<std::string_view> value) {
  if (!value) return kDefaultPageSize;
  if (value->empty() || value->size() > 4) return std::nullopt;
  std::size_t n = 0;
  for (const char c : *value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  if (n < 1 || n > kMaxPageSize) return std::nullopt;
  return n;
}

std::optional<bool> parse_flag(std::optional<std::string_view> value) {
  if (!value || *value == "false") return false;
  if (*value == "true") return true;
  return std::nullopt;
}

// Where a page of a search starts. A page token stands for one of these.
struct DriveCursor {
  std::string search;                // q, corpora, orderBy and both flags, as one key
  std::size_t offset = 0;            // matching files on the earlier pages
  std::size_t plan = 0;              // the next entry of Scenario::drive_pages to start
  std::optional<std::size_t> carry;  // files still due on a planned page that pageSize cut short

  std::string key() const {
    return search + '\n' + std::to_string(offset) + '\n' + std::to_string(plan) + '\n' +
           (carry ? std::to_string(*carry) : "-");
  }
};

struct DrivePage {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::optional<DriveCursor> next;  // nullopt on the last page
};

// The page that starts at `at` among `matches` files. Every planned page leads on, since the page
// after them takes the rest; only that one can end the search.
DrivePage cut_drive_page(const std::vector<std::size_t>& plan, std::size_t matches,
                         std::size_t page_size, const DriveCursor& at) {
  DrivePage page;
  page.begin = std::min(at.offset, matches);
  const std::size_t left = matches - page.begin;
  DriveCursor next = at;
  next.carry.reset();
  bool more;
  std::size_t take;
  if (at.carry || at.plan < plan.size()) {
    const std::size_t want = at.carry ? *at.carry : plan[at.plan];
    if (!at.carry) next.plan = at.plan + 1;
    take = std::min({want, page_size, left});
    if (take == page_size && want > take && take < left) next.carry = want - take;
    more = true;
  } else {
    take = std::min(page_size, left);
    more = take < left;
  }
  page.end = page.begin + take;
  next.offset = page.end;
  if (more) page.next = std::move(next);
  return page;
}

void append_drive_file(std::string& out, const Spreadsheet& s) {
  out += "{\"id\":";
  append_json_string(out, s.id);
  if (s.title) {
    out += ",\"name\":";
    append_json_string(out, *s.title);
  }
  out += '}';
}

std::string render_sheet_properties(const Spreadsheet& s, bool with_title) {
  const bool titled = with_title && s.title;
  // Empty repeated fields and empty messages are left out of the live API's answers.
  if (!titled && s.worksheets.empty()) return "{}";
  std::string out = "{";
  if (titled) {
    out += "\"properties\":{\"title\":";
    append_json_string(out, *s.title);
    out += '}';
    if (s.worksheets.empty()) return out + '}';
    out += ',';
  }
  out += "\"sheets\":[";
  for (std::size_t i = 0; i < s.worksheets.size(); ++i) {
    if (i > 0) out += ',';
    out += "{\"properties\":{\"sheetId\":";
    out += std::to_string(kFirstSheetId + i);
    out += ",\"title\":";
    append_json_string(out, s.worksheets[i].title);
    out += ",\"index\":";
    out += std::to_string(i);
    out += "}}";
  }
  out += "]}";
  return out;
}

// A whole-sheet A1 range: the title in single quotes with embedded quotes doubled. Anything else
// (unquoted, a cell range after '!', a lone quote inside) gives nullopt.
std::optional<std::string> parse_quoted_sheet_title(std::string_view range) {
  if (range.size() < 2 || range.front() != '\'' || range.back() != '\'') return std::nullopt;
  const std::string_view inner = range.substr(1, range.size() - 2);
  std::string title;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\'') {
      if (i + 1 == inner.size() || inner[i + 1] != '\'') return std::nullopt;
      ++i;
    }
    title += inner[i];
  }
  return title;
}

std::string quote_sheet_title(std::string_view title) {
  std::string out = "'";
  for (char c : title) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

// The whole grid, as the live API returns it: the header is row 1 and every data row follows,
// blank ones and those after a blank one included (finding the end of the table is the client's
// job). Trailing empty cells and trailing empty rows are not sent.
std::string render_values(const Worksheet& ws) {
  auto row_at = [&ws](std::size_t r) -> const std::vector<std::string>& {
    return r == 0 ? ws.header : ws.rows[r - 1];
  };
  std::size_t count = ws.rows.size() + 1;
  while (count > 0 && trimmed_size(row_at(count - 1)) == 0) --count;

  std::size_t estimate = 128 + 2 * ws.title.size();
  for (std::size_t r = 0; r < count; ++r) {
    estimate += 3;
    for (const auto& cell : row_at(r)) estimate += cell.size() + 3;
  }
  std::string out;
  out.reserve(estimate);
  out += "{\"range\":";
  append_json_string(out, quote_sheet_title(ws.title) + "!A1:Z1000");
  out += ",\"majorDimension\":\"ROWS\"";
  if (count > 0) {
    out += ",\"values\":[";
    for (std::size_t r = 0; r < count; ++r) {
      if (r > 0) out += ',';
      out += '[';
      const auto& row = row_at(r);
      const std::size_t n = trimmed_size(row);
      for (std::size_t c = 0; c < n; ++c) {
        if (c > 0) out += ',';
        append_json_string(out, row[c]);
      }
      out += ']';
    }
    out += ']';
  }
  out += '}';
  return out;
}

bool is_json_api_path(std::string_view path) {
  return path.substr(0, 7) == "/drive/" || path.substr(0, 4) == "/v4/";
}

// cpp-httplib only compresses a bare "application/json", not the "; charset=UTF-8" form the live
// APIs send, so the JSON answers are gzipped here.
std::string gzip(std::string_view in) {
  if (in.size() > 0xffffffffu) throw std::runtime_error("body too large to gzip");
  z_stream zs{};
  if (deflateInit2(&zs, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&zs, static_cast<uLong>(in.size())), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

// Whether Accept-Encoding allows gzip: a "gzip" or "*" coding not refused with q=0.
bool accepts_gzip(const httplib::Request& req) {
  const auto [first, last] = req.headers.equal_range("Accept-Encoding");
  for (auto it = first; it != last; ++it) {
    const std::string_view value = it->second;
    std::size_t pos = 0;
    while (pos <= value.size()) {
      std::size_t comma = value.find(',', pos);
      if (comma == std::string_view::npos) comma = value.size();
      const std::string_view item = value.substr(pos, comma - pos);
      pos = comma + 1;
      const std::size_t semi = item.find(';');
      const std::string coding = ascii_lower(trim(item.substr(0, semi)));
      if (coding != "gzip" && coding != "*") continue;
      std::string weight;
      if (semi != std::string_view::npos) {
        for (char c : item.substr(semi + 1)) {
          if (c != ' ' && c != '\t') weight += ascii_lower(c);
        }
      }
      const bool refused = weight == "q=0" || weight == "q=0." || weight == "q=0.0" ||
                           weight == "q=0.00" || weight == "q=0.000";
      if (!refused) return true;
    }
  }
  return false;
}

std::string replace_all(std::string body, std::string_view marker, const std::string& value) {
  std::size_t pos = 0;
  while ((pos = body.find(marker, pos)) != std::string::npos) {
    body.replace(pos, marker.size(), value);
    pos += value.size();
  }
  return body;
}

// Decodes one UTF-8 sequence at s[i] and advances i past it. A byte that starts no well-formed
// sequence (a stray continuation byte, a lead byte without all its continuation bytes, an
// overlong form, a surrogate, a value past U+10FFFF) yields U+FFFD and is passed alone, so the
// bytes after it are read afresh.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  std::size_t extra;
  char32_t cp;
  char32_t least;
  if ((lead & 0xe0) == 0xc0) {
    extra = 1;
    cp = lead & 0x1f;
    least = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    extra = 2;
    cp = lead & 0x0f;
    least = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    extra = 3;
    cp = lead & 0x07;
    least = 0x10000;
  } else {
    ++i;
    return U'\uFFFD';
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) {
      ++i;
      return U'\uFFFD';
    }
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
  }
  if (cp < least || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
    ++i;
    return U'\uFFFD';
  }
  i += 1 + extra;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// Letters (general category L*), decimal digits (Nd) and the combining marks Mn and Mc stay;
// the marks are part of the letter before them in Devanagari, Thai, Arabic and many more.
bool kept_in_names(char32_t cp) {
  const std::string_view category = utf8proc_category_string(static_cast<utf8proc_int32_t>(cp));
  return category.front() == 'L' || category == "Nd" || category == "Mn" || category == "Mc";
}

std::string derive_one(std::string_view cell) {
  std::string out;
  for (std::size_t i = 0; i < cell.size();) {
    const char32_t cp = next_code_point(cell, i);
    if (!kept_in_names(cp)) continue;
    append_utf8(out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(cp))));
  }
  return out;
}

// Everything the feeds need for one scenario, plus the bodies rendered so far, the Drive page
// tokens handed out and how far each script has got.
struct State {
  explicit State(Scenario s) : scenario(std::move(s)) {}
  const Scenario scenario;
  std::mutex mutex;
  std::string cached_base;
  std::map<std::string, std::shared_ptr<const std::string>, std::less<>> cache;
  std::map<std::string, DriveCursor, std::less<>> page_cursors;  // by token
  std::map<std::string, std::string> page_tokens;                // by DriveCursor::key()
  std::map<std::string, std::size_t> script_used;                // by path
};

// The scripted answer due next on path, or nullptr once its script (if any) is used up.
const CannedResponse* next_scripted(State& st, const std::string& path) {
  const auto script = st.scenario.scripted.find(path);
  if (script == st.scenario.scripted.end()) return nullptr;
  std::lock_guard lock(st.mutex);
  std::size_t& used = st.script_used[path];
  if (used == script->second.size()) return nullptr;
  return &script->second[used++];
}

// The token of the page that starts at `at`: random, and the same each time that page is due.
std::string page_token(State& st, const DriveCursor& at) {
  std::lock_guard lock(st.mutex);
  auto [it, fresh] = st.page_tokens.try_emplace(at.key());
  if (fresh) {
    it->second = "~!!~" + random_hex(24);
    st.page_cursors.emplace(it->second, at);
  }
  return it->second;
}

std::optional<DriveCursor> page_cursor(State& st, std::string_view token) {
  std::lock_guard lock(st.mutex);
  const auto it = st.page_cursors.find(token);
  if (it == st.page_cursors.end()) return std::nullopt;
  return it->second;
}

struct Reply {
  int status = 404;
  std::string content_type = "text/plain; charset=utf-8";
  std::shared_ptr<const std::string> body;
  std::string cache_key;         // set when body is cached in the State under this key
  std::string content_encoding;  // empty: body is sent as is
  std::vector<std::pair<std::string, std::string>> headers;  // a canned answer's own
  bool hang_up = false;  // close the connection instead of answering
};

Reply make_reply(int status, std::string content_type, std::shared_ptr<const std::string> body) {
  Reply reply;
  reply.status = status;
  reply.content_type = std::move(content_type);
  reply.body = std::move(body);
  return reply;
}

// The scenario's body under key, rendered on first use.
template <class Render>
std::shared_ptr<const std::string> cached(State& st, const std::string& key, Render render) {
  std::lock_guard lock(st.mutex);
  if (auto it = st.cache.find(key); it != st.cache.end()) return it->second;
  auto body = std::make_shared<const std::string>(render());
  st.cache.emplace(key, body);
  return body;
}

}  // namespace

std::string spreadsheets_feed(const Model& model, const std::string& base,
                              const std::string& service_account) {
  return render_spreadsheets(model, base, service_account);
}

std::string list_feed(const Spreadsheet& spreadsheet, std::size_t index, const std::string& base) {
  return render_list(spreadsheet, spreadsheet.worksheets.at(index), worksheet_id(index), base);
}

std::string values_answer(const Worksheet& worksheet) { return render_values(worksheet); }

CannedResponse v4_error(int code, std::string status, std::string message,
                        std::vector<std::string> reasons_in_errors,
                        std::vector<std::string> reasons_in_details, std::string service) {
  CannedResponse answer;
  answer.status = code;
  answer.content_type = std::string(kJsonType);
  answer.body =
      json_error_body(code, message, status, reasons_in_errors, reasons_in_details, service);
  return answer;
}

std::string worksheet_id(std::size_t index) {
  std::string id = "od";
  id += std::to_string(6 + index);
  return id;
}

std::string positional_column_name(std::size_t column) {
  const std::uint64_t number = 0x1440BDAu ^ (static_cast<std::uint64_t>(column) * 0x10001u);
  char digits[1 + 64] = {'_'};
  const auto end = std::to_chars(digits + 1, std::end(digits), number, 36).ptr;
  return std::string(digits, end);
}

std::vector<std::string> derive_column_names(const std::vector<std::string>& header) {
  std::vector<std::string> names;
  std::map<std::string, int> seen;
  for (const auto& cell : header) {
    std::string name = derive_one(cell);
    if (name.empty()) {
      name = positional_column_name(names.size());
    } else {
      const int n = ++seen[name];
      if (n > 1) {
        name += '_';
        name += std::to_string(n);
      }
    }
    names.push_back(std::move(name));
  }
  return names;
}

namespace {

// The server's own thread pool, counting each connection as the accept loop hands it over: that is
// the one place cpp-httplib shows every accepted socket, answered or not.
class CountingQueue : public httplib::TaskQueue {
 public:
  explicit CountingQueue(std::function<void()> on_accept)
      : pool_(CPPHTTPLIB_THREAD_POOL_COUNT), on_accept_(std::move(on_accept)) {}
  void enqueue(std::function<void()> fn) override {
    on_accept_();
    pool_.enqueue(std::move(fn));
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::function<void()> on_accept_;
};

// A server that can also let go of a socket it has bound but never listened on, which stop() leaves
// open.
class Server : public httplib::SSLServer {
 public:
  using SSLServer::SSLServer;
  void release() {
    if (is_running()) {
      stop();
      return;
    }
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) ::close(sock);
  }
};

// One server per address: a cpp-httplib server listens on one socket only.
struct Listener {
  std::string host;
  std::unique_ptr<Server> server;
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

struct FakeService::Impl {
  explicit Impl(ServiceOptions o) : options(std::move(o)) {}

  ServiceOptions options;
  std::vector<Listener> listeners;
  std::atomic<int> port{0};
  PkeyPtr account_key;

  mutable std::mutex mutex;
  std::shared_ptr<State> state = std::make_shared<State>(Scenario{});
  std::vector<RecordedRequest> requests;
  std::vector<std::string> issued;
  std::set<std::string, std::less<>> issued_set;
  std::map<std::string, int> connection_counts;  // by host

  std::string base() const {
    if (!options.public_base_url.empty()) return options.public_base_url;
    std::string url = "https://" + options.hosts.front() + ":";
    url += std::to_string(port.load());
    return url;
  }

  std::shared_ptr<State> current_state() const {
    std::lock_guard lock(mutex);
    return state;
  }

  void issue(const std::string& token) {
    std::lock_guard lock(mutex);
    if (issued_set.insert(token).second) issued.push_back(token);
  }

  bool is_issued(std::string_view token) const {
    std::lock_guard lock(mutex);
    return issued_set.find(token) != issued_set.end();
  }

  void handle(const httplib::Request& req, httplib::Response& res);
  bool bind_all(int wanted_port);
  void release_all();
  Reply dispatch(const httplib::Request& req, const std::string& path);
  Reply token_endpoint(const httplib::Request& req);
  std::optional<std::string> check_assertion(const std::string& jwt) const;
  Reply feed(State& st, const std::string& path);
  Reply json_answer(State& st, const std::string& path, std::string_view query);
  Reply json_encoded(const httplib::Request& req, State& st, Reply reply);
};

namespace {

Reply text_reply(int status, std::string content_type, std::string body) {
  return make_reply(status, std::move(content_type),
                    std::make_shared<const std::string>(std::move(body)));
}

Reply json_reply(int status, std::string body) {
  return text_reply(status, std::string(kJsonType), std::move(body));
}

Reply json_error(int code, std::string_view message, std::string_view status) {
  return json_reply(code, json_error_body(code, message, status));
}

Reply invalid_argument() { return json_error(400, "Invalid Value", "INVALID_ARGUMENT"); }

Reply cached_json(State& st, std::string key, const std::function<std::string()>& render) {
  Reply reply = json_reply(200, {});
  reply.body = cached(st, key, render);
  reply.cache_key = std::move(key);
  return reply;
}

Reply drive_files(State& st, const std::map<std::string, std::string>& params) {
  static constexpr std::string_view kNames[] = {"q",
                                                "fields",
                                                "pageSize",
                                                "orderBy",
                                                "corpora",
                                                "includeItemsFromAllDrives",
                                                "supportsAllDrives",
                                                "pageToken"};
  for (const auto& [name, value] : params) {
    if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) {
      return invalid_argument();
    }
  }
  auto param = [&params](const char* name) -> std::optional<std::string_view> {
    const auto it = params.find(name);
    if (it == params.end()) return std::nullopt;
    return it->second;
  };
  const auto q = param("q");
  const auto title = q ? parse_drive_query(*q) : std::nullopt;
  const auto fields = param("fields");
  const auto mask = fields ? parse_drive_fields(*fields) : std::nullopt;
  const auto page_size = parse_page_size(param("pageSize"));
  const auto order_by = param("orderBy");
  const std::string_view corpora = param("corpora").value_or("user");
  const auto include_all = parse_flag(param("includeItemsFromAllDrives"));
  const auto supports_all = parse_flag(param("supportsAllDrives"));
  if (!title || !mask || !page_size || (order_by && !is_drive_order_by(*order_by)) ||
      !include_all || !supports_all ||
      (corpora != "user" && corpora != "allDrives" && corpora != "drive")) {
    return invalid_argument();
  }
  if (corpora == "drive") return json_error(400, kDriveIdMessage, "INVALID_ARGUMENT");
  if (corpora == "allDrives" && !*include_all) {
    return json_error(400, kAllDrivesMessage, "INVALID_ARGUMENT");
  }
  const bool all_drives = corpora == "allDrives" && *include_all && *supports_all;

  std::vector<const Spreadsheet*> matches;
  for (const auto& s : st.scenario.model.spreadsheets) {
    // Untitled files are always listed: the client has to cope with a file without a name.
    if (s.title && !equal_ignoring_ascii_case(*s.title, *title)) continue;
    if (s.in_shared_drive && !all_drives) continue;
    matches.push_back(&s);
  }

  DriveCursor at;
  at.search = std::string(*q) + '\n' + std::string(corpora) + '\n' +
              std::string(order_by.value_or("")) + '\n' + (*include_all ? "1" : "0") +
              (*supports_all ? "1" : "0");
  if (const auto token = param("pageToken")) {
    auto resumed = page_cursor(st, *token);
    if (!resumed || resumed->search != at.search) return invalid_argument();
    at = std::move(*resumed);
  }
  const DrivePage page = cut_drive_page(st.scenario.drive_pages, matches.size(), *page_size, at);

  std::string out = "{";
  if (page.next && mask->next_page_token) {
    out += "\"nextPageToken\":";
    append_json_string(out, page_token(st, *page.next));
    out += ',';
  }
  if (mask->incomplete_search) {
    out += st.scenario.drive_incomplete_search ? "\"incompleteSearch\":true,"
                                               : "\"incompleteSearch\":false,";
  }
  out += "\"files\":[";
  for (std::size_t i = page.begin; i < page.end; ++i) {
    if (i > page.begin) out += ',';
    append_drive_file(out, *matches[i]);
  }
  out += "]}";
  return json_reply(200, std::move(out));
}

Reply grant_error(const std::string& why) {
  nlohmann::ordered_json j;
  j["error"] = "invalid_grant";
  j["error_description"] = why;
  return text_reply(400, "application/json; charset=utf-8", j.dump());
}

}  // namespace

std::optional<std::string> FakeService::Impl::check_assertion(const std::string& jwt) const {
  const std::size_t dot1 = jwt.find('.');
  const std::size_t dot2 = dot1 == std::string::npos ? dot1 : jwt.find('.', dot1 + 1);
  if (dot2 == std::string::npos || jwt.find('.', dot2 + 1) != std::string::npos) {
    return "assertion is not three dot-separated parts";
  }
  const std::string_view all(jwt);
  const auto header = base64url_decode(all.substr(0, dot1));
  const auto payload = base64url_decode(all.substr(dot1 + 1, dot2 - dot1 - 1));
  const auto signature = base64url_decode(all.substr(dot2 + 1));
  if (dot1 == 0 || dot2 == dot1 + 1 || dot2 + 1 == jwt.size() || !header || !payload ||
      !signature) {
    return "assertion part is empty or not unpadded base64url";
  }

  const auto h = nlohmann::json::parse(*header, nullptr, false);
  if (!h.is_object()) return "JWT header is not a JSON object";
  for (const auto& [key, value] : h.items()) {
    if (key != "alg" && key != "typ" && key != "kid") return "unexpected JWT header field " + key;
  }
  if (!h.contains("alg") || h["alg"] != "RS256") return "JWT alg must be RS256";
  if (!h.contains("typ") || h["typ"] != "JWT") return "JWT typ must be JWT";
  if (h.contains("kid") && !h["kid"].is_string()) return "JWT kid must be a string";

  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx ||
      EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, account_key.get()) != 1 ||
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature->data()),
                       signature->size(), reinterpret_cast<const unsigned char*>(jwt.data()),
                       dot2) != 1) {
    return "invalid JWT signature";
  }

  const auto claims = nlohmann::json::parse(*payload, nullptr, false);
  if (!claims.is_object()) return "JWT claim set is not a JSON object";
  auto string_claim = [&claims](const char* name) -> std::optional<std::string> {
    if (!claims.contains(name) || !claims[name].is_string()) return std::nullopt;
    return claims[name].get<std::string>();
  };
  if (string_claim("iss") != options.service_account) return "iss is not the service account";
  if (string_claim("scope") != options.scope) return "scope is not " + options.scope;
  if (string_claim("aud") != base() + "/token") return "aud is not the token URI";
  for (const char* name : {"iat", "exp"}) {
    if (!claims.contains(name) || !claims[name].is_number_integer()) {
      return std::string(name) + " must be an integer";
    }
  }
  const long long iat = claims["iat"].get<long long>();
  const long long exp = claims["exp"].get<long long>();
  const long long now = static_cast<long long>(std::time(nullptr));
  if (iat < now - kClockSkew || iat > now + kClockSkew) return "iat is too far from now";
  if (exp != iat + kTokenLifetime) return "exp must be iat + 3600";
  return std::nullopt;
}

Reply FakeService::Impl::token_endpoint(const httplib::Request& req) {
  if (req.get_header_value_count("Content-Type") != 1 ||
      media_type(req.get_header_value("Content-Type")) != "application/x-www-form-urlencoded") {
    return grant_error("Content-Type must be application/x-www-form-urlencoded");
  }
  const auto form = parse_form(req.body);
  if (!form) return grant_error("malformed form body");
  const auto grant = form->find("grant_type");
  if (grant == form->end() || grant->second != kJwtBearerGrant) {
    return grant_error("grant_type must be " + std::string(kJwtBearerGrant));
  }
  const auto assertion = form->find("assertion");
  if (assertion == form->end()) return grant_error("assertion is missing");
  if (auto why = check_assertion(assertion->second)) return grant_error(*why);

  const std::string token = random_hex(16);
  issue(token);
  return text_reply(
      200, "application/json; charset=utf-8",
      "{\"access_token\":\"" + token + "\",\"token_type\":\"Bearer\",\"expires_in\":3600}");
}

Reply FakeService::Impl::feed(State& st, const std::string& path) {
  const std::string b = base();
  std::lock_guard lock(st.mutex);
  if (st.cached_base != b) {
    st.cache.clear();
    st.cached_base = b;
  }
  if (auto it = st.cache.find(path); it != st.cache.end()) {
    return make_reply(200, std::string(kAtomType), it->second);
  }

  const Model& model = st.scenario.model;
  std::optional<std::string> body;
  const auto parts = split_path(path);
  // parts[0] is the empty string before the leading '/'.
  if (path == kSpreadsheetsFeedPath) {
    body = render_spreadsheets(model, b, options.service_account);
  } else if (parts.size() == 6 && parts[1] == "feeds" && parts[2] == "worksheets" &&
             parts[4] == "private" && parts[5] == "full") {
    if (const Spreadsheet* s = find_spreadsheet(model, parts[3])) body = render_worksheets(*s, b);
  } else if (parts.size() == 7 && parts[1] == "feeds" && parts[2] == "list" &&
             parts[5] == "private" && parts[6] == "full") {
    if (const Spreadsheet* s = find_spreadsheet(model, parts[3])) {
      for (std::size_t i = 0; i < s->worksheets.size(); ++i) {
        if (worksheet_id(i) == parts[4]) body = render_list(*s, s->worksheets[i], parts[4], b);
      }
    }
  }
  if (!body) return text_reply(404, "text/plain; charset=utf-8", "Not found\n");
  auto shared = std::make_shared<const std::string>(std::move(*body));
  st.cache.emplace(path, shared);
  return make_reply(200, std::string(kAtomType), std::move(shared));
}

Reply FakeService::Impl::json_answer(State& st, const std::string& path, std::string_view query) {
  const Model& model = st.scenario.model;
  const auto params = parse_pairs(query, false);
  auto param = [&params](const char* name) -> std::optional<std::string_view> {
    const auto it = params->find(name);
    if (it == params->end()) return std::nullopt;
    return it->second;
  };

  if (path == kDriveFilesPath) return params ? drive_files(st, *params) : invalid_argument();

  // parts[0] is the empty string before the leading '/'.
  const auto parts = split_path(path);
  const bool metadata = parts.size() == 4;
  if (path.compare(0, kSheetsPath.size() + 1, std::string(kSheetsPath) + "/") != 0 ||
      !(metadata || (parts.size() == 6 && parts[4] == "values"))) {
    return text_reply(404, "text/plain; charset=utf-8", "Not found\n");
  }
  const bool with_title = metadata && params && param("fields") == kSheetsFieldsWithTitle;
  if (!params || params->size() != 1 ||
      (metadata ? param("fields") != kSheetsFields && !with_title
                : param("majorDimension") != "ROWS")) {
    return invalid_argument();
  }
  const auto id = percent_decode(parts[3], false);
  const Spreadsheet* s = id ? find_spreadsheet(model, *id) : nullptr;
  if (!s) return json_error(404, "Requested entity was not found.", "NOT_FOUND");
  if (metadata) {
    return cached_json(st, (with_title ? "sheets+title\n" : "sheets\n") + s->id,
                       [s, with_title] { return render_sheet_properties(*s, with_title); });
  }

  const auto range = percent_decode(parts[5], false);
  const auto title = range ? parse_quoted_sheet_title(*range) : std::nullopt;
  for (std::size_t i = 0; title && i < s->worksheets.size(); ++i) {
    const Worksheet& ws = s->worksheets[i];
    if (ws.title != *title) continue;
    return cached_json(st, "values\n" + s->id + "\n" + std::to_string(i),
                       [&ws] { return render_values(ws); });
  }
  return json_error(400, "Unable to parse range: " + (range ? *range : parts[5]),
                    "INVALID_ARGUMENT");
}

Reply FakeService::Impl::json_encoded(const httplib::Request& req, State& st, Reply reply) {
  if (reply.content_type != kJsonType || !accepts_gzip(req)) return reply;
  if (reply.cache_key.empty()) {
    reply.body = std::make_shared<const std::string>(gzip(*reply.body));
  } else {
    const auto plain = reply.body;
    reply.body = cached(st, "gzip\n" + reply.cache_key, [&plain] { return gzip(*plain); });
  }
  reply.content_encoding = "gzip";
  return reply;
}

Reply FakeService::Impl::dispatch(const httplib::Request& req, const std::string& path) {
  const std::shared_ptr<State> st = current_state();
  const auto& overrides = st->scenario.overrides;
  const auto override_it = overrides.find(path);
  // Called only once the request has got past the bearer check: that is when a script moves on.
  auto canned = [&]() -> const CannedResponse* {
    if (const CannedResponse* next = next_scripted(*st, path)) return next;
    return override_it == overrides.end() ? nullptr : &override_it->second;
  };
  auto canned_reply = [&](const CannedResponse& answer) {
    Reply reply = text_reply(answer.status, answer.content_type,
                             replace_all(replace_all(answer.body, "{{base}}", base()), "{{port}}",
                                         std::to_string(port.load())));
    reply.headers = answer.headers;
    return reply;
  };

  if (req.method == "HEAD") {
    if (req.target != "/" || req.has_header("Authorization") || !req.body.empty()) {
      return text_reply(400, "text/html; charset=UTF-8", "");
    }
    Reply reply = text_reply(404, "text/html; charset=UTF-8", "");
    reply.hang_up = st->scenario.hang_up_head.count(req.local_addr) != 0;
    return reply;
  }

  if (path == "/token") {
    if (const CannedResponse* answer = canned()) {
      Reply reply = canned_reply(*answer);
      if (reply.status == 200) {
        const auto j = nlohmann::json::parse(*reply.body, nullptr, false);
        if (j.is_object() && j.contains("access_token") && j["access_token"].is_string()) {
          issue(j["access_token"].get<std::string>());
        }
      }
      return reply;
    }
    if (req.method == "POST") return token_endpoint(req);
    return text_reply(404, "text/plain; charset=utf-8", "Not found\n");
  }

  static constexpr std::string_view kBearer = "Bearer ";
  const std::string auth = req.get_header_value("Authorization");
  const bool json_api = is_json_api_path(path);
  if (req.get_header_value_count("Authorization") != 1 ||
      auth.compare(0, kBearer.size(), kBearer) != 0 ||
      !is_issued(std::string_view(auth).substr(kBearer.size()))) {
    if (json_api) {
      static constexpr std::string_view kExpected =
          " Expected OAuth 2 access token, login cookie or other valid authentication credential."
          " See https://developers.google.com/identity/sign-in/web/devconsole-project.";
      const std::string message =
          req.has_header("Authorization")
              ? "Request had invalid authentication credentials." + std::string(kExpected)
              : "Request is missing required authentication credential." + std::string(kExpected);
      return json_encoded(req, *st, json_error(401, message, "UNAUTHENTICATED"));
    }
    Reply reply = text_reply(401, "text/html; charset=UTF-8",
                             "<HTML><HEAD><TITLE>Unauthorized</TITLE></HEAD><BODY>"
                             "<H1>Unauthorized</H1></BODY></HTML>");
    return reply;
  }
  if (const CannedResponse* answer = canned()) return canned_reply(*answer);
  if (req.method != "GET" && req.method != "HEAD") {
    return text_reply(404, "text/plain; charset=utf-8", "Not found\n");
  }
  if (json_api) {
    const std::size_t q = req.target.find('?');
    const std::string_view query =
        q == std::string::npos ? std::string_view{} : std::string_view(req.target).substr(q + 1);
    return json_encoded(req, *st, json_answer(*st, path, query));
  }
  return feed(*st, path);
}

void FakeService::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  RecordedRequest rec;
  rec.method = req.method;
  const std::size_t q = req.target.find('?');
  rec.path = req.target.substr(0, q);
  if (q != std::string::npos) rec.query = req.target.substr(q + 1);
  for (const auto& [name, value] : req.headers) {
    if (!is_pseudo_header(name)) rec.headers.emplace_back(name, value);
  }
  rec.body = req.body;
  rec.remote_port = req.remote_port;
  rec.host = req.local_addr;

  const Reply reply = dispatch(req, rec.path);
  if (reply.hang_up && req.ssl) {
    // Recorded first: the client may look as soon as it sees the connection end.
    {
      std::lock_guard lock(mutex);
      requests.push_back(rec);
    }
    if (options.on_request) options.on_request(rec);
    // Both directions shut before a byte of answer: the client reads end of stream where the
    // status line should be. The server then fails to write and closes the socket itself.
    ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
    return;
  }
  res.status = reply.status;
  if (reply.content_type.empty()) {
    res.body = *reply.body;
  } else if (reply.body->empty()) {
    res.set_content(std::string(), reply.content_type);
  } else {
    // Sent from the shared body, never copied: a large registry's feed is a hundred megabytes,
    // and a copy per request would make the fake, not the client, the slow end of a transfer.
    const std::shared_ptr<const std::string> body = reply.body;
    res.set_content_provider(
        body->size(), reply.content_type,
        [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          constexpr std::size_t kPiece = std::size_t{1} << 20;
          return sink.write(body->data() + offset, std::min(length, kPiece));
        });
  }
  if (!reply.content_encoding.empty()) {
    res.set_header("Content-Encoding", reply.content_encoding);
    res.set_header("Vary", "Accept-Encoding");
  }
  if (reply.status == 401) res.set_header("WWW-Authenticate", "Bearer realm=\"fake\"");
  for (const auto& [name, value] : reply.headers) res.set_header(name, value);
  rec.status = reply.status;

  {
    std::lock_guard lock(mutex);
    requests.push_back(rec);
  }
  if (options.on_request) options.on_request(rec);
}

FakeService::FakeService(ServiceOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

FakeService::~FakeService() { stop(); }

// Every host on one port; an ephemeral port is the one the first host gets.
bool FakeService::Impl::bind_all(int wanted_port) {
  int bound = wanted_port;
  for (Listener& l : listeners) {
    if (bound == 0) {
      bound = l.server->bind_to_any_port(l.host);
      if (bound <= 0) return false;
    } else if (!l.server->bind_to_port(l.host, bound)) {
      return false;
    }
  }
  port = bound;
  return true;
}

// Drops every server, bound or listening, and waits for their threads.
void FakeService::Impl::release_all() {
  for (Listener& l : listeners) l.server->release();
  for (Listener& l : listeners) {
    if (l.thread.joinable()) l.thread.join();
  }
  listeners.clear();
}

void FakeService::start() {
  Impl& d = *impl_;
  if (!d.listeners.empty()) throw std::runtime_error("fake service already started");
  if (d.options.hosts.empty()) throw std::runtime_error("fake service given no host");
  const std::string dir = d.options.pki_dir.empty() ? "." : d.options.pki_dir;
  d.account_key = load_certificate_key(dir + "/sa.pem");
  {
    std::lock_guard lock(d.mutex);
    d.connection_counts.clear();
    for (const std::string& host : d.options.hosts) d.connection_counts[host] = 0;
  }

  const std::string cert = dir + "/" + d.options.cert_name + ".pem";
  const std::string key = dir + "/" + d.options.cert_name + ".key";
  const httplib::Server::Handler handler = [&d](const httplib::Request& req,
                                                httplib::Response& res) { d.handle(req, res); };
  const std::string any = "[\\s\\S]*";
  auto make_listeners = [&] {
    for (const std::string& host : d.options.hosts) {
      Listener l;
      l.host = host;
      l.server = std::make_unique<Server>(cert.c_str(), key.c_str());
      Server& server = *l.server;
      if (!server.is_valid()) throw std::runtime_error("cannot load " + cert + " / " + key);
      // stop() has to wait for idle keep-alive connections to time out; keep that wait short
      // while still letting a client reuse its connection across the few requests of a listing.
      server.set_keep_alive_timeout(2);
      // Without it a small answer can wait out the peer's delayed ACK (40 ms on Linux) for every
      // request after the first on a kept-alive connection.
      server.set_tcp_nodelay(true);
      server.new_task_queue = [&d, host] {
        return new CountingQueue([&d, host] {
          std::lock_guard lock(d.mutex);
          ++d.connection_counts[host];
        });
      };
      // HEAD goes to the GET handlers.
      server.Get(any, handler);
      server.Post(any, handler);
      server.Put(any, handler);
      server.Patch(any, handler);
      server.Delete(any, handler);
      server.Options(any, handler);
      d.listeners.push_back(std::move(l));
    }
  };
  // Should another host find the first one's ephemeral port taken, all let go and try another.
  bool bound = false;
  for (int attempt = 0; !bound && attempt < (d.options.port == 0 ? 20 : 1); ++attempt) {
    try {
      make_listeners();
    } catch (...) {
      d.release_all();
      throw;
    }
    bound = d.bind_all(d.options.port);
    if (!bound) d.release_all();
  }
  if (!bound) {
    std::string where;
    for (const std::string& host : d.options.hosts) where += (where.empty() ? "" : ", ") + host;
    throw std::runtime_error("cannot bind port " + std::to_string(d.options.port) + " on " + where);
  }

  for (Listener& l : d.listeners) {
    Server* raw = l.server.get();
    l.thread = std::thread([raw, finished = l.finished] {
      // A client hanging up mid-response must not kill the process hosting the fake. Worker
      // threads are spawned from this one and inherit the mask.
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &set, nullptr);
      raw->listen_after_bind();
      *finished = true;
    });
  }
  // stop() only works once the loops run, so do not hand back control before that.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (const Listener& l : d.listeners) {
    while (!l.server->is_running()) {
      if (*l.finished || std::chrono::steady_clock::now() > deadline) {
        d.release_all();
        throw std::runtime_error("fake service did not start listening");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void FakeService::stop() { impl_->release_all(); }

int FakeService::port() const { return impl_->port.load(); }

std::string FakeService::base_url() const { return impl_->base(); }

std::string FakeService::token_uri() const { return base_url() + "/token"; }

std::string FakeService::spreadsheets_feed_uri() const {
  return base_url() + std::string(kSpreadsheetsFeedPath);
}

std::string FakeService::drive_files_uri() const {
  return base_url() + std::string(kDriveFilesPath);
}

std::string FakeService::sheets_uri() const { return base_url() + std::string(kSheetsPath); }

void FakeService::set_scenario(Scenario scenario) {
  auto fresh = std::make_shared<State>(std::move(scenario));
  std::lock_guard lock(impl_->mutex);
  impl_->state = std::move(fresh);
}

std::vector<RecordedRequest> FakeService::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::map<std::string, int> FakeService::connections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connection_counts;
}

void FakeService::clear_requests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
  for (auto& [host, count] : impl_->connection_counts) count = 0;
}

std::vector<std::string> FakeService::issued_tokens() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->issued;
}

Model sample_model() {
  const std::vector<std::string> header = {"Serial Number", "Name", "Location", "Owner", "Notes"};

  Worksheet registry{"Registry", header, {}, true};
  registry.rows = {
      {"SN-1001", "Laptop ThinkPad T14", "Zürich", "Anna Müller", "Dock & charger included"},
      {"SN-1002", "Monitor 27\"", "東京", "Kenji Sato", "Dead pixel <top left>"},
      {"SN\\0042", "Label printer", "Berlin, Room 4.12", "Jörg Weiß", "Serial as printed"},
      {"SN-1004", "Projector", "Lyon", "Élodie Durand", "Lamp replaced 2023-11-02"},
      {"SN-1005", "Oscilloscope", "Zürich"},  // ragged: owner and notes never filled in
      {"SN-1006", "Router", "Москва", "Иван Петров", "it's the \"managed\" one"},
      {},  // a blank row ends the data; what follows is not part of the table
      {"Audited March 2024"},
  };

  Worksheet summary{
      "Summary", {"Category", "Count"}, {{"Computers", "1"}, {"Displays", "1"}}, true};

  Worksheet archived{"Registry", header, {}, true};
  archived.rows = {
      {"SN-0007", "Fax machine", "Basel", "Anna Müller", "Disposed 2019"},
      {"SN-0008", "CRT monitor", "Basel", "Kenji Sato", "Disposed 2018"},
  };

  Worksheet lower{
      "Registry", header, {{"SN-7777", "Coffee machine", "Kitchen", "Everyone", ""}}, true};

  Model m;
  m.spreadsheets.push_back({"Inventory archive", "inv00", {archived}});
  m.spreadsheets.push_back({"inventory", "inv02", {lower}});
  m.spreadsheets.push_back({"Inventory", "inv01", {summary, registry}});
  return m;
}

}  // namespace fake
