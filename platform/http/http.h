// HTTPS transport for the token request and the feed queries, over libcurl.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kolvo {

// The limits of one client. They have no defaults: the program takes its own from its build
// settings, and any other client says what it wants. A zero timeout is no timeout at all, and a
// zero stall or body limit fails every request.
struct HttpOptions {
  std::string ca_bundle;  // PEM file of trusted CAs; empty trusts the system store
  long connect_timeout_seconds = 0;
  long stall_timeout_seconds = 0;    // a transfer that receives no byte for this long fails
  long request_timeout_seconds = 0;  // whole request, so a slow drip cannot hold a run
  std::uint64_t max_body_bytes = 0;  // after decompression
};

// Scheme, lower-case host and port (the scheme's default when the URL has none).
struct Origin {
  std::string scheme;
  std::string host;
  long port = 0;
  bool operator==(const Origin&) const = default;
};

// Throws Failure when the text is not an absolute URL.
Origin url_origin(const std::string& url);

// Percent-encodes every byte but the unreserved characters (RFC 3986), so the text stays one
// query value, form value or path segment whatever it holds.
std::string percent_encode(std::string_view text);

struct HttpResponse {
  long status = 0;
  std::string body;
};

// Receives a response body piece by piece, as the bytes arrive.
using BodySink = std::function<void(std::string_view chunk)>;

// One connection-reusing HTTPS client. Only https is spoken, TLS peers are always verified,
// compressed responses are asked for and redirects are never followed. Every failure
// (transport, TLS, limits, a throw from a sink) is thrown as Failure.
class HttpClient {
 public:
  explicit HttpClient(HttpOptions options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // GET with the given extra header lines; a status other than 2xx throws Failure before any
  // byte reaches the sink.
  void get(const std::string& url, const std::vector<std::string>& headers, const BodySink& sink);

  // POST of a form body. Returns whatever status the server answered, with its body.
  HttpResponse post_form(const std::string& url, std::string_view form);

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
  HttpOptions options_;
};

}  // namespace kolvo
