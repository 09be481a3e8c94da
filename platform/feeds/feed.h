// The feeds the registry walks, whatever the wire format: a feed of entries, each with a title,
// links with relations, and, in a list feed, one named element per cell of a row.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvo {

// The relation of a worksheet's link to its rows.
inline constexpr char kListFeedRel[] = "http://schemas.google.com/spreadsheets/2006#listfeed";

struct FeedLink {
  std::string rel;
  std::string href;
};

// One cell of a list entry: the column's local name and the cell's text.
struct ListElement {
  std::string local_name;
  std::string value;
};

// All text is UTF-8, entities and character references decoded.
struct FeedEntry {
  std::optional<std::string> title;  // nullopt when the entry has no title at all
  std::string id;                    // the service's key for the entry, where it has one
  std::vector<FeedLink> links;
  std::vector<ListElement> elements;  // list entries only, in document order

  // The first link with exactly this relation, or nullptr.
  const FeedLink* find_link(std::string_view rel) const;
};

struct Feed {
  std::vector<FeedEntry> entries;
};

// Receives the entries of a feed one at a time, as they are read; the entry is not kept.
using EntrySink = std::function<void(const FeedEntry&)>;

}  // namespace kolvo
