// A scripted HTTPS server for the faults cpp-httplib cannot produce: it stands on the program's
// fixed loopback port, passes requests through to the fake service (or answers them from canned
// responses) and breaks the answer to one chosen request path in a chosen way.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fault {

// How the answer to the faulted path is broken. Every fault ends that connection.
enum class Fault {
  none,
  reset,              // Content-Length, half the body, then a TCP reset (SO_LINGER 0)
  short_body,         // the whole body, but Content-Length promises more; then a clean close
  truncated_chunked,  // the whole body in valid chunks, then a close without the last chunk
  stall,              // Content-Length, half the body, then silence until the client hangs up
  drip,               // Content-Length, then one body byte every 500 ms until the client hangs up
};

struct Response {
  int status = 200;
  // Sent as given, after the status line; framing (Content-Length, Transfer-Encoding) and
  // Connection are the server's own.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

struct FaultServerOptions {
  std::string pki_dir;    // serves server.pem/server.key; trusts ca.pem for the upstream
  int port = 0;           // on 127.0.0.1; 0 = ephemeral
  int upstream_port = 0;  // the fake service on 127.0.0.1; 0 = canned answers only
};

class FaultServer {
 public:
  explicit FaultServer(FaultServerOptions options);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  void start();  // throws std::runtime_error if it cannot listen
  void stop();   // idempotent; ends every connection and joins every thread
  int port() const;

  void set_upstream_port(int port);
  // Everything below is keyed by request path without the query, exactly as sent.
  void set_fault(const std::string& path, Fault fault);
  void set_canned(const std::string& path, Response response);
  // Requests for `path` are passed upstream as requests for `upstream_path`.
  void set_alias(const std::string& path, const std::string& upstream_path);
  // Forgets faults, canned answers, aliases, the request log and the counters.
  void reset_script();

  std::vector<std::string> requested_paths() const;  // in arrival order
  int faults_injected() const;
  // For the last stall or drip since reset_script() that the client ended: how long after the
  // server went quiet (stall) or sent the head (drip) the client hung up.
  std::optional<std::chrono::milliseconds> client_gave_up_after() const;
  // The largest body, in bytes as put on the wire (after any content coding), of any answer
  // since reset_script(); a faulted answer counts with its whole body, however little of it
  // was delivered.
  std::size_t largest_body() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace fault
