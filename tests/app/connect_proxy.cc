#include "connect_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace {

constexpr int kPollMs = 100;
constexpr std::size_t kMaxHead = 8192;

class Socket {
 public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace

struct ConnectProxy::Impl {
  Socket listener{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  int port = 0;
  std::atomic<bool> stopping{false};
  mutable std::mutex mutex;
  std::vector<std::string> heads;
  std::string tunnelled;
  std::thread thread;

  void serve() {
    while (!stopping) {
      pollfd ready{listener.get(), POLLIN, 0};
      if (poll(&ready, 1, kPollMs) <= 0) continue;
      Socket client(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client.get() >= 0) handle(client.get());
    }
  }

  // Reads the head byte by byte, so that nothing of the tunnel is taken with it.
  std::string read_head(int fd) {
    std::string head;
    while (head.size() < kMaxHead && head.find("\r\n\r\n") == std::string::npos && !stopping) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, kPollMs) <= 0) continue;
      char c;
      if (recv(fd, &c, 1, 0) != 1) return {};
      head += c;
    }
    return head;
  }

  void handle(int client) {
    const std::string head = read_head(client);
    if (head.empty()) return;
    {
      std::lock_guard lock(mutex);
      heads.push_back(head);
    }
    constexpr char kPrefix[] = "CONNECT 127.0.0.1:";
    int target_port = 0;
    if (head.rfind(kPrefix, 0) == 0) target_port = std::atoi(head.c_str() + sizeof kPrefix - 1);
    if (target_port <= 0 || target_port > 65535) {
      const char refusal[] = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
      send_all(client, refusal, sizeof refusal - 1);
      return;
    }
    Socket upstream(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(target_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(upstream.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      const char refusal[] = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
      send_all(client, refusal, sizeof refusal - 1);
      return;
    }
    const char established[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    if (!send_all(client, established, sizeof established - 1)) return;
    relay(client, upstream.get());
  }

  void relay(int client, int upstream) {
    char buffer[65536];
    while (!stopping) {
      pollfd ends[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
      if (poll(ends, 2, kPollMs) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (ends[i].revents == 0) continue;
        const ssize_t got = recv(ends[i].fd, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        if (i == 0) {
          std::lock_guard lock(mutex);
          tunnelled.append(buffer, static_cast<std::size_t>(got));
        }
        if (!send_all(ends[1 - i].fd, buffer, static_cast<std::size_t>(got))) return;
      }
    }
  }
};

ConnectProxy::ConnectProxy() : impl_(std::make_unique<Impl>()) {
  const int fd = impl_->listener.get();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 8) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("the proxy cannot listen on loopback");
  }
  impl_->port = ntohs(address.sin_port);
  impl_->thread = std::thread([this] { impl_->serve(); });
}

ConnectProxy::~ConnectProxy() {
  impl_->stopping = true;
  impl_->thread.join();
}

int ConnectProxy::port() const { return impl_->port; }

std::vector<std::string> ConnectProxy::heads() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->heads;
}

std::string ConnectProxy::tunnelled() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->tunnelled;
}

}  // namespace testing_support
