// HTTPS transport for the token request and the feed queries, over libcurl.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure/failure.h"
#include "platform/http/retry.h"

namespace kolvo {

// The limits of one client. They have no defaults: the program takes its own from its build
// settings, and any other client says what it wants. A zero timeout is no timeout at all, and a
// zero stall or body limit fails every request.
struct HttpOptions {
  std::string ca_bundle;  // PEM file of trusted CAs; empty trusts the system store
  long connect_timeout_seconds = 0;
  long stall_timeout_seconds = 0;    // a transfer that receives no byte for this long fails
  long request_timeout_seconds = 0;  // whole request, so a slow drip cannot hold a run
  // All requests of the client, from its making: a run of many requests, each just within its
  // own limits, still ends. Then the request under way stops, and no request or retry starts.
  long run_timeout_seconds = 0;
  std::uint64_t max_body_bytes = 0;  // after decompression

  // How many times a request is tried again (at most kMaxRetries) when it failed before any of
  // its body was handed on: no answer at all (the connection failed before the status line), a
  // status of is_retryable_status(), or a refusal that also_retry accepts. 0: never.
  int retries = 0;
  std::function<bool(long status, std::string_view body)> also_retry;
  RetryClock* retry_clock = nullptr;  // the real one when null
};

// A request the server refused, with a status other than 2xx, before any of its body was handed
// on. Its what() is "HTTP <status>"; the start of the answer's body is kept for whoever can read
// more out of it.
class HttpStatusError : public Failure {
 public:
  HttpStatusError(long status, std::string body, std::optional<std::chrono::seconds> retry_after);
  long status() const { return status_; }
  const std::string& body() const { return body_; }
  std::optional<std::chrono::seconds> retry_after() const { return retry_after_; }

 private:
  long status_;
  std::string body_;
  std::optional<std::chrono::seconds> retry_after_;
};

// A request that got no answer: the connection failed, or went quiet, before the status line.
class HttpConnectionError : public Failure {
 public:
  using Failure::Failure;
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
  std::optional<std::chrono::seconds> retry_after;  // from a Retry-After header
};

// Receives a response body piece by piece, as the bytes arrive, from within the transfer: the
// piece is only valid during the call, and the peer's next bytes wait in the socket meanwhile.
using BodySink = std::function<void(std::string_view chunk)>;

// One connection-reusing HTTPS client, on the caller's thread. Only https is spoken, over TLS
// 1.2 or later, TLS peers are always verified, compressed responses are asked for and redirects
// are never followed. Every failure (transport, TLS, limits, a throw from a sink) is thrown as
// Failure. A request that fails before any of its body was handed on is tried again as the
// options say; one that fails later never is, as the sink has seen part of the answer.
class HttpClient {
 public:
  explicit HttpClient(HttpOptions options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Starts opening a connection to the origin of each URL, without waiting: an unauthenticated
  // "HEAD /", whose answer is ignored, since only a connection that carried a request is kept
  // for the next. They go on while later requests run, and a request to one of these origins
  // first waits for its warm-up, so that it takes that connection instead of opening another.
  // A warm-up that fails costs nothing: that request connects as it would have anyway. The
  // origin of next_url, the request about to be made, is left out: that request opens it.
  void warm_up(const std::vector<std::string>& urls, const std::string& next_url);

  // GET with the given extra header lines. A status other than 2xx throws HttpStatusError, and
  // no answer at all HttpConnectionError, before any byte reaches the sink.
  void get(const std::string& url, const std::vector<std::string>& headers, const BodySink& sink);

  // POST of a form body. Returns whatever status the server answered last, with its body; no
  // answer at all throws HttpConnectionError.
  HttpResponse post_form(const std::string& url, std::string_view form);

 private:
  void get_once(const std::string& url, const std::vector<std::string>& headers,
                const BodySink& sink);
  HttpResponse post_once(const std::string& url, std::string_view form);
  // Whether a failed attempt is worth another; waits before saying yes.
  bool retry_after_waiting(int retry, const HttpStatusError* refusal);

  struct Handles;
  std::unique_ptr<Handles> handles_;
  HttpOptions options_;
  std::chrono::steady_clock::time_point run_deadline_;  // when options_ set a run timeout
};

}  // namespace kolvo
