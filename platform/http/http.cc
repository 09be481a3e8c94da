#include "platform/http/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/failure/failure.h"
#include "platform/threads/bounded_queue.h"
#include "platform/threads/thread_name.h"

namespace kolvo {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct CurlPartDeleter {
  void operator()(char* part) const noexcept { curl_free(part); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] {
  // libcurl would write every TLS session key to the file this names, and with them anyone
  // who reads that file can decrypt the token and the registry. It is read when curl sets up
  // TLS, here, while no other thread of the program runs.
#ifdef _WIN32
    _putenv("SSLKEYLOGFILE=");
#else
    unsetenv("SSLKEYLOGFILE");
#endif
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw Failure("curl: global init failed");
  });
}

bool is_success(long status) { return status >= 200 && status <= 299; }

using Clock = std::chrono::steady_clock;

// Hands a body from the thread that receives it to the thread that consumes it, so that
// receiving (TLS, decompression) and consuming (parsing) run at the same time on two cores.
// Bytes travel in blocks, large enough that handing one over costs little, and small enough
// (below the C library's threshold for a mapping of their own) that they come from reused heap
// memory rather than fresh pages, each of which costs a page fault on first touch; at most
// kMaxQueued wait at a time, so a consumer slower than the network holds the transfer back
// instead of letting the body pile up in memory. Consumed blocks come back for reuse, so a long
// body costs no allocation per block. The consumer reads `blocks` directly.
class BodyPipe {
 public:
  static constexpr std::size_t kBlockBytes = std::size_t{64} << 10;
  static constexpr std::size_t kMaxQueued = 8;

  // Receiving side: adds the bytes, handing each full block over, waiting for room while
  // kMaxQueued wait. Once the consumer has cancelled, a hand-over throws its reason.
  void write(const char* data, std::size_t length) {
    while (length > 0) {
      if (filling_.capacity() < kBlockBytes) filling_.reserve(kBlockBytes);
      const std::size_t piece = std::min(kBlockBytes - filling_.size(), length);
      filling_.append(data, piece);
      data += piece;
      length -= piece;
      if (filling_.size() == kBlockBytes) hand_over();
    }
  }
  // Receiving side, once the whole body is in: hands over what is left, then tells the consumer
  // that nothing more will come. Throws as write does.
  void close() {
    if (!filling_.empty()) hand_over();
    blocks.close();
  }

  BoundedQueue<std::string> blocks{kMaxQueued};

 private:
  void hand_over() {
    blocks.push(std::move(filling_));
    filling_ = blocks.take_spare().value_or(std::string());
    filling_.clear();
  }

  std::string filling_;  // receiving side only
};

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
  BodyPipe* pipe = nullptr;
  std::string* collected = nullptr;  // used instead of pipe when set
  std::uint64_t received = 0;
  std::uint64_t limit = 0;
  long refused_status = 0;             // a non-2xx status seen before any body byte was passed on
  std::string error_body;              // the start of a refused answer's body, never passed on
  std::exception_ptr receive_failure;  // a throw while taking the body, rethrown after curl returns
  bool over_limit = false;
};

// Enough of a refusal's body to read the service's reasons from, and no more.
constexpr std::size_t kMaxErrorBody = std::size_t{64} << 10;

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  if (transfer.pipe != nullptr && transfer.received == 0 && transfer.refused_status == 0) {
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
      transfer.pipe->write(data, length);
      // Time spent waiting for the consumer to make room is not the peer going quiet.
      transfer.last_progress = Clock::now();
      // A consumer that gave up ends the transfer now, not at the next block.
      if (transfer.pipe->blocks.cancelled()) return CURL_WRITEFUNC_ERROR;
    }
  } catch (...) {
    transfer.receive_failure = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

int on_progress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto& transfer = *static_cast<Transfer*>(user);
  // A consumer that gave up ends the transfer even while the peer sends nothing.
  if (transfer.pipe != nullptr && transfer.pipe->blocks.cancelled()) return 1;
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
  std::unique_ptr<CURLU, CurlUrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    throw Failure("not an absolute URL");
  }
  auto part = [&](CURLUPart which, unsigned flags) {
    char* raw = nullptr;
    if (curl_url_get(parsed.get(), which, &raw, flags) != CURLUE_OK) {
      throw Failure("not an absolute URL");
    }
    std::unique_ptr<char, CurlPartDeleter> owned(raw);
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

struct HttpClient::Handle {
  CURL* curl = nullptr;
  char error[CURL_ERROR_SIZE] = {};
  ~Handle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

HttpClient::HttpClient(HttpOptions options)
    : handle_(std::make_unique<Handle>()), options_(std::move(options)) {
  global_init();
  handle_->curl = curl_easy_init();
  if (handle_->curl == nullptr) throw Failure("curl: cannot create a handle");
}

HttpClient::~HttpClient() = default;

namespace {

// Everything that stays the same across the requests of one handle, set before each one so
// that nothing a previous request changed can leak into the next.
void set_common_options(CURL* curl, const HttpOptions& options, char* error_buffer) {
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
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
#endif
  }
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, options.request_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

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
  clock.sleep(retry_wait(retry, refusal != nullptr ? refusal->retry_after() : std::nullopt,
                         clock.random_fraction()));
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
  CURL* curl = handle_->curl;
  handle_->error[0] = '\0';
  set_common_options(curl, options_, handle_->error);
  CurlSlist header_list = make_header_list(headers);
  BodyPipe pipe;
  Transfer transfer;
  transfer.curl = curl;
  transfer.pipe = &pipe;
  transfer.limit = options_.max_body_bytes;
  transfer.stall_limit = std::chrono::seconds(options_.stall_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);

  // The transfer runs on a thread of its own while this one hands the body to the sink. The
  // handle is used by that thread alone until it has been joined. Its outcome travels through
  // the pipe: a failed transfer reaches this side after the blocks received before it, and a
  // throw from the sink cancels the pipe, which ends the transfer at curl's next callback.
  std::thread receiver([&]() noexcept {
    name_this_thread("rl-transfer");
    const CURLcode code = curl_easy_perform(curl);
    // Nothing may leave the thread's function, where a throw would end the process.
    try {
      check_transfer(code, transfer, handle_->error);
      long status = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      // An answer without a body, a redirect for instance, never reaches the write callback.
      if (!is_success(status)) throw HttpStatusError(status, {}, retry_after(curl));
      pipe.close();
    } catch (...) {
      pipe.blocks.fail(std::current_exception());
    }
  });
  std::exception_ptr failure;
  try {
    while (std::optional<std::string> block = pipe.blocks.pop()) {
      sink(*block);
      pipe.blocks.recycle(std::move(*block));
    }
  } catch (...) {
    failure = std::current_exception();
    pipe.blocks.cancel(failure);
  }
  receiver.join();
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  if (failure) std::rethrow_exception(failure);
}

HttpResponse HttpClient::post_once(const std::string& url, std::string_view form) {
  CURL* curl = handle_->curl;
  handle_->error[0] = '\0';
  set_common_options(curl, options_, handle_->error);
  // No "Expect: 100-continue": it would only add a round trip for a small form.
  CurlSlist header_list =
      make_header_list({"Content-Type: application/x-www-form-urlencoded", "Expect:"});
  HttpResponse response;
  Transfer transfer;
  transfer.curl = curl;
  transfer.collected = &response.body;
  transfer.limit = options_.max_body_bytes;
  transfer.stall_limit = std::chrono::seconds(options_.stall_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.data());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, nullptr);
  check_transfer(code, transfer, handle_->error);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  if (!is_success(response.status)) response.retry_after = retry_after(curl);
  return response;
}

}  // namespace kolvo
