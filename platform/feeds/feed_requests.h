// The HTTPS requests of a spreadsheets service, shared by the wire formats.
#pragma once

#include <string>
#include <vector>

#include "platform/http/http.h"

namespace kolvo {

// Sends a service's GET requests, and only to the origins (scheme, host, port) of the service's
// own addresses: the headers carry the bearer token, so a feed must not be able to steer them
// elsewhere by a link.
class FeedRequests {
 public:
  // Trusts the origins of these addresses. Throws Failure when one is not an https URL. The
  // client must outlive this.
  FeedRequests(const std::vector<std::string>& service_uris, HttpClient& http);

  // Throws Failure, before anything is sent, when uri is not absolute or has another origin;
  // otherwise as HttpClient::get.
  void get(const std::string& uri, const std::vector<std::string>& headers, const BodySink& sink);

 private:
  std::vector<Origin> trusted_origins_;
  HttpClient& http_;
};

}  // namespace kolvo
