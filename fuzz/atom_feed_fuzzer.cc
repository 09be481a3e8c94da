// The Atom feed parser on arbitrary bytes. The feed arrives from the network in pieces of any
// size, so the input is parsed whole and cut at boundaries derived from its own bytes, both
// collecting the entries and handing them to a sink one by one (as the list feed is read), and
// all must agree. A sink that throws after a few entries must end the parse with its own
// exception. Only Failure, or what the sink threw, may leave the parser; any other exception
// terminates the process, which libFuzzer reports as a crash.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/failure/failure.h"
#include "platform/feeds/gdata/gdata.h"

namespace {

std::optional<kolvo::Feed> parse_whole(std::string_view document) {
  try {
    return kolvo::gdata::parse_atom_feed(document);
  } catch (const kolvo::Failure&) {
    return std::nullopt;
  }
}

std::optional<kolvo::Feed> parse_in_pieces(std::string_view document) {
  try {
    kolvo::gdata::AtomFeedParser parser;
    for (const std::string_view piece : fuzz::split_pieces(document)) parser.parse(piece);
    // An empty piece, as a read of nothing would give, must change nothing.
    parser.parse({});
    return parser.finish();
  } catch (const kolvo::Failure&) {
    return std::nullopt;
  }
}

// The entries as a sink receives them, copied as they come: the parser reuses one entry.
std::optional<kolvo::Feed> parse_into_sink(std::string_view document) {
  kolvo::Feed received;
  try {
    kolvo::gdata::AtomFeedParser parser(
        [&](const kolvo::FeedEntry& entry) { received.entries.push_back(entry); });
    for (const std::string_view piece : fuzz::split_pieces(document)) parser.parse(piece);
    // Entries went to the sink, none is kept.
    FUZZ_CHECK(parser.finish().entries.empty());
  } catch (const kolvo::Failure&) {
    return std::nullopt;
  }
  return received;
}

// Not a Failure and not a std::exception: whatever a sink throws must come back unchanged.
struct SinkFull {
  std::size_t after;
};

// Whether a sink that throws on entry number stop_at (from 0) ended the parse with its own
// exception; nullopt when the parse ended with Failure first, false when it ran to the end.
std::optional<bool> parse_until_sink_throws(std::string_view document, std::size_t stop_at) {
  std::size_t received = 0;
  try {
    kolvo::gdata::AtomFeedParser parser([&](const kolvo::FeedEntry&) {
      if (received == stop_at) throw SinkFull{received};
      ++received;
    });
    for (const std::string_view piece : fuzz::split_pieces(document)) parser.parse(piece);
    parser.finish();
    return false;
  } catch (const SinkFull& full) {
    FUZZ_CHECK(full.after == stop_at && received == stop_at);
    return true;
  } catch (const kolvo::Failure&) {
    return std::nullopt;
  }
}

void check_entry(const kolvo::FeedEntry& entry) {
  // Everything the parser gives is UTF-8, whatever the document's declared encoding.
  if (entry.title) FUZZ_CHECK(fuzz::is_valid_utf8(*entry.title));
  for (const kolvo::FeedLink& link : entry.links) {
    FUZZ_CHECK(fuzz::is_valid_utf8(link.rel));
    FUZZ_CHECK(fuzz::is_valid_utf8(link.href));
  }
  for (const kolvo::ListElement& element : entry.elements) {
    FUZZ_CHECK(!element.local_name.empty());
    FUZZ_CHECK(fuzz::is_valid_utf8(element.local_name));
    FUZZ_CHECK(fuzz::is_valid_utf8(element.value));
  }

  fuzz::check_record(entry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  const std::optional<kolvo::Feed> whole = parse_whole(document);
  const std::optional<kolvo::Feed> pieces = parse_in_pieces(document);
  const std::optional<kolvo::Feed> streamed = parse_into_sink(document);
  FUZZ_CHECK(whole.has_value() == pieces.has_value());
  FUZZ_CHECK(whole.has_value() == streamed.has_value());

  const std::size_t stop_at = document.size() % 4;
  const std::optional<bool> stopped = parse_until_sink_throws(document, stop_at);
  if (!whole) {
    // Malformed: the sink may still have stopped it first, but it cannot run to the end.
    FUZZ_CHECK(stopped != std::optional<bool>(false));
    return 0;
  }
  FUZZ_CHECK(fuzz::same_feed(*whole, *pieces));
  FUZZ_CHECK(fuzz::same_feed(*whole, *streamed));
  FUZZ_CHECK(stopped == std::optional<bool>(whole->entries.size() > stop_at));
  for (const kolvo::FeedEntry& entry : whole->entries) check_entry(entry);
  return 0;
}
