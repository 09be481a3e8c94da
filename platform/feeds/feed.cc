#include "platform/feeds/feed.h"

namespace kolvo {

const FeedLink* FeedEntry::find_link(std::string_view rel) const {
  for (const FeedLink& link : links) {
    if (link.rel == rel) return &link;
  }
  return nullptr;
}

}  // namespace kolvo
