#include "fault_server.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace fault {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Every wait in here is cut into slices this long so that stop() is noticed promptly.
constexpr milliseconds kSlice{100};
constexpr seconds kHandshakeTime{5};
constexpr seconds kIdleTime{10};       // a kept-alive connection with no next request
constexpr seconds kUpstreamTime{30};   // the whole exchange with the fake service
constexpr seconds kFaultHoldTime{60};  // the longest a stall or a drip holds a connection
// One byte per pause is 2 bytes a second: never slow enough for a low-speed limit of 1 byte a
// second, so only the client's deadline can end a drip.
constexpr milliseconds kDripPause{500};
constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxRequestBody = 8 << 20;
constexpr std::size_t kMaxUpstreamAnswer = std::size_t{1} << 30;
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kChunkSize = 4096;
constexpr std::size_t kShortBy = 100;  // what a short body promises beyond what it sends

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

std::string ssl_errors() {
  std::string out;
  while (const unsigned long e = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    if (!out.empty()) out += "; ";
    out += text;
  }
  return out;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

using Headers = std::vector<std::pair<std::string, std::string>>;

std::optional<std::string> header_value(const Headers& headers, std::string_view name) {
  for (const auto& [n, v] : headers) {
    if (ascii_lower(n) == name) return v;
  }
  return std::nullopt;
}

// Splits "Name: value" lines (after the first line) of a head ending in an empty line.
std::optional<Headers> parse_header_lines(std::string_view lines) {
  Headers headers;
  while (!lines.empty()) {
    const std::size_t end = lines.find("\r\n");
    const std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 2);
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    headers.emplace_back(std::string(line.substr(0, colon)),
                         std::string(trim(line.substr(colon + 1))));
  }
  return headers;
}

std::optional<std::size_t> parse_size(std::string_view text, int base) {
  text = trim(text);
  if (text.empty() || text.size() > 15) return std::nullopt;
  std::size_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * static_cast<std::size_t>(base) + static_cast<std::size_t>(digit);
  }
  return value;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// One TLS stream over a non-blocking socket. Every operation takes a deadline and gives up
// when the server is stopping.
class Connection {
 public:
  Connection(int fd, SSL_CTX* ctx, const std::atomic<bool>& stopping)
      : fd_(fd), ssl_(SSL_new(ctx)), stopping_(stopping) {
    if (ssl_ != nullptr) SSL_set_fd(ssl_, fd_);
  }
  ~Connection() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  SSL* ssl() const { return ssl_; }

  bool handshake(bool as_server) {
    if (ssl_ == nullptr) return false;
    const auto deadline = Clock::now() + kHandshakeTime;
    while (true) {
      ERR_clear_error();
      const int rc = as_server ? SSL_accept(ssl_) : SSL_connect(ssl_);
      if (rc == 1) return true;
      if (wait_after(rc, deadline) != Wait::ready) return false;
    }
  }

  enum class Read { data, closed, timeout };

  Read read_some(std::string& into, Clock::time_point deadline) {
    char buffer[65536];
    while (true) {
      if (stopping_) return Read::closed;
      std::size_t n = 0;
      ERR_clear_error();
      const int rc = SSL_read_ex(ssl_, buffer, sizeof buffer, &n);
      if (rc == 1) {
        into.append(buffer, n);
        return Read::data;
      }
      switch (wait_after(rc, deadline)) {
        case Wait::ready:
          break;
        case Wait::timed_out:
          return Read::timeout;
        case Wait::ended:
          return Read::closed;
      }
    }
  }

  bool write_all(std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
      if (stopping_) return false;
      std::size_t n = 0;
      ERR_clear_error();
      const int rc = SSL_write_ex(ssl_, data.data(), data.size(), &n);
      if (rc == 1) {
        data.remove_prefix(n);
      } else if (wait_after(rc, deadline) != Wait::ready) {
        return false;
      }
    }
    return true;
  }

  // Waits up to `wait` for the peer to hang up; true once it has (or the server is stopping).
  // Anything the peer sends meanwhile is read and dropped.
  bool peer_gone_within(milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    std::string ignored;
    while (Clock::now() < deadline) {
      if (read_some(ignored, deadline) == Read::closed) return true;
      ignored.clear();
    }
    return stopping_;
  }

  // Ends the connection in order: a TLS close_notify, then, should the peer not hang up on
  // that alone, a FIN. Whoever closes first keeps the port in TIME_WAIT, and a TIME_WAIT on the
  // server's side of the fixed port can stop the next server from binding it; so the peer is
  // given the chance to go first.
  void close_cleanly() {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    if (!peer_gone_within(milliseconds(500))) {
      ::shutdown(fd_, SHUT_WR);
      peer_gone_within(milliseconds(1500));
    }
    close(fd_);
    fd_ = -1;
  }

  // Lets what was written reach the peer, then aborts the connection with a TCP reset: with
  // SO_LINGER at zero, close() sends RST instead of FIN. No TLS close_notify is sent.
  void reset() {
    const auto deadline = Clock::now() + seconds(2);
    int queued = 0;
    while (ioctl(fd_, SIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    std::this_thread::sleep_for(milliseconds(50));
    const linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close(fd_);
    fd_ = -1;
  }

 private:
  enum class Wait { ready, timed_out, ended };

  // After an SSL call returned rc: waits for the socket as OpenSSL asks. `ended` when the call
  // failed for good or the server is stopping.
  Wait wait_after(int rc, Clock::time_point deadline) {
    const int error = SSL_get_error(ssl_, rc);
    short events;
    if (error == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else {
      return Wait::ended;
    }
    if (wait_for(fd_, events, deadline, stopping_)) return Wait::ready;
    return stopping_ ? Wait::ended : Wait::timed_out;
  }

 public:
  // True once fd is ready; false at the deadline, on a poll error or when stopping.
  static bool wait_for(int fd, short events, Clock::time_point deadline,
                       const std::atomic<bool>& stopping) {
    while (!stopping) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return false;
      // Rounded up: a wait cut short to 0 ms would spin, or end before the deadline.
      const auto slice = std::min(std::chrono::ceil<milliseconds>(left), kSlice);
      pollfd p{fd, events, 0};
      const int rc = poll(&p, 1, static_cast<int>(slice.count()));
      if (rc > 0) return true;
      if (rc < 0 && errno != EINTR) return false;
    }
    return false;
  }

 private:
  int fd_;
  SSL* ssl_;
  const std::atomic<bool>& stopping_;
};

struct Request {
  std::string method;
  std::string target;  // path and query as sent
  std::string path;    // without the query
  std::string version;
  Headers headers;
  std::string body;
};

// Reads one request from the connection; the buffer keeps whatever follows it. nullopt when the
// connection ended, idled out or sent something this server does not speak.
std::optional<Request> read_request(Connection& connection, std::string& buffer) {
  const auto deadline = Clock::now() + kIdleTime;
  std::size_t head_end;
  while ((head_end = buffer.find("\r\n\r\n")) == std::string::npos) {
    if (buffer.size() > kMaxHead) return std::nullopt;
    if (connection.read_some(buffer, deadline) != Connection::Read::data) return std::nullopt;
  }
  const std::string_view head = std::string_view(buffer).substr(0, head_end + 2);
  const std::size_t line_end = head.find("\r\n");
  const std::string_view line = head.substr(0, line_end);
  const std::size_t sp1 = line.find(' ');
  const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return std::nullopt;
  Request request;
  request.method = line.substr(0, sp1);
  request.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  request.version = line.substr(sp2 + 1);
  request.path = request.target.substr(0, request.target.find('?'));
  auto headers = parse_header_lines(head.substr(line_end + 2));
  if (!headers) return std::nullopt;
  request.headers = std::move(*headers);
  if (header_value(request.headers, "transfer-encoding")) return std::nullopt;
  std::size_t length = 0;
  if (const auto value = header_value(request.headers, "content-length")) {
    const auto parsed = parse_size(*value, 10);
    if (!parsed || *parsed > kMaxRequestBody) return std::nullopt;
    length = *parsed;
  }
  buffer.erase(0, head_end + 4);
  while (buffer.size() < length) {
    if (connection.read_some(buffer, deadline) != Connection::Read::data) return std::nullopt;
  }
  request.body = buffer.substr(0, length);
  buffer.erase(0, length);
  return request;
}

bool is_hop_by_hop(std::string_view name) {
  const std::string lower = ascii_lower(name);
  return lower == "connection" || lower == "keep-alive" || lower == "content-length" ||
         lower == "transfer-encoding" || lower == "proxy-connection" || lower == "te" ||
         lower == "upgrade";
}

// Undoes chunked framing; nullopt when it is broken.
std::optional<std::string> dechunk(std::string_view framed) {
  std::string body;
  while (true) {
    const std::size_t line_end = framed.find("\r\n");
    if (line_end == std::string_view::npos) return std::nullopt;
    const std::string_view size_text = framed.substr(0, framed.find_first_of(";\r"));
    const auto size = parse_size(size_text, 16);
    if (!size) return std::nullopt;
    framed.remove_prefix(line_end + 2);
    if (*size == 0) return body;
    if (framed.size() < *size + 2) return std::nullopt;
    body.append(framed.substr(0, *size));
    framed.remove_prefix(*size + 2);
  }
}

// A whole answer as read up to the upstream's close: head and body, framing undone.
std::optional<Response> parse_answer(std::string_view raw) {
  const std::size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return std::nullopt;
  const std::string_view head = raw.substr(0, head_end + 2);
  const std::string_view rest = raw.substr(head_end + 4);
  const std::size_t line_end = head.find("\r\n");
  const std::string_view line = head.substr(0, line_end);
  const std::size_t sp = line.find(' ');
  if (sp == std::string_view::npos) return std::nullopt;
  const auto status = parse_size(line.substr(sp + 1, 3), 10);
  if (!status) return std::nullopt;
  auto headers = parse_header_lines(head.substr(line_end + 2));
  if (!headers) return std::nullopt;
  Response response;
  response.status = static_cast<int>(*status);
  const auto encoding = header_value(*headers, "transfer-encoding");
  const auto length = header_value(*headers, "content-length");
  if (encoding && ascii_lower(*encoding) == "chunked") {
    auto body = dechunk(rest);
    if (!body) return std::nullopt;
    response.body = std::move(*body);
  } else if (length) {
    const auto size = parse_size(*length, 10);
    if (!size || *size > rest.size()) return std::nullopt;
    response.body = rest.substr(0, *size);
  } else {
    response.body = rest;
  }
  for (auto& header : *headers) {
    if (!is_hop_by_hop(header.first)) response.headers.push_back(std::move(header));
  }
  return response;
}

std::string status_and_headers(const Response& response, const std::string& framing,
                               bool keep_alive) {
  std::string head =
      "HTTP/1.1 " + std::to_string(response.status) + " " + reason_phrase(response.status) + "\r\n";
  for (const auto& [name, value] : response.headers) {
    if (is_hop_by_hop(name)) continue;
    head += name + ": " + value + "\r\n";
  }
  head += framing;
  head += keep_alive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  head += "\r\n";
  return head;
}

// Whether a server accepts connections on 127.0.0.1:port right now.
bool someone_listens_on(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = poll(&p, 1, 1000) == 1 &&
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  close(fd);
  return connected;
}

}  // namespace

struct FaultServer::Impl {
  explicit Impl(FaultServerOptions o)
      : options(std::move(o)), upstream_port(options.upstream_port) {}

  FaultServerOptions options;
  std::atomic<int> upstream_port;
  std::atomic<int> port{0};
  std::atomic<bool> stopping{false};
  int listen_fd = -1;
  SslCtxPtr server_ctx;
  SslCtxPtr client_ctx;
  std::thread acceptor;

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Worker> workers;  // touched by the acceptor only, and by stop() after joining it

  mutable std::mutex mutex;
  std::map<std::string, Fault> faults;
  std::map<std::string, Response> canned;
  std::map<std::string, std::string> aliases;
  std::vector<std::string> log;
  int injected = 0;
  std::size_t largest = 0;
  std::optional<milliseconds> gave_up_after;

  void accept_loop();
  void serve(int fd);
  std::optional<Response> answer(const Request& request);
  std::optional<Response> forward(const Request& request, const std::string& upstream_path);
  // False when the connection is finished with (every fault ends it).
  bool respond(Connection& connection, const Response& response, Fault fault, bool keep_alive);
  // Notes that the client hung up this long after `since`, unless it was the server that quit.
  void note_give_up(Clock::time_point since) {
    if (stopping) return;
    std::lock_guard lock(mutex);
    gave_up_after = std::chrono::duration_cast<milliseconds>(Clock::now() - since);
  }
};

void FaultServer::Impl::accept_loop() {
  // A client hanging up mid-answer must not kill the test process with SIGPIPE; the
  // connection threads start from this one and inherit the mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  while (!stopping) {
    for (auto it = workers.begin(); it != workers.end();) {
      if (*it->done) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
    if (!Connection::wait_for(listen_fd, POLLIN, Clock::now() + kSlice, stopping)) continue;
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (workers.size() >= kMaxConnections) {
      close(fd);
      continue;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers.push_back({std::thread([this, fd, done] {
                         serve(fd);
                         *done = true;
                       }),
                       done});
  }
}

void FaultServer::Impl::serve(int fd) {
  Connection connection(fd, server_ctx.get(), stopping);
  if (!connection.handshake(true)) return;
  std::string buffer;
  // Bounded like everything else here: a client cannot hold a thread for more requests.
  for (int served = 0; served < 1000 && !stopping; ++served) {
    const auto request = read_request(connection, buffer);
    if (!request) return;
    Fault fault = Fault::none;
    {
      std::lock_guard lock(mutex);
      log.push_back(request->path);
      if (const auto it = faults.find(request->path); it != faults.end()) fault = it->second;
    }
    const auto response = answer(*request);
    if (!response) return;  // the upstream failed: hang up, as a broken gateway would
    const auto connection_header = header_value(request->headers, "connection");
    const bool keep_alive = request->version == "HTTP/1.1" &&
                            !(connection_header && ascii_lower(*connection_header) == "close");
    {
      std::lock_guard lock(mutex);
      largest = std::max(largest, response->body.size());
      if (fault != Fault::none) ++injected;
    }
    if (!respond(connection, *response, fault, keep_alive)) return;
  }
}

std::optional<Response> FaultServer::Impl::answer(const Request& request) {
  std::string upstream_path = request.path;
  {
    std::lock_guard lock(mutex);
    if (const auto it = canned.find(request.path); it != canned.end()) return it->second;
    if (const auto it = aliases.find(request.path); it != aliases.end()) {
      upstream_path = it->second;
    }
  }
  return forward(request, upstream_path);
}

std::optional<Response> FaultServer::Impl::forward(const Request& request,
                                                   const std::string& upstream_path) {
  const int to = upstream_port.load();
  if (to <= 0) return std::nullopt;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  Connection upstream(fd, client_ctx.get(), stopping);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(to));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) return std::nullopt;
    if (!Connection::wait_for(fd, POLLOUT, Clock::now() + kHandshakeTime, stopping)) {
      return std::nullopt;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      return std::nullopt;
    }
  }
  if (upstream.ssl() == nullptr) return std::nullopt;
  X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(upstream.ssl()), "127.0.0.1");
  if (!upstream.handshake(false)) return std::nullopt;

  const std::size_t query = request.target.find('?');
  std::string out = request.method + " " + upstream_path +
                    (query == std::string::npos ? "" : request.target.substr(query)) +
                    " HTTP/1.1\r\n";
  for (const auto& [name, value] : request.headers) {
    const std::string lower = ascii_lower(name);
    if (lower == "connection" || lower == "keep-alive") continue;
    out += name + ": " + value + "\r\n";
  }
  // One exchange per upstream connection: its end then marks the end of the answer.
  out += "Connection: close\r\n\r\n";
  out += request.body;
  const auto deadline = Clock::now() + kUpstreamTime;
  if (!upstream.write_all(out, deadline)) return std::nullopt;
  std::string raw;
  while (raw.size() <= kMaxUpstreamAnswer) {
    const auto read = upstream.read_some(raw, deadline);
    if (read == Connection::Read::timeout) return std::nullopt;
    if (read == Connection::Read::closed) break;
  }
  if (stopping) return std::nullopt;
  return parse_answer(raw);
}

bool FaultServer::Impl::respond(Connection& connection, const Response& response, Fault fault,
                                bool keep_alive) {
  const std::string& body = response.body;
  const std::size_t n = body.size();
  const auto deadline = Clock::now() + kUpstreamTime;
  const std::string length = "Content-Length: " + std::to_string(n) + "\r\n";
  switch (fault) {
    case Fault::none: {
      // Head and body go separately: a body can run to a hundred megabytes.
      if (!connection.write_all(status_and_headers(response, length, keep_alive), deadline) ||
          !connection.write_all(body, deadline)) {
        return false;
      }
      if (!keep_alive) connection.close_cleanly();
      return keep_alive;
    }
    case Fault::reset:
      if (connection.write_all(status_and_headers(response, length, false) + body.substr(0, n / 2),
                               deadline)) {
        connection.reset();
      }
      return false;
    case Fault::short_body: {
      const std::string promised = "Content-Length: " + std::to_string(n + kShortBy) + "\r\n";
      if (connection.write_all(status_and_headers(response, promised, false), deadline) &&
          connection.write_all(body, deadline)) {
        connection.close_cleanly();
      }
      return false;
    }
    case Fault::truncated_chunked: {
      std::string out = status_and_headers(response, "Transfer-Encoding: chunked\r\n", false);
      for (std::size_t at = 0; at < n; at += kChunkSize) {
        const std::size_t size = std::min(kChunkSize, n - at);
        char size_line[32];
        std::snprintf(size_line, sizeof size_line, "%zx\r\n", size);
        out += size_line;
        out.append(body, at, size);
        out += "\r\n";
      }
      // The last chunk ("0\r\n\r\n") never comes.
      if (connection.write_all(out, deadline)) connection.close_cleanly();
      return false;
    }
    case Fault::stall:
      if (connection.write_all(status_and_headers(response, length, false) + body.substr(0, n / 2),
                               deadline)) {
        const auto quiet_since = Clock::now();
        if (connection.peer_gone_within(kFaultHoldTime)) note_give_up(quiet_since);
      }
      return false;
    case Fault::drip: {
      if (!connection.write_all(status_and_headers(response, length, false), deadline)) {
        return false;
      }
      const auto head_sent = Clock::now();
      const auto until = head_sent + kFaultHoldTime;
      for (std::size_t at = 0; Clock::now() < until; ++at) {
        // Past the end of the body the drip runs dry but the connection stays open.
        if ((at < n && !connection.write_all(body.substr(at, 1), until)) ||
            connection.peer_gone_within(kDripPause)) {
          note_give_up(head_sent);
          return false;
        }
      }
      return false;
    }
  }
  return false;
}

FaultServer::FaultServer(FaultServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

FaultServer::~FaultServer() { stop(); }

void FaultServer::start() {
  Impl& d = *impl_;
  if (d.listen_fd >= 0) throw std::runtime_error("fault server already started");
  const std::string dir = d.options.pki_dir.empty() ? "." : d.options.pki_dir;

  d.server_ctx.reset(SSL_CTX_new(TLS_server_method()));
  d.client_ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!d.server_ctx || !d.client_ctx) throw std::runtime_error("SSL_CTX_new: " + ssl_errors());
  for (SSL_CTX* ctx : {d.server_ctx.get(), d.client_ctx.get()}) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }
  if (SSL_CTX_use_certificate_chain_file(d.server_ctx.get(), (dir + "/server.pem").c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(d.server_ctx.get(), (dir + "/server.key").c_str(),
                                  SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("cannot load server.pem / server.key from " + dir + ": " +
                             ssl_errors());
  }
  if (SSL_CTX_load_verify_locations(d.client_ctx.get(), (dir + "/ca.pem").c_str(), nullptr) != 1) {
    throw std::runtime_error("cannot load " + dir + "/ca.pem: " + ssl_errors());
  }
  SSL_CTX_set_verify(d.client_ctx.get(), SSL_VERIFY_PEER, nullptr);

  if (d.options.port != 0 && someone_listens_on(d.options.port)) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(d.options.port) +
                             ": address in use by a running server");
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  // Connections of an earlier server on this port may linger in TIME_WAIT. The fake service
  // binds with SO_REUSEPORT alone and this server with both flags, so that each can bind past
  // the other's leftovers; the check above stands in for the "in use" error the flags give up.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(d.options.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    const std::string why = std::strerror(errno);
    close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(d.options.port) + ": " +
                             why);
  }
  d.port = ntohs(address.sin_port);
  d.listen_fd = fd;
  d.stopping = false;
  d.acceptor = std::thread([&d] { d.accept_loop(); });
}

void FaultServer::stop() {
  Impl& d = *impl_;
  if (d.listen_fd < 0) return;
  d.stopping = true;
  if (d.acceptor.joinable()) d.acceptor.join();
  for (auto& worker : d.workers) worker.thread.join();
  d.workers.clear();
  close(d.listen_fd);
  d.listen_fd = -1;
  d.port = 0;
}

int FaultServer::port() const { return impl_->port.load(); }

void FaultServer::set_upstream_port(int port) { impl_->upstream_port = port; }

void FaultServer::set_fault(const std::string& path, Fault fault) {
  std::lock_guard lock(impl_->mutex);
  impl_->faults[path] = fault;
}

void FaultServer::set_canned(const std::string& path, Response response) {
  std::lock_guard lock(impl_->mutex);
  impl_->canned[path] = std::move(response);
}

void FaultServer::set_alias(const std::string& path, const std::string& upstream_path) {
  std::lock_guard lock(impl_->mutex);
  impl_->aliases[path] = upstream_path;
}

void FaultServer::reset_script() {
  std::lock_guard lock(impl_->mutex);
  impl_->faults.clear();
  impl_->canned.clear();
  impl_->aliases.clear();
  impl_->log.clear();
  impl_->injected = 0;
  impl_->largest = 0;
  impl_->gave_up_after.reset();
}

std::vector<std::string> FaultServer::requested_paths() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

int FaultServer::faults_injected() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->injected;
}

std::optional<milliseconds> FaultServer::client_gave_up_after() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->gave_up_after;
}

std::size_t FaultServer::largest_body() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->largest;
}

}  // namespace fault
