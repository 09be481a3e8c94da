#include "platform/feeds/sheets_v4/sheets_v4.h"

#include <simdjson.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "platform/failure/failure.h"
#include "platform/json/repeated_member.h"
#include "platform/text/text.h"

namespace kolvo::sheets_v4 {

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);

namespace {

[[noreturn]] void fail_shape(const char* what) {
  throw Failure(std::string("sheets-v4: unexpected answer: ") + what);
}

simdjson::dom::element parse_root(simdjson::dom::parser& parser, std::string_view json) {
  simdjson::dom::element root;
  // simdjson copies the text with memcpy, which must not see the null pointer of an empty view.
  const char* const bytes = json.empty() ? "" : json.data();
  if (const auto error = parser.parse(bytes, json.size()).get(root)) {
    throw Failure(std::string("sheets-v4: the answer is not JSON: ") +
                  simdjson::error_message(error));
  }
  if (!root.is_object()) fail_shape("not an object");
  if (has_repeated_member(root)) fail_shape("a member is repeated");
  return root;
}

// The array member name of object, or nullopt when the member is absent: the APIs leave out
// empty arrays. (A default-built dom::array is not an empty array and cannot be iterated.)
std::optional<simdjson::dom::array> array_member(simdjson::dom::element object, const char* name) {
  simdjson::dom::element member;
  if (object[name].get(member) == simdjson::NO_SUCH_FIELD) return std::nullopt;
  simdjson::dom::array array;
  if (member.get(array) != simdjson::SUCCESS) fail_shape("a member is not an array");
  return array;
}

// A string member, nullopt when absent; any other type is a malformed answer.
std::optional<std::string> string_member(simdjson::dom::element object, const char* name) {
  simdjson::dom::element member;
  if (object[name].get(member) == simdjson::NO_SUCH_FIELD) return std::nullopt;
  std::string_view text;
  if (member.get(text) != simdjson::SUCCESS) fail_shape("a member is not a string");
  return std::string(text);
}

// Whether a column name keeps a header cell's character: its letters and digits. "Letter or
// digit" is defined by Unicode general category: a letter is L* (Lu, Ll, Lt, Lm, Lo); a digit is
// Nd; also kept are the combining marks Mn and Mc, which in many scripts (Devanagari, Bengali,
// Thai, Arabic...) are part of the letter they follow (so "नाम" stays "नाम" rather than losing
// its vowel sign). Everything else goes: punctuation ("_" too), spaces, symbols, Me, Nl, No,
// controls, formats, unassigned and private-use code points. The tables are utf8proc's, so
// the names do not depend on the C library or on a locale being installed.
bool is_name_character(utf8proc_int32_t code_point) {
  switch (utf8proc_category(code_point)) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
      return true;
    default:
      return false;
  }
}

// The kept characters of one cell, each lower-cased on its own. Ill-formed UTF-8 becomes U+FFFD
// first, as everywhere else in the program, and U+FFFD (So) is not kept: the bad bytes drop out
// and the characters around them stay.
std::string derive_name(std::string_view header_cell) {
  const std::string text = repair_utf8(header_cell);
  const auto* const bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::string name;
  for (std::size_t at = 0; at < text.size();) {
    utf8proc_int32_t code_point = 0;
    const utf8proc_ssize_t length =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &code_point);
    // repair_utf8 has left only well-formed text, which utf8proc reads in full; were a byte
    // refused all the same, it would be left out as the U+FFFD it stands for.
    if (length <= 0) {
      ++at;
      continue;
    }
    at += static_cast<std::size_t>(length);
    if (!is_name_character(code_point)) continue;
    utf8proc_uint8_t lower[4];
    const utf8proc_ssize_t lower_length = utf8proc_encode_char(utf8proc_tolower(code_point), lower);
    name.append(reinterpret_cast<const char*>(lower), static_cast<std::size_t>(lower_length));
  }
  return name;
}

}  // namespace

std::string drive_files_uri(const std::string& drive_files_base, std::string_view title,
                            std::string_view page_token) {
  std::string quoted;
  for (const char c : title) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  const std::string q = "mimeType='application/vnd.google-apps.spreadsheet' and name = '" + quoted +
                        "' and trashed = false";
  // Oldest first: which of two spreadsheets of one title is taken must not depend on Drive's
  // mood, and a copy made later cannot take the place of the registry everybody knows.
  std::string uri = drive_files_base + "?q=" + percent_encode(q) +
                    "&fields=nextPageToken,incompleteSearch,files(id,name)&pageSize=1000"
                    "&orderBy=createdTime&corpora=allDrives&includeItemsFromAllDrives=true"
                    "&supportsAllDrives=true";
  if (!page_token.empty()) uri += "&pageToken=" + percent_encode(page_token);
  return uri;
}

std::string spreadsheet_uri(const std::string& sheets_base, std::string_view spreadsheet_id) {
  return sheets_base + "/" + percent_encode(spreadsheet_id) +
         "?fields=properties.title,sheets.properties(sheetId,title,index)";
}

std::string values_uri(const std::string& sheets_base, std::string_view spreadsheet_id,
                       std::string_view sheet_title) {
  std::string range = "'";
  for (const char c : sheet_title) {
    if (c == '\'') range += '\'';
    range += c;
  }
  range += '\'';
  return sheets_base + "/" + percent_encode(spreadsheet_id) + "/values/" + percent_encode(range) +
         "?majorDimension=ROWS";
}

DriveFilesPage parse_drive_files(std::string_view json) {
  simdjson::dom::parser parser;
  const simdjson::dom::element root = parse_root(parser, json);
  DriveFilesPage page;
  page.next_page_token = string_member(root, "nextPageToken");
  simdjson::dom::element incomplete;
  if (root["incompleteSearch"].get(incomplete) != simdjson::NO_SUCH_FIELD &&
      incomplete.get(page.incomplete_search) != simdjson::SUCCESS) {
    fail_shape("incompleteSearch is not a boolean");
  }
  const auto files = array_member(root, "files");
  if (!files) return page;
  for (simdjson::dom::element file : *files) {
    if (!file.is_object()) fail_shape("a file is not an object");
    FeedEntry& entry = page.files.entries.emplace_back();
    std::optional<std::string> id = string_member(file, "id");
    if (!id) fail_shape("a file has no id");
    entry.id = std::move(*id);
    entry.title = string_member(file, "name");
  }
  return page;
}

SpreadsheetMetadata parse_spreadsheet(std::string_view json, const std::string& sheets_base,
                                      std::string_view spreadsheet_id) {
  simdjson::dom::parser parser;
  const simdjson::dom::element root = parse_root(parser, json);
  SpreadsheetMetadata metadata;
  simdjson::dom::element properties;
  if (root["properties"].get(properties) != simdjson::NO_SUCH_FIELD) {
    if (!properties.is_object()) fail_shape("the properties are not an object");
    metadata.title = string_member(properties, "title");
  }
  const auto sheets = array_member(root, "sheets");
  if (!sheets) return metadata;
  for (simdjson::dom::element sheet : *sheets) {
    simdjson::dom::element sheet_properties;
    if (sheet["properties"].get(sheet_properties) != simdjson::SUCCESS ||
        !sheet_properties.is_object()) {
      fail_shape("a sheet has no properties");
    }
    FeedEntry& entry = metadata.sheets.entries.emplace_back();
    entry.title = string_member(sheet_properties, "title");
    if (entry.title) {
      entry.links.push_back({kListFeedRel, values_uri(sheets_base, spreadsheet_id, *entry.title)});
    }
  }
  return metadata;
}

namespace {

// Reads one row of cells into cells (reusing its strings), failing on anything but strings.
// A cell without escapes is taken straight from the answer's text; only escaped ones go
// through the parser's own buffer.
void read_row(simdjson::ondemand::value row, std::vector<std::string>& cells, std::size_t& count) {
  simdjson::ondemand::array array;
  if (row.get_array().get(array) != simdjson::SUCCESS) fail_shape("a row is not an array");
  count = 0;
  for (auto cell_result : array) {
    simdjson::ondemand::value cell;
    std::string_view token;
    if (std::move(cell_result).get(cell) != simdjson::SUCCESS) fail_shape("a cell is not a string");
    token = cell.raw_json_token();
    if (token.empty() || token.front() != '"') fail_shape("a cell is not a string");
    std::string_view text;
    const std::string_view inner = token.substr(1);
    // The token ends at its closing quote, so a quote is always found; the cell is plain when
    // no backslash comes before it.
    const std::size_t close = inner.find('"');
    if (close != std::string_view::npos && std::memchr(inner.data(), '\\', close) == nullptr) {
      text = inner.substr(0, close);
      // The cell must still be read: one left unread is passed over by nesting depth alone,
      // and whatever malformed text follows it in the row would be passed over with it.
      simdjson::ondemand::raw_json_string raw;
      if (cell.get_raw_json_string().get(raw) != simdjson::SUCCESS) {
        fail_shape("a cell is not a string");
      }
    } else if (cell.get_string().get(text) != simdjson::SUCCESS) {
      fail_shape("a cell is not a string");
    }
    if (count == cells.size()) cells.emplace_back();
    cells[count++].assign(text);
  }
}

[[noreturn]] void fail_not_json() { throw Failure("sheets-v4: the answer is not JSON"); }

bool is_json_text(std::string_view text) {
  simdjson::dom::parser parser;
  simdjson::dom::element element;
  if (parser.parse(text.data(), text.size()).get(element) != simdjson::SUCCESS) return false;
  if (has_repeated_member(element)) fail_shape("a member is repeated");
  return true;
}

// The on-demand parser checks only what is read: a member the rows do not need would be skipped
// unchecked, however malformed. So each such member is read in full, a scalar through its
// getter and an object or array by parsing its text alone, and an answer is taken only when
// all of it is JSON. The service's other members are small (range, majorDimension); only a
// malformed answer has a second "values" to be checked this way.
// Returns the member's text when it is a string.
std::optional<std::string> check_unused_member(simdjson::ondemand::value value) {
  simdjson::ondemand::json_type type;
  if (value.type().get(type) != simdjson::SUCCESS) fail_not_json();
  bool valid = false;
  switch (type) {
    case simdjson::ondemand::json_type::object: {
      simdjson::ondemand::object object;
      std::string_view text;
      valid = value.get_object().get(object) == simdjson::SUCCESS &&
              object.raw_json().get(text) == simdjson::SUCCESS && is_json_text(text);
      break;
    }
    case simdjson::ondemand::json_type::array: {
      simdjson::ondemand::array array;
      std::string_view text;
      valid = value.get_array().get(array) == simdjson::SUCCESS &&
              array.raw_json().get(text) == simdjson::SUCCESS && is_json_text(text);
      break;
    }
    case simdjson::ondemand::json_type::string: {
      std::string_view text;
      if (value.get_string().get(text) != simdjson::SUCCESS) fail_not_json();
      return std::string(text);
    }
    case simdjson::ondemand::json_type::number: {
      simdjson::ondemand::number number;
      valid = value.get_number().get(number) == simdjson::SUCCESS;
      break;
    }
    case simdjson::ondemand::json_type::boolean: {
      bool boolean;
      valid = value.get_bool().get(boolean) == simdjson::SUCCESS;
      break;
    }
    case simdjson::ondemand::json_type::null: {
      bool is_null = false;
      valid = value.is_null().get(is_null) == simdjson::SUCCESS && is_null;
      break;
    }
  }
  if (!valid) fail_not_json();
  return std::nullopt;
}

}  // namespace

// Turns rows into entries, one array of rows after another: the header, the column names and
// whether a blank row has ended the data carry over from one to the next.
class RowReader {
 public:
  explicit RowReader(EntrySink each_row) : each_row_(std::move(each_row)) {}

  // A whole answer, whose first "values" member holds the rows.
  void read_answer(std::string_view json) {
    simdjson::ondemand::document document = iterate(json);
    simdjson::ondemand::object root;
    if (document.get_object().get(root) != simdjson::SUCCESS) fail_shape("not an object");
    std::vector<std::string> keys;
    for (auto field_result : root) {
      simdjson::ondemand::field field;
      std::string_view key;
      if (std::move(field_result).get(field) != simdjson::SUCCESS ||
          field.unescaped_key().get(key) != simdjson::SUCCESS) {
        fail_not_json();
      }
      if (std::find(keys.begin(), keys.end(), key) != keys.end()) fail_shape("a member is repeated");
      keys.emplace_back(key);
      if (key != "values") {
        std::optional<std::string> text = check_unused_member(field.value());
        if (key == "range") range_ = std::move(text);
        if (key == "majorDimension") major_dimension_ = std::move(text);
        continue;
      }
      simdjson::ondemand::array rows;
      if (field.value().get_array().get(rows) != simdjson::SUCCESS) {
        fail_shape("a member is not an array");
      }
      read_rows(rows);
    }
    check_ended(document);
  }

  // An array of rows on its own: a part of the rows of an answer.
  void read_rows_text(std::string_view json) {
    simdjson::ondemand::document document = iterate(json);
    simdjson::ondemand::array rows;
    if (document.get_array().get(rows) != simdjson::SUCCESS) fail_not_json();
    read_rows(rows);
    check_ended(document);
  }

 private:
  simdjson::ondemand::document iterate(std::string_view json) {
    simdjson::ondemand::document document;
    const char* const bytes = json.empty() ? "" : json.data();
    if (parser_.iterate(bytes, json.size(), json.size() + kJsonPadding).get(document) !=
        simdjson::SUCCESS) {
      fail_not_json();
    }
    return document;
  }

  // The on-demand parser stops at the end of the root value; anything after it (a second
  // document, garbage) makes the text something other than JSON.
  static void check_ended(simdjson::ondemand::document& document) {
    if (document.current_location().error() != simdjson::OUT_OF_BOUNDS) fail_not_json();
  }

  void read_rows(simdjson::ondemand::array rows) {
    for (auto row_result : rows) {
      simdjson::ondemand::value row;
      if (std::move(row_result).get(row) != simdjson::SUCCESS) fail_not_json();
      std::size_t count = 0;
      read_row(row, cells_, count);
      if (header_) {
        for (std::string& name :
             column_names(std::vector<std::string>(cells_.begin(), cells_.begin() + count))) {
          entry_.elements.push_back({std::move(name), std::string()});
        }
        header_width_ = count;
        header_ = false;
        continue;
      }
      // A blank row between groups of rows holds no record, and the rows after it are read on:
      // ending the registry there, as the list feed did, would drop them without a word.
      bool blank = true;
      for (std::size_t i = 0; i < count; ++i) blank = blank && cells_[i].empty();
      if (blank) continue;
      // Element c is column c. A row has every header column, empty where it has no cell, and
      // beyond the header the cells it has itself, under their columns' positional names:
      // whether a later row reaches as far cannot be known while the rows stream by.
      const std::size_t width = std::max(header_width_, count);
      if (entry_.elements.size() != width) {
        const std::size_t named = std::max(header_width_, entry_.elements.size());
        entry_.elements.resize(width);
        for (std::size_t column = named; column < width; ++column) {
          entry_.elements[column].local_name = positional_column_name(column);
        }
      }
      // One entry serves every row, and the cells trade strings with it rather than being
      // copied: a long answer costs no allocation and no second copy per cell.
      entry_.title = cells_.front();
      for (std::size_t column = 0; column < width; ++column) {
        ListElement& element = entry_.elements[column];
        if (column < count) {
          element.value.swap(cells_[column]);
        } else {
          element.value.clear();
        }
      }
      each_row_(entry_);
    }
  }

  EntrySink each_row_;
  simdjson::ondemand::parser parser_;
  std::size_t header_width_ = 0;  // how many cells the header row has
  std::vector<std::string> cells_;
  FeedEntry entry_;
  bool header_ = true;

 public:
  std::optional<std::string> range_;  // the answer's own members, once read
  std::optional<std::string> major_dimension_;
};

void parse_values_padded(std::string_view json, const EntrySink& each_row) {
  RowReader(each_row).read_answer(json);
}

ValuesStream::ValuesStream(const EntrySink& each_row, std::size_t batch_bytes)
    : reader_(std::make_unique<RowReader>(each_row)) {
  body_.divert_array_member("values", batch_bytes, kJsonPadding,
                            [this](std::string_view rows) { reader_->read_rows_text(rows); });
}

ValuesStream::~ValuesStream() = default;

void ValuesStream::append(std::string_view bytes) { body_.append(bytes); }

void ValuesStream::finish() { reader_->read_answer(body_.text(kJsonPadding)); }

const std::optional<std::string>& ValuesStream::range() const { return reader_->range_; }

const std::optional<std::string>& ValuesStream::major_dimension() const {
  return reader_->major_dimension_;
}

Feed parse_values(std::string_view json) {
  const simdjson::padded_string padded(json);
  Feed feed;
  parse_values_padded(std::string_view(padded.data(), padded.size()),
                      [&](const FeedEntry& row) { feed.entries.push_back(row); });
  return feed;
}

std::string positional_column_name(std::size_t column) {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::uint64_t number = std::uint64_t{0x1440BDA} ^ (std::uint64_t{column} * 0x10001);
  char digits[16];
  std::size_t count = 0;
  do {
    digits[count++] = kDigits[number % 36];
    number /= 36;
  } while (number != 0);
  std::string name = "_";
  while (count > 0) name += digits[--count];
  return name;
}

std::vector<std::string> column_names(const std::vector<std::string>& header) {
  std::vector<std::string> names;
  std::map<std::string, int> seen;
  for (std::size_t column = 0; column < header.size(); ++column) {
    std::string name = derive_name(header[column]);
    if (name.empty()) {
      // Starts with "_", which no derived name holds: it meets no other name and is no repeat.
      name = positional_column_name(column);
    } else if (++seen[name] > 1) {
      const std::string count = std::to_string(seen[name]);
      name += '_';
      name += count;
    }
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace kolvo::sheets_v4
