#include "platform/feeds/feed_requests.h"

#include <algorithm>

#include "platform/failure/failure.h"

namespace kolvo {

FeedRequests::FeedRequests(const std::vector<std::string>& service_uris, HttpClient& http)
    : http_(http) {
  for (const std::string& uri : service_uris) {
    trusted_origins_.push_back(url_origin(uri));
    if (trusted_origins_.back().scheme != "https")
      throw Failure("configuration: a service URI is not https");
  }
}

void FeedRequests::get(const std::string& uri, const std::vector<std::string>& headers,
                       const BodySink& sink) {
  Origin origin;
  try {
    origin = url_origin(uri);
  } catch (const Failure&) {
    throw Failure("a link is not an absolute URL");
  }
  if (std::find(trusted_origins_.begin(), trusted_origins_.end(), origin) ==
      trusted_origins_.end()) {
    throw Failure("refused a link to another origin");
  }
  http_.get(uri, headers, sink);
}

}  // namespace kolvo
