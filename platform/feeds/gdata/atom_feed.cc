#include <expat.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "platform/failure/failure.h"
#include "platform/feeds/gdata/gdata.h"

namespace kolvo::gdata {
namespace {

// Expat reports a namespaced name as URI, this separator, local name.
constexpr char kNamespaceSeparator = '\x01';

struct ExpandedName {
  std::string_view uri;
  std::string_view local;
};

// One pass up to the separator; only the short local name is measured after it.
ExpandedName split_name(const XML_Char* name) {
  const char* const separator = std::strchr(name, kNamespaceSeparator);
  if (separator == nullptr) return {{}, std::string_view(name)};
  return {std::string_view(name, static_cast<std::size_t>(separator - name)),
          std::string_view(separator + 1)};
}

bool is_atom(const ExpandedName& name, std::string_view local) {
  return name.uri == kAtomNamespace && name.local == local;
}

}  // namespace

// The parse runs as a flat state machine over expat's events: depth is a counter, never a
// recursion, so a deeply nested document costs no stack.
struct AtomFeedParser::State {
  XML_Parser parser = nullptr;
  Feed feed;
  // When set, each entry goes here as soon as it ends and is not kept; one entry is reused,
  // strings and all, so a long feed costs no allocation per entry.
  EntrySink sink;
  FeedEntry current;
  std::size_t elements_used = 0;
  std::exception_ptr failure;  // thrown by a handler or the sink; rethrown after expat returns
  std::size_t depth = 0;
  std::size_t entry_depth = 0;    // depth of the open <entry>, 0 outside one
  std::size_t capture_depth = 0;  // depth of the element whose text is being collected
  std::string* capture = nullptr;
  std::string error;  // why a handler stopped the parser

  void stop(std::string why) {
    if (error.empty()) error = std::move(why);
    XML_StopParser(parser, XML_FALSE);
  }

  void start(const XML_Char* raw_name, const XML_Char** attributes) {
    ++depth;
    const ExpandedName name = split_name(raw_name);
    if (depth == 1) {
      if (!is_atom(name, "feed")) stop("the document is not an Atom feed");
      return;
    }
    if (depth == 2) {
      if (is_atom(name, "entry")) {
        if (sink) {
          current.title.reset();
          current.links.clear();
          elements_used = 0;
        } else {
          feed.entries.emplace_back();
        }
        entry_depth = depth;
      }
      return;
    }
    if (entry_depth == 0 || depth != entry_depth + 1) return;
    FeedEntry& entry = sink ? current : feed.entries.back();
    if (is_atom(name, "title")) {
      entry.title.emplace();
      begin_capture(&*entry.title);
    } else if (is_atom(name, "link")) {
      FeedLink& link = entry.links.emplace_back();
      for (const XML_Char** a = attributes; *a != nullptr; a += 2) {
        if (std::strcmp(a[0], "rel") == 0) link.rel = a[1];
        if (std::strcmp(a[0], "href") == 0) link.href = a[1];
      }
    } else if (name.uri == kExtendedNamespace) {
      if (!sink) elements_used = entry.elements.size();
      if (elements_used == entry.elements.size()) entry.elements.emplace_back();
      ListElement& element = entry.elements[elements_used++];
      element.local_name.assign(name.local);
      element.value.clear();
      begin_capture(&element.value);
    }
  }

  void begin_capture(std::string* target) {
    capture = target;
    capture_depth = depth;
  }

  void end() {
    if (depth == capture_depth) {
      capture = nullptr;
      capture_depth = 0;
    }
    if (depth == entry_depth) {
      entry_depth = 0;
      if (sink) {
        current.elements.resize(elements_used);
        sink(current);
      }
    }
    --depth;
  }

  // Expat is C: nothing may be thrown through it. A throw is kept, the parse stopped, and the
  // exception rethrown once expat has returned.
  template <typename Handler>
  void guarded(Handler&& handler) {
    if (failure) return;
    try {
      handler();
    } catch (...) {
      failure = std::current_exception();
      XML_StopParser(parser, XML_FALSE);
    }
  }

  void text(const XML_Char* data, int length) {
    if (capture != nullptr) capture->append(data, static_cast<std::size_t>(length));
  }
};

AtomFeedParser::AtomFeedParser(EntrySink each_entry) : state_(std::make_unique<State>()) {
  state_->sink = std::move(each_entry);
  XML_Parser parser = XML_ParserCreateNS(nullptr, kNamespaceSeparator);
  if (parser == nullptr) throw Failure("feed: cannot create an XML parser");
  state_->parser = parser;
  XML_SetUserData(parser, state_.get());
  XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
  XML_SetElementHandler(
      parser,
      [](void* user, const XML_Char* name, const XML_Char** attributes) {
        auto* state = static_cast<State*>(user);
        state->guarded([&] { state->start(name, attributes); });
      },
      [](void* user, const XML_Char*) {
        auto* state = static_cast<State*>(user);
        state->guarded([&] { state->end(); });
      });
  XML_SetCharacterDataHandler(parser, [](void* user, const XML_Char* data, int length) {
    auto* state = static_cast<State*>(user);
    state->guarded([&] { state->text(data, length); });
  });
  // The service never sends a DOCTYPE; refusing it means no DTD, internal entity or external
  // entity is ever looked at.
  XML_SetStartDoctypeDeclHandler(
      parser, [](void* user, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        static_cast<State*>(user)->stop("the feed carries a DOCTYPE");
      });
}

AtomFeedParser::~AtomFeedParser() { XML_ParserFree(state_->parser); }

namespace {

[[noreturn]] void fail_parse(XML_Parser parser, const std::string& own_error,
                             const std::exception_ptr& failure) {
  if (failure) std::rethrow_exception(failure);
  if (!own_error.empty()) throw Failure("feed: " + own_error);
  throw Failure("feed: malformed XML at line " + std::to_string(XML_GetCurrentLineNumber(parser)) +
                ": " + XML_ErrorString(XML_GetErrorCode(parser)));
}

}  // namespace

void AtomFeedParser::parse(std::string_view bytes) {
  // Expat takes an int length; a larger piece is fed in parts.
  constexpr std::size_t kMaxPiece = std::size_t{1} << 30;
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kMaxPiece);
    if (XML_Parse(state_->parser, bytes.data(), static_cast<int>(piece), XML_FALSE) !=
        XML_STATUS_OK) {
      fail_parse(state_->parser, state_->error, state_->failure);
    }
    bytes.remove_prefix(piece);
  }
}

Feed AtomFeedParser::finish() {
  if (XML_Parse(state_->parser, nullptr, 0, XML_TRUE) != XML_STATUS_OK) {
    fail_parse(state_->parser, state_->error, state_->failure);
  }
  return std::move(state_->feed);
}

Feed parse_atom_feed(std::string_view document) {
  AtomFeedParser parser;
  parser.parse(document);
  return parser.finish();
}

}  // namespace kolvo::gdata
