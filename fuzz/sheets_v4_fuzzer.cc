// The Sheets v4 and Drive v3 answers on arbitrary bytes. The first byte picks the parser (bits
// 0-1, values twice as often), the service address (bits 2-3) and the spreadsheet id (bits 5-7);
// the rest is the JSON body.
//
// The body is parsed as given and, as the service does, after collecting it in pieces through
// JsonBody, which drops the blanks between tokens; values answers are read as they arrive, their
// rows parsed in batches (tiny ones when bit 4 is set) and handed to a sink. Wherever the answer as
// given is JSON, both routes must give the same feed. The streaming values parser is also held
// against a reference built here on simdjson's DOM: it must accept exactly the JSON documents of
// the expected shape and give the same rows. Besides "only Failure escapes", the addresses made
// from an answer must stay on the configured service: they carry the bearer token.
#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/failure/failure.h"
#include "platform/feeds/feed.h"
#include "platform/feeds/sheets_v4/json_body.h"
#include "platform/feeds/sheets_v4/sheets_v4.h"
#include "platform/http/http.h"
#include "platform/json/repeated_member.h"

namespace {

constexpr const char* kBases[] = {
    "https://h/v4/spreadsheets",
    "https://sheets.googleapis.com/v4/spreadsheets",
    "https://127.0.0.1:18443/v4/spreadsheets",
    "https://[::1]:443/v4",
};

// Ids a Drive answer could hold, including ones that would change a URL if copied raw.
constexpr std::string_view kIds[] = {
    "1BxiMVs0XRA5nFMdKvBdBZjgmUUqptlbs74OgvE2upms",
    "",
    "abc",
    "a/b?c#d@evil.example:1/",
    "id with space",
    "..",
    "%41%2F",
    "\xC3\xA9t\xC3\xA9",
};

constexpr char kSheetFields[] = "?fields=properties.title,sheets.properties(sheetId,title,index)";
constexpr char kValuesQuery[] = "?majorDimension=ROWS";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the encoder writes upper-case digits only
}

// Decodes one path segment that must consist of unreserved characters and %XX escapes alone;
// nullopt when anything else (a '/', '?', '#', ':', space, control...) appears raw.
std::optional<std::string> decode_segment(std::string_view segment) {
  std::string out;
  for (std::size_t i = 0; i < segment.size(); ++i) {
    const char c = segment[i];
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += c;
    } else if (c == '%' && i + 2 < segment.size() && hex_value(segment[i + 1]) >= 0 &&
               hex_value(segment[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(segment[i + 1]) * 16 + hex_value(segment[i + 2]));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// The part of href after base + "/", checked to be on base's origin.
std::string_view after_base(const std::string& href, const std::string& base) {
  FUZZ_CHECK(href.size() > base.size() && href.compare(0, base.size(), base) == 0 &&
             href[base.size()] == '/');
  FUZZ_CHECK(kolvo::url_origin(href) == kolvo::url_origin(base));
  return std::string_view(href).substr(base.size() + 1);
}

// The segment up to the first '/' or '?', decoded; the view is advanced past it.
std::string take_segment(std::string_view& rest) {
  const std::size_t end = rest.find_first_of("/?");
  FUZZ_CHECK(end != std::string_view::npos);
  const std::optional<std::string> decoded = decode_segment(rest.substr(0, end));
  FUZZ_CHECK(decoded.has_value());
  rest.remove_prefix(end);
  return *decoded;
}

void check_drive_files(const kolvo::Feed& feed, const std::string& base) {
  for (const kolvo::FeedEntry& entry : feed.entries) {
    FUZZ_CHECK(fuzz::is_valid_utf8(entry.id));
    if (entry.title) FUZZ_CHECK(fuzz::is_valid_utf8(*entry.title));
    // The service asks for a file's sheets at an address made from the id in the answer.
    const std::string uri = kolvo::sheets_v4::spreadsheet_uri(base, entry.id);
    std::string_view rest = after_base(uri, base);
    FUZZ_CHECK(take_segment(rest) == entry.id);
    FUZZ_CHECK(rest == kSheetFields);
  }
}

void check_sheet_properties(const kolvo::Feed& feed, const std::string& base,
                            std::string_view spreadsheet_id) {
  for (const kolvo::FeedEntry& entry : feed.entries) {
    if (!entry.title) {
      FUZZ_CHECK(entry.links.empty());
      continue;
    }
    FUZZ_CHECK(fuzz::is_valid_utf8(*entry.title));
    FUZZ_CHECK(entry.links.size() == 1);
    FUZZ_CHECK(entry.links[0].rel == kolvo::kListFeedRel);
    std::string_view rest = after_base(entry.links[0].href, base);
    FUZZ_CHECK(take_segment(rest) == spreadsheet_id);
    FUZZ_CHECK(rest.substr(0, 8) == "/values/");
    rest.remove_prefix(8);
    // The range is the title in single quotes, each quote inside doubled.
    const std::string range = take_segment(rest);
    FUZZ_CHECK(rest == kValuesQuery);
    FUZZ_CHECK(range.size() >= 2 && range.front() == '\'' && range.back() == '\'');
    std::string title;
    for (std::size_t i = 1; i + 1 < range.size(); ++i) {
      if (range[i] == '\'') {
        FUZZ_CHECK(i + 2 < range.size() && range[i + 1] == '\'');
        ++i;
      }
      title += range[i];
    }
    FUZZ_CHECK(title == *entry.title);
  }
}

bool is_name_byte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

void check_values(const kolvo::Feed& feed) {
  for (const kolvo::FeedEntry& entry : feed.entries) {
    // Element i is column i in every row: all rows are named after the one header row, and a
    // row that reaches beyond it names its own cells there by position. Rows differ only in
    // how far they reach.
    const kolvo::FeedEntry& first = feed.entries.front();
    for (std::size_t i = 0; i < std::min(entry.elements.size(), first.elements.size()); ++i) {
      FUZZ_CHECK(entry.elements[i].local_name == first.elements[i].local_name);
    }
    FUZZ_CHECK(entry.title.has_value() && fuzz::is_valid_utf8(*entry.title));
    for (std::size_t i = 0; i < entry.elements.size(); ++i) {
      const kolvo::ListElement& element = entry.elements[i];
      FUZZ_CHECK(!element.local_name.empty());
      FUZZ_CHECK(fuzz::is_valid_utf8(element.local_name));
      FUZZ_CHECK(fuzz::is_valid_utf8(element.value));
      // Names are lower-case letters and digits, plus the "_N" of a repeat; a name that starts
      // with "_" is the column's positional one.
      for (const char c : element.local_name) FUZZ_CHECK(is_name_byte(c));
      if (element.local_name.front() == '_') {
        FUZZ_CHECK(element.local_name == kolvo::sheets_v4::positional_column_name(i));
      }
      for (std::size_t j = 0; j < i; ++j) {
        FUZZ_CHECK(entry.elements[j].local_name != element.local_name);
      }
    }
    fuzz::check_record(entry);
  }
}

bool is_json(std::string_view text) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  return parser.parse(text.empty() ? "" : text.data(), text.size()).get(root) == simdjson::SUCCESS;
}

// The rows of a values answer as its documented shape gives them, read from the whole tree:
// nullopt when it is not JSON, not an object, names a member twice anywhere, or "values" is
// not an array of arrays of strings, every row included; blank rows give no entry.
// Sets too_deep, and gives no answer, for JSON nested beyond the tree parser's limit: where
// exactly that limit falls is the tree parser's choice, not part of the answer's meaning.
std::optional<kolvo::Feed> reference_values(std::string_view json, bool& too_deep) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  const auto error = parser.parse(json.empty() ? "" : json.data(), json.size()).get(root);
  too_deep = error == simdjson::DEPTH_ERROR;
  if (error != simdjson::SUCCESS) return std::nullopt;
  simdjson::dom::object object;
  if (root.get(object) != simdjson::SUCCESS) return std::nullopt;
  // An answer that names a member twice says two things at once, and is refused.
  if (kolvo::has_repeated_member(root)) return std::nullopt;
  kolvo::Feed feed;
  simdjson::dom::element values;
  const auto found = object["values"].get(values);
  if (found == simdjson::NO_SUCH_FIELD) return feed;
  simdjson::dom::array rows;
  if (found != simdjson::SUCCESS || values.get(rows) != simdjson::SUCCESS) return std::nullopt;
  std::vector<std::string> names;
  bool header = true;
  for (const simdjson::dom::element row : rows) {
    simdjson::dom::array cells;
    if (row.get(cells) != simdjson::SUCCESS) return std::nullopt;
    std::vector<std::string> texts;
    for (const simdjson::dom::element cell : cells) {
      std::string_view text;
      if (cell.get(text) != simdjson::SUCCESS) return std::nullopt;
      texts.emplace_back(text);
    }
    if (header) {
      names = kolvo::sheets_v4::column_names(texts);
      header = false;
      continue;
    }
    // A blank row holds no record; the rows after it still count.
    bool blank = true;
    for (const std::string& text : texts) blank = blank && text.empty();
    if (blank) continue;
    kolvo::FeedEntry& entry = feed.entries.emplace_back();
    entry.title = texts.front();
    for (std::size_t column = 0; column < std::max(names.size(), texts.size()); ++column) {
      entry.elements.push_back(
          {column < names.size() ? names[column] : kolvo::sheets_v4::positional_column_name(column),
           column < texts.size() ? texts[column] : std::string()});
    }
  }
  return feed;
}

// Runs the parser the selector picks on one body; nullopt when it throws Failure.
std::optional<kolvo::Feed> parse(std::uint8_t selector, std::string_view json,
                                 const std::string& base, std::string_view id) {
  try {
    switch (selector & 3) {
      case 0:
        return kolvo::sheets_v4::parse_drive_files(json).files;
      case 1:
        return kolvo::sheets_v4::parse_spreadsheet(json, base, id).sheets;
      default:
        return kolvo::sheets_v4::parse_values(json);
    }
  } catch (const kolvo::Failure&) {
    return std::nullopt;
  }
}

// The service's route: the body collected through JsonBody in pieces, and a values answer read
// as it arrives, its rows parsed a batch at a time.
std::optional<kolvo::Feed> parse_collected(std::uint8_t selector, std::string_view json,
                                           const std::string& base, std::string_view id) {
  if ((selector & 3) < 2) {
    kolvo::JsonBody body;
    for (const std::string_view piece : fuzz::split_pieces(json)) body.append(piece);
    return parse(selector, body.text(0), base, id);
  }
  // Bit 4 asks for tiny batches, so that they meet at most of the rows.
  const std::size_t batch_bytes = (selector & 0x10) != 0
                                      ? 1 + 8 * (selector >> 5)
                                      : kolvo::sheets_v4::ValuesStream::kBatchBytes;
  kolvo::Feed feed;
  try {
    kolvo::sheets_v4::ValuesStream stream(
        [&](const kolvo::FeedEntry& row) { feed.entries.push_back(row); }, batch_bytes);
    for (const std::string_view piece : fuzz::split_pieces(json)) stream.append(piece);
    stream.finish();
  } catch (const kolvo::Failure&) {
    return std::nullopt;
  }
  return feed;
}

void check(std::uint8_t selector, const kolvo::Feed& feed, const std::string& base,
           std::string_view id) {
  switch (selector & 3) {
    case 0:
      check_drive_files(feed, base);
      break;
    case 1:
      check_sheet_properties(feed, base, id);
      break;
    default:
      check_values(feed);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  // An empty body is given as a view without storage, as a caller may well pass one.
  const std::string_view json =
      size > 1 ? std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)
               : std::string_view();
  const std::string base = kBases[(selector >> 2) & 3];
  const std::string_view id = kIds[selector >> 5];

  const std::optional<kolvo::Feed> as_given = parse(selector, json, base, id);
  if (as_given) check(selector, *as_given, base, id);
  if ((selector & 3) >= 2) {
    bool too_deep = false;
    const std::optional<kolvo::Feed> reference = reference_values(json, too_deep);
    if (!too_deep) {
      FUZZ_CHECK(as_given.has_value() == reference.has_value());
      if (as_given) FUZZ_CHECK(fuzz::same_feed(*as_given, *reference));
    }
  }

  const std::optional<kolvo::Feed> collected = parse_collected(selector, json, base, id);
  if (collected) check(selector, *collected, base, id);
  // Blanks between the tokens of JSON carry nothing, so dropping them changes no answer.
  if (as_given) FUZZ_CHECK(collected && fuzz::same_feed(*as_given, *collected));
  if (collected && !as_given) FUZZ_CHECK(!is_json(json));
  // Nor may reading as it arrives take an answer the whole parse refuses.
  if (!as_given && is_json(json)) FUZZ_CHECK(!collected);
  return 0;
}
