#include "platform/http/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <optional>
#include <vector>

#include "platform/failure/failure.h"

namespace kolvo {
namespace {

// Owns one of libcurl's handles, released by its own function.
template <auto release>
struct CurlDeleter {
  template <typename T>
  void operator()(T* handle) const noexcept {
    release(handle);
  }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlDeleter<curl_slist_free_all>>;
using CurlEasy = std::unique_ptr<CURL, CurlDeleter<curl_easy_cleanup>>;
using CurlMulti = std::unique_ptr<CURLM, CurlDeleter<curl_multi_cleanup>>;

void global_init() {
  static const bool initialised = [] {
    // libcurl would write every TLS session key to the file this names, and with them anyone
    // who reads that file can decrypt the token and the registry. It is read when curl sets up
    // TLS, so it goes before the first handle.
#ifdef _WIN32
    _putenv("SSLKEYLOGFILE=");
#else
    unsetenv("SSLKEYLOGFILE");
#endif
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw Failure("curl: global init failed");
    return true;
  }();
  (void)initialised;
}

bool is_success(long status) { return status >= 200 && status <= 299; }

using Clock = std::chrono::steady_clock;

// The state of one transfer, shared with curl's callbacks.
struct Transfer {
  CURL* curl = nullptr;
  // The stall limit: curl's own low-speed check averages over a window of several seconds, so
  // it lets a silent connection hang on for up to twice the limit. Progress is watched here
  // instead, from the last moment any byte moved.
  Clock::duration stall_limit{};
  Clock::time_point last_progress = Clock::now();
  curl_off_t bytes_moved = 0;
  bool stalled = false;
  const BodySink* sink = nullptr;
  std::string* collected = nullptr;  // used instead of sink when set
  std::uint64_t received = 0;
  std::uint64_t limit = 0;
  long refused_status = 0;             // a non-2xx status seen before any body byte was passed on
  std::string error_body;              // the start of a refused answer's body, never passed on
  std::exception_ptr receive_failure;  // a throw while taking the body, rethrown after curl returns
  bool over_limit = false;
};

// Enough of a refusal's body to read the service's reasons from, and no more.
constexpr std::size_t kMaxErrorBody = std::size_t{64} << 10;

// Hands each piece straight to the sink, which parses it while the kernel goes on receiving
// the next ones into the socket: the body is never held here.
std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  if (transfer.sink != nullptr && transfer.received == 0 && transfer.refused_status == 0) {
    long status = 0;
    curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
    if (!is_success(status)) transfer.refused_status = status;
  }
  if (transfer.refused_status != 0) {
    const std::size_t kept = std::min(length, kMaxErrorBody - transfer.error_body.size());
    transfer.error_body.append(data, kept);
    return kept == length ? length : CURL_WRITEFUNC_ERROR;
  }
  transfer.received += length;
  if (transfer.received > transfer.limit) {
    transfer.over_limit = true;
    return CURL_WRITEFUNC_ERROR;
  }
  try {
    if (transfer.collected != nullptr) {
      transfer.collected->append(data, length);
    } else {
      (*transfer.sink)(std::string_view(data, length));
      // Time the sink spent is not the peer going quiet.
      transfer.last_progress = Clock::now();
    }
  } catch (...) {
    transfer.receive_failure = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

int on_progress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto& transfer = *static_cast<Transfer*>(user);
  const Clock::time_point now = Clock::now();
  if (downloaded + uploaded != transfer.bytes_moved) {
    transfer.bytes_moved = downloaded + uploaded;
    transfer.last_progress = now;
    return 0;
  }
  if (now - transfer.last_progress < transfer.stall_limit) return 0;
  transfer.stalled = true;
  return 1;  // aborts the transfer
}

}  // namespace

Origin url_origin(const std::string& url) {
  global_init();
  std::unique_ptr<CURLU, CurlDeleter<curl_url_cleanup>> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    throw Failure("not an absolute URL");
  }
  auto part = [&](CURLUPart which, unsigned flags) {
    char* raw = nullptr;
    if (curl_url_get(parsed.get(), which, &raw, flags) != CURLUE_OK) {
      throw Failure("not an absolute URL");
    }
    std::unique_ptr<char, CurlDeleter<curl_free>> owned(raw);
    return std::string(raw);
  };
  Origin origin{part(CURLUPART_SCHEME, 0), part(CURLUPART_HOST, 0), 0};
  std::transform(origin.scheme.begin(), origin.scheme.end(), origin.scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::transform(origin.host.begin(), origin.host.end(), origin.host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  origin.port = std::stol(part(CURLUPART_PORT, CURLU_DEFAULT_PORT));
  return origin;
}

std::string percent_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    }
  }
  return out;
}

namespace {


CurlEasy new_easy() {
  CurlEasy curl(curl_easy_init());
  if (!curl) throw Failure("curl: cannot create a handle");
  return curl;
}

// Where OpenSSL finds the system's trust store one certificate at a time, by the hash of its
// subject: a run loads the one authority its servers' chains need, where the bundle file of
// the same store (ca-certificates.crt) would have all of them parsed first, in every run.
constexpr char kSystemCaPath[] = "/etc/ssl/certs";

// Everything that stays the same across the requests of one client, set before each one so
// that nothing a previous request changed can leak into the next.
void set_common_options(CURL* curl, const HttpOptions& options, char* error_buffer) {
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  // The run makes one request at a time, so HTTP/2's streams would carry nothing more; HTTP/1.1
  // keeps the connections as plain as the builds before this one had them.
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.ca_bundle.empty()) {
    // A configured bundle is the whole trust store, not an addition to the system's.
    curl_easy_setopt(curl, CURLOPT_CAINFO, options.ca_bundle.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  } else {
#ifdef _WIN32
    // Windows keeps its trust store in the system, not in a file OpenSSL could read.
    curl_easy_setopt(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
#else
    curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(curl, CURLOPT_CAPATH, kSystemCaPath);
#endif
  }
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.request_timeout_seconds);
}

void set_transfer(CURL* curl, Transfer& transfer) {
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

}  // namespace

// All transfers of one client run in one multi handle, on the caller's thread: its connection
// cache is what lets a request take the connection a warm-up opened.
struct HttpClient::Handles {
  CurlMulti multi{curl_multi_init()};
  CurlEasy curl = new_easy();  // every request's; its options are set anew for each
  char error[CURL_ERROR_SIZE] = {};
  struct WarmUp {
    Origin origin;
    CurlEasy curl;
    char error[CURL_ERROR_SIZE] = {};
  };
  std::vector<std::unique_ptr<WarmUp>> warm_ups;  // those still under way

  ~Handles() {
    for (const auto& warm_up : warm_ups) curl_multi_remove_handle(multi.get(), warm_up->curl.get());
  }

  // Drives every transfer until `request` has ended, and returns its outcome. Warm-ups that end
  // meanwhile are dropped, whatever their outcome, leaving their connections in the cache.
  CURLcode perform(CURL* request);
  // Drives the transfers until no warm-up to origin is under way.
  void wait_for_warm_up(const Origin& origin);
  // The request set up on `curl`, after any warm-up of its origin, so that it takes that
  // connection; never past the run's deadline, when it has one.
  CURLcode perform(const std::string& url, const HttpOptions& options,
                   Clock::time_point run_deadline) {
    wait_for_warm_up(url_origin(url));
    if (options.run_timeout_seconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(run_deadline - Clock::now());
      if (left.count() <= 0) throw Failure("the run has taken longer than its limit");
      const long request_ms = options.request_timeout_seconds * 1000;
      curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS,
                       request_ms > 0 ? std::min<long>(request_ms, left.count())
                                      : static_cast<long>(left.count()));
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    const CURLcode code = perform(curl.get());
    if (code != CURLE_OK && options.run_timeout_seconds > 0 && Clock::now() >= run_deadline) {
      throw Failure("the run has taken longer than its limit");
    }
    return code;
  }

 private:
  // One round: runs what is ready, then waits for the sockets at most a second. Returns the
  // outcome of `request` once it has ended.
  std::optional<CURLcode> step(CURL* request);
};

std::optional<CURLcode> HttpClient::Handles::step(CURL* request) {
  int running = 0;
  CURLMcode status = curl_multi_perform(multi.get(), &running);
  std::optional<CURLcode> outcome;
  bool ended = false;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    ended = true;
    CURL* done = message->easy_handle;
    const CURLcode result = message->data.result;
    curl_multi_remove_handle(multi.get(), done);
    if (done == request) {
      outcome = result;
    } else {
      std::erase_if(warm_ups, [&](const auto& warm_up) { return warm_up->curl.get() == done; });
    }
  }
  // Whoever waits for a transfer that just ended must hear of it now, not after the wait.
  if (outcome || ended || running == 0) return outcome;
  // Waits no longer than curl's own timers (the timeouts, the progress callback's once a
  // second) allow.
  if (status == CURLM_OK) status = curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
  if (status != CURLM_OK) {
    if (request != nullptr) curl_multi_remove_handle(multi.get(), request);
    throw Failure(std::string("curl: ") + curl_multi_strerror(status));
  }
  return std::nullopt;
}

CURLcode HttpClient::Handles::perform(CURL* request) {
  const CURLMcode added = curl_multi_add_handle(multi.get(), request);
  if (added != CURLM_OK) throw Failure(std::string("curl: ") + curl_multi_strerror(added));
  for (;;) {
    if (const std::optional<CURLcode> outcome = step(request)) return *outcome;
  }
}

void HttpClient::Handles::wait_for_warm_up(const Origin& origin) {
  auto under_way = [&] {
    return std::any_of(warm_ups.begin(), warm_ups.end(),
                       [&](const auto& warm_up) { return warm_up->origin == origin; });
  };
  // Each warm-up has a deadline of its own, so this ends.
  while (under_way()) step(nullptr);
}

HttpClient::HttpClient(HttpOptions options)
    : options_(std::move(options)),
      run_deadline_(Clock::now() + std::chrono::seconds(options_.run_timeout_seconds)) {
  global_init();
  handles_ = std::make_unique<Handles>();
  if (!handles_->multi) throw Failure("curl: cannot create a handle");
}

HttpClient::~HttpClient() = default;

void HttpClient::warm_up(const std::vector<std::string>& urls, const std::string& next_url) {
  std::optional<Origin> next;
  try {
    next = url_origin(next_url);
  } catch (const Failure&) {
    // That request will fail on its own account; the warm-ups may still go.
  }
  for (const std::string& url : urls) {
    Origin origin = url_origin(url);
    const bool known =
        origin == next ||
        std::any_of(handles_->warm_ups.begin(), handles_->warm_ups.end(),
                    [&](const auto& warm_up) { return warm_up->origin == origin; });
    if (known || origin.scheme != "https") continue;
    auto warm_up = std::make_unique<Handles::WarmUp>();
    warm_up->curl = new_easy();
    CURL* curl = warm_up->curl.get();
    set_common_options(curl, options_, warm_up->error);
    const bool ipv6 = origin.host.find(':') != std::string::npos;
    const std::string root = "https://" + (ipv6 ? "[" + origin.host + "]" : origin.host) + ":" +
                             std::to_string(origin.port) + "/";
    curl_easy_setopt(curl, CURLOPT_URL, root.c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    // No longer than connecting and one quiet answer may take, as a request to this origin
    // waits for it.
    curl_easy_setopt(curl, CURLOPT_TIMEOUT,
                     options_.connect_timeout_seconds + options_.stall_timeout_seconds);
    if (curl_multi_add_handle(handles_->multi.get(), curl) != CURLM_OK) continue;
    warm_up->origin = std::move(origin);
    handles_->warm_ups.push_back(std::move(warm_up));
  }
}

namespace {

// The delay a refusal asks for in its Retry-After header, if it gives one.
std::optional<std::chrono::seconds> retry_after(CURL* curl) {
  curl_header* header = nullptr;
  if (curl_easy_header(curl, "Retry-After", 0, CURLH_HEADER, -1, &header) != CURLHE_OK) {
    return std::nullopt;
  }
  return parse_retry_after(header->value);
}

// Failures of the connection itself, which may pass. A certificate that cannot be trusted never
// does, and is not among them.
bool is_connection_failure(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return true;
    default:
      return false;
  }
}

// The one place where curl's outcome of a transfer becomes a Failure.
void check_transfer(CURLcode code, Transfer& transfer, const char* error_buffer) {
  if (transfer.receive_failure) std::rethrow_exception(transfer.receive_failure);
  if (transfer.over_limit) throw Failure("response body exceeds the size limit");
  if (transfer.refused_status != 0) {
    throw HttpStatusError(transfer.refused_status, std::move(transfer.error_body),
                          retry_after(transfer.curl));
  }
  long status = 0;
  curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
  const bool answered = status != 0;
  if (transfer.stalled) {
    if (!answered) throw HttpConnectionError("no answer within the stall limit");
    throw Failure("no data received within the stall limit");
  }
  if (code != CURLE_OK) {
    std::string detail = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code);
    if (!answered && is_connection_failure(code)) throw HttpConnectionError(detail);
    throw Failure(detail);
  }
}

CurlSlist make_header_list(const std::vector<std::string>& headers) {
  CurlSlist list;
  for (const std::string& header : headers) {
    curl_slist* grown = curl_slist_append(list.get(), header.c_str());
    if (grown == nullptr) throw Failure("out of memory");
    list.release();
    list.reset(grown);
  }
  return list;
}

}  // namespace

HttpStatusError::HttpStatusError(long status, std::string body,
                                 std::optional<std::chrono::seconds> retry_after)
    : Failure("HTTP " + std::to_string(status)),
      status_(status),
      body_(std::move(body)),
      retry_after_(retry_after) {}

bool HttpClient::retry_after_waiting(int retry, const HttpStatusError* refusal) {
  if (retry >= std::min(options_.retries, kMaxRetries)) return false;
  if (refusal != nullptr && !is_retryable_status(refusal->status()) &&
      !(options_.also_retry && options_.also_retry(refusal->status(), refusal->body()))) {
    return false;
  }
  RetryClock& clock =
      options_.retry_clock != nullptr ? *options_.retry_clock : system_retry_clock();
  const auto wait = retry_wait(retry, refusal != nullptr ? refusal->retry_after() : std::nullopt,
                               clock.random_fraction());
  // A try that could only start after the run's deadline is not worth the wait.
  if (options_.run_timeout_seconds > 0 && Clock::now() + wait >= run_deadline_) return false;
  clock.sleep(wait);
  return true;
}

// Both errors are thrown only while nothing of the body has reached the sink, so trying again
// hands it the whole answer once.
void HttpClient::get(const std::string& url, const std::vector<std::string>& headers,
                     const BodySink& sink) {
  for (int retry = 0;; ++retry) {
    try {
      get_once(url, headers, sink);
      return;
    } catch (const HttpStatusError& refusal) {
      if (!retry_after_waiting(retry, &refusal)) throw;
    } catch (const HttpConnectionError&) {
      if (!retry_after_waiting(retry, nullptr)) throw;
    }
  }
}

HttpResponse HttpClient::post_form(const std::string& url, std::string_view form) {
  for (int retry = 0;; ++retry) {
    try {
      HttpResponse response = post_once(url, form);
      if (is_success(response.status)) return response;
      const HttpStatusError refusal(response.status, response.body, response.retry_after);
      if (!retry_after_waiting(retry, &refusal)) return response;
    } catch (const HttpConnectionError&) {
      if (!retry_after_waiting(retry, nullptr)) throw;
    }
  }
}

void HttpClient::get_once(const std::string& url, const std::vector<std::string>& headers,
                          const BodySink& sink) {
  CURL* curl = handles_->curl.get();
  handles_->error[0] = '\0';
  set_common_options(curl, options_, handles_->error);
  CurlSlist header_list = make_header_list(headers);
  Transfer transfer;
  transfer.curl = curl;
  transfer.sink = &sink;
  transfer.limit = options_.max_body_bytes;
  transfer.stall_limit = std::chrono::seconds(options_.stall_timeout_seconds);
  set_transfer(curl, transfer);
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list.get());
  const CURLcode code = handles_->perform(url, options_, run_deadline_);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  check_transfer(code, transfer, handles_->error);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // An answer without a body, a redirect for instance, never reaches the write callback.
  if (!is_success(status)) throw HttpStatusError(status, {}, retry_after(curl));
}

HttpResponse HttpClient::post_once(const std::string& url, std::string_view form) {
  CURL* curl = handles_->curl.get();
  handles_->error[0] = '\0';
  set_common_options(curl, options_, handles_->error);
  // No "Expect: 100-continue": it would only add a round trip for a small form.
  CurlSlist header_list =
      make_header_list({"Content-Type: application/x-www-form-urlencoded", "Expect:"});
  HttpResponse response;
  Transfer transfer;
  transfer.curl = curl;
  transfer.collected = &response.body;
  transfer.limit = options_.max_body_bytes;
  transfer.stall_limit = std::chrono::seconds(options_.stall_timeout_seconds);
  set_transfer(curl, transfer);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.data());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list.get());
  const CURLcode code = handles_->perform(url, options_, run_deadline_);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
  check_transfer(code, transfer, handles_->error);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  if (!is_success(response.status)) response.retry_after = retry_after(curl);
  return response;
}

}  // namespace kolvo
