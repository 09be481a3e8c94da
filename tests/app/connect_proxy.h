// A forward proxy on loopback that speaks only CONNECT, the way an HTTPS proxy is used: it
// opens a tunnel to the loopback port asked for and relays the bytes both ways, unread. For
// tests of what a proxy in the middle gets to see.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class ConnectProxy {
 public:
  // Listens on an ephemeral loopback port at once. Throws std::runtime_error.
  ConnectProxy();
  ~ConnectProxy();  // stops and joins
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  int port() const;
  // The request heads received so far, "CONNECT 127.0.0.1:18443 HTTP/1.1\r\n..." each. A tunnel
  // to anything but 127.0.0.1 is refused with 403.
  std::vector<std::string> heads() const;
  // Everything the clients sent through the tunnels, in order.
  std::string tunnelled() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
