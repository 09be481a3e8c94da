// bench-link: a TCP relay that stands for a wide-area link between a client and bench-server.
//
//   bench-link --hosts A[,B...] --port N --upstream-port M [--rtt-ms R] [--down-mbit D]
//              [--up-mbit U] [--idle-exit SECONDS] [--log]
//   bench-link --self-test [--rtt-ms R] [--down-mbit D] [--up-mbit U]
//
// It listens on every loopback address given, all on port N, and relays each connection to the
// same address on port M. Each connection is shaped on its own, in each direction:
//
//   delay      every byte reaches the far end half a round trip (R / 2, default 30 ms) after it
//              left, so a request and its answer take R more than on loopback;
//   rate       bytes leave at most at the direction's rate (D towards the client, default
//              50 Mbit/s; U towards the server, default 10 Mbit/s): the data read is cut into
//              pieces of about a millisecond of the rate (a segment at least), and each piece
//              leaves once the one before it has, paced;
//   handshake  the kernel completes a client's TCP handshake with the relay at once, so the
//              relay pays it instead: whatever the client sends first leaves no earlier than one
//              round trip after the connection was accepted. The client's first bytes thus reach
//              the server 1.5 R after its connect() and the first answer is back after 2 R, as
//              over a real link (SYN and SYN-ACK, then the first flight). What it does not see
//              is the wait inside connect(): work between connect() and the first write overlaps
//              that round trip instead of following it. A TLS 1.3 handshake then costs one more
//              round trip, and so a request on a new connection is answered after 3 R;
//   close      an end of stream is passed on after the data before it, with the same delay.
//
// Not modelled: TCP slow start and loss. The window is as if it were open from the start, so a
// large answer costs its size over the rate plus one round trip, a little less than on a real
// path. The pieces are delivered whole: a piece's first byte arrives with its last, up to a
// millisecond late.
//
// The relay stops by itself: when the process that started it is gone, after --idle-exit
// seconds (default 900) with no connection open, and after four hours in any case. --log
// writes a line per connection when it closes. --self-test starts a relay of the given profile
// and a plain TCP sink in this process, measures a new connection's first exchange, a round trip
// on an open connection and a transfer of a known size in each direction, and prints each next
// to what the profile says.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

struct Profile {
  double rtt_ms = 30;
  double down_mbit = 50;  // towards the client
  double up_mbit = 10;    // towards the server
};

// How one direction of one connection is shaped.
struct Link {
  Clock::duration one_way{};
  double bytes_per_second = 0;  // 0: no cap
  Clock::duration hold{};       // how long after the accept the first byte may leave
};

Clock::duration from_seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(Seconds(s));
}

// How late a timed wait ends here, the median of a few: the pumps start their waits that much
// early, so that a piece leaves when it is due and not a timer's lateness after. On this kind of
// virtual machine it is some 70 µs a wait, two of them in every round trip.
Clock::duration timer_lateness() {
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  std::vector<Clock::duration> late;
  for (int i = 0; i < 21; ++i) {
    const Clock::time_point start = Clock::now();
    const timespec wait{0, 1'000'000};
    ppoll(nullptr, 0, &wait, nullptr);
    late.push_back(Clock::now() - start - std::chrono::milliseconds(1));
  }
  std::sort(late.begin(), late.end());
  return std::clamp<Clock::duration>(late[late.size() / 2], {}, std::chrono::microseconds(500));
}

Clock::duration early_by{};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench-link: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void set_nodelay(int fd) {
  // Both ends send their small writes at once; the relay must not hold them for Nagle.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in address(const std::string& host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + host);
  }
  if ((ntohl(a.sin_addr.s_addr) >> 24) != 127) {
    throw std::runtime_error("not a loopback address: " + host);
  }
  return a;
}

int local_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// One direction of a connection: reads src, holds each piece until it is due, writes it to dst.
class Pump {
 public:
  Pump(int src, int dst, Link link, Clock::time_point accepted, std::atomic<bool>& aborted)
      : src_(src), dst_(dst), link_(link), link_free_(accepted + link.hold), aborted_(aborted) {
    piece_ =
        link.bytes_per_second > 0
            ? std::max<std::size_t>(1448, static_cast<std::size_t>(link.bytes_per_second / 1000))
            : kRead;
  }

  // Returns the bytes relayed. Ends after passing on the end of stream, or on an error in either
  // direction (then both sockets are shut, so the other direction ends too).
  std::uint64_t run() {
    // Wake-ups a few microseconds late, not the default 50: a piece is often due in less.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    static thread_local char buffer[kRead];
    bool src_open = true;
    bool want_write = false;
    // Bounded: every pass waits in ppoll for at most a second, and a relay is torn down when
    // the process goes.
    while (!aborted_.load()) {
      Clock::time_point now = Clock::now();
      if (!want_write) {
        const int delivered = deliver(now);
        if (delivered < 0) return fail();
        if (delivered == 2) return relayed_;
        want_write = delivered == 1;
      }

      // A socket not waited for is left out (fd -1): one that has hung up would otherwise end
      // every wait at once.
      pollfd fds[2] = {{-1, POLLIN, 0}, {-1, POLLOUT, 0}};
      if (src_open && queued_ < kMaxQueued) fds[0].fd = src_;
      if (want_write) fds[1].fd = dst_;
      Clock::duration wait = std::chrono::seconds(1);
      if (!want_write && !queue_.empty()) {
        wait = std::max(Clock::duration{}, queue_.front().due - early_by - now);
      }
      wait = std::min<Clock::duration>(wait, std::chrono::seconds(1));
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                             static_cast<long>(ns % 1'000'000'000)};
      const int ready = ppoll(fds, 2, &timeout, nullptr);
      if (ready < 0 && errno != EINTR) return fail();
      if (ready <= 0) continue;
      if (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) want_write = false;
      if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
        const std::size_t room = std::min(kRead, kMaxQueued - queued_);
        const ssize_t got = read(src_, buffer, room);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got < 0) return fail();
        now = Clock::now();
        if (got == 0) {
          src_open = false;
          Piece eof;
          eof.eof = true;
          eof.due = std::max(now, link_free_) + link_.one_way;
          queue_.push_back(std::move(eof));
          continue;
        }
        enqueue(buffer, static_cast<std::size_t>(got), now);
      }
    }
    return relayed_;
  }

 private:
  static constexpr std::size_t kRead = 64 * 1024;
  static constexpr std::size_t kMaxQueued = 8 * 1024 * 1024;
  // Pieces due this close together go out in one write.
  static constexpr Clock::duration kCoalesce = std::chrono::microseconds(50);

  struct Piece {
    std::string bytes;
    std::size_t sent = 0;
    Clock::time_point due;
    bool eof = false;
  };

  void enqueue(const char* data, std::size_t size, Clock::time_point arrived) {
    for (std::size_t offset = 0; offset < size; offset += piece_) {
      Piece p;
      p.bytes.assign(data + offset, std::min(piece_, size - offset));
      const Clock::time_point start = std::max(arrived, link_free_);
      link_free_ =
          link_.bytes_per_second > 0
              ? start + from_seconds(static_cast<double>(p.bytes.size()) / link_.bytes_per_second)
              : start;
      p.due = link_free_ + link_.one_way;
      queued_ += p.bytes.size();
      queue_.push_back(std::move(p));
    }
  }

  // Writes every piece that is due: 0 when done for now, 1 when dst is full, 2 when the end of
  // stream has been passed on, -1 on an error.
  int deliver(Clock::time_point now) {
    while (!queue_.empty() && queue_.front().due <= now + kCoalesce) {
      if (queue_.front().eof) {
        shutdown(dst_, SHUT_WR);
        return 2;
      }
      iovec iov[64];
      int count = 0;
      for (auto it = queue_.begin();
           it != queue_.end() && count < 64 && !it->eof && it->due <= now + kCoalesce;
           ++it, ++count) {
        iov[count].iov_base = it->bytes.data() + it->sent;
        iov[count].iov_len = it->bytes.size() - it->sent;
      }
      const ssize_t wrote = writev(dst_, iov, count);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0 && errno == EAGAIN) return 1;
      if (wrote < 0) return -1;
      auto left = static_cast<std::size_t>(wrote);
      relayed_ += left;
      queued_ -= left;
      while (left > 0) {
        Piece& p = queue_.front();
        const std::size_t take = std::min(left, p.bytes.size() - p.sent);
        p.sent += take;
        left -= take;
        if (p.sent == p.bytes.size()) queue_.pop_front();
      }
      if (!queue_.empty() && queue_.front().sent > 0) return 1;  // a short write: dst is full
    }
    return 0;
  }

  std::uint64_t fail() {
    aborted_ = true;
    shutdown(src_, SHUT_RDWR);
    shutdown(dst_, SHUT_RDWR);
    return relayed_;
  }

  int src_;
  int dst_;
  Link link_;
  Clock::time_point link_free_;
  std::atomic<bool>& aborted_;
  std::size_t piece_ = kRead;
  std::deque<Piece> queue_;
  std::size_t queued_ = 0;
  std::uint64_t relayed_ = 0;
};

struct Listener {
  std::string host;
  int fd = -1;
};

class Relay {
 public:
  Relay(Profile profile, int upstream_port, bool log)
      : profile_(profile), upstream_port_(upstream_port), log_(log) {}

  // Binds host:port (0: any free port) and returns the port.
  int listen_on(const std::string& host, int port) {
    const sockaddr_in a = address(host, port);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      die("cannot bind " + host + ":" + std::to_string(port));
    }
    if (listen(fd, 64) != 0) die("listen");
    listeners_.push_back({host, fd});
    return local_port(fd);
  }

  // Accepts until stop is set, the parent is gone, or nothing happened for idle_exit seconds.
  void serve(const std::atomic<bool>& stop, double idle_exit, double lifetime) {
    const pid_t parent = getppid();
    const Clock::time_point started = Clock::now();
    Clock::time_point last = started;
    while (!stop.load()) {
      std::vector<pollfd> fds;
      for (const Listener& l : listeners_) fds.push_back({l.fd, POLLIN, 0});
      const int ready = poll(fds.data(), fds.size(), 500);
      const Clock::time_point now = Clock::now();
      if (ready < 0 && errno != EINTR) die("poll");
      if (active_.load() > 0) last = now;
      if (getppid() != parent || Seconds(now - last).count() > idle_exit ||
          Seconds(now - started).count() > lifetime) {
        return;
      }
      for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
        if (fds[i].revents & POLLIN) accept_one(listeners_[i]);
      }
    }
  }

  int active() const { return active_.load(); }

 private:
  void accept_one(const Listener& l) {
    const int client = accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
    const Clock::time_point accepted = Clock::now();
    if (client < 0) return;
    const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = address(l.host, upstream_port_);
    if (upstream < 0 || connect(upstream, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      std::fprintf(stderr, "bench-link: cannot reach %s:%d: %s\n", l.host.c_str(), upstream_port_,
                   std::strerror(errno));
      if (upstream >= 0) close(upstream);
      close(client);
      return;
    }
    for (const int fd : {client, upstream}) {
      set_nodelay(fd);
      set_nonblocking(fd);
    }
    const double rtt = profile_.rtt_ms / 1000;
    const Link up{from_seconds(rtt / 2), profile_.up_mbit * 1e6 / 8, from_seconds(rtt)};
    const Link down{from_seconds(rtt / 2), profile_.down_mbit * 1e6 / 8, {}};
    ++active_;
    std::thread([this, client, upstream, up, down, accepted, host = l.host] {
      std::atomic<bool> aborted{false};
      std::uint64_t sent_up = 0;
      std::thread towards_server(
          [&] { sent_up = Pump(client, upstream, up, accepted, aborted).run(); });
      const std::uint64_t sent_down = Pump(upstream, client, down, accepted, aborted).run();
      towards_server.join();
      if (log_) {
        std::lock_guard lock(log_mutex_);
        std::fprintf(stderr,
                     "bench-link: %s upstream port %d: %llu bytes up, %llu down, %.3f s%s\n",
                     host.c_str(), local_port(upstream), static_cast<unsigned long long>(sent_up),
                     static_cast<unsigned long long>(sent_down),
                     Seconds(Clock::now() - accepted).count(), aborted ? ", reset" : "");
      }
      close(client);
      close(upstream);
      --active_;
    }).detach();
  }

  Profile profile_;
  int upstream_port_;
  bool log_;
  std::vector<Listener> listeners_;
  std::atomic<int> active_{0};
  std::mutex log_mutex_;
};

// --self-test --------------------------------------------------------------------------------

// The sink's protocol, one command byte at a time: 'p' is answered with 'p'; 'd' and an 8-byte
// count is answered with that many bytes; 'u', an 8-byte count and that many bytes is answered
// with 'u' once they have all come.
bool read_full(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = read(fd, p, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool write_full(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = write(fd, p, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

void sink_connection(int fd) {
  static const std::string block(64 * 1024, 'x');
  std::vector<char> scratch(64 * 1024);
  char command = 0;
  while (read_full(fd, &command, 1)) {
    std::uint64_t count = 0;
    if (command == 'p') {
      if (!write_full(fd, "p", 1)) break;
    } else if (command == 'd' && read_full(fd, &count, sizeof count)) {
      for (std::uint64_t left = count; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
        if (!write_full(fd, block.data(), n)) return close(fd), void();
        left -= n;
      }
    } else if (command == 'u' && read_full(fd, &count, sizeof count)) {
      for (std::uint64_t left = count; left > 0;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, scratch.size()));
        if (!read_full(fd, scratch.data(), n)) return close(fd), void();
        left -= n;
      }
      if (!write_full(fd, "u", 1)) break;
    } else {
      break;
    }
  }
  close(fd);
}

int connect_to(int port) {
  const sockaddr_in a = address("127.0.0.1", port);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) die("connect");
  set_nodelay(fd);
  return fd;
}

double ms_since(Clock::time_point t) { return Seconds(Clock::now() - t).count() * 1000; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int self_test(const Profile& profile) {
  // The sink, on an ephemeral port of 127.0.0.1; the relay in front of it on another.
  const int sink = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = address("127.0.0.1", 0);
  if (sink < 0 || bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(sink, 16) != 0) {
    die("sink");
  }
  const int sink_port = local_port(sink);
  std::thread([sink] {
    for (int i = 0; i < 64; ++i) {  // more connections than the test makes
      const int fd = accept4(sink, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      set_nodelay(fd);
      std::thread(sink_connection, fd).detach();
    }
  }).detach();
  Relay relay(profile, sink_port, false);
  const int relay_port = relay.listen_on("127.0.0.1", 0);
  std::atomic<bool> stop{false};
  std::thread serving([&] { relay.serve(stop, 600, 600); });

  const double rtt = profile.rtt_ms;
  const double down = profile.down_mbit * 1e6 / 8 / 1000;  // bytes per ms
  const double up = profile.up_mbit * 1e6 / 8 / 1000;
  std::printf(
      "bench-link self-test: %.1f ms round trip, %.1f Mbit/s towards the client, %.1f Mbit/s "
      "towards the server\n",
      rtt, profile.down_mbit, profile.up_mbit);
  std::printf("  timed waits here end %.0f µs late; the relay starts them that much early\n",
              std::chrono::duration<double, std::micro>(early_by).count());

  auto ping = [](int fd) {
    char c = 0;
    return write_full(fd, "p", 1) && read_full(fd, &c, 1) && c == 'p';
  };
  // A new connection's first exchange, five times: connect() returns at once, the answer comes
  // after the handshake's round trip and the exchange's own.
  std::vector<double> first, again, direct;
  for (int i = 0; i < 5; ++i) {
    const auto t = Clock::now();
    const int fd = connect_to(relay_port);
    if (!ping(fd)) die("ping");
    first.push_back(ms_since(t));
    for (int k = 0; k < 2; ++k) {
      const auto t2 = Clock::now();
      if (!ping(fd)) die("ping");
      again.push_back(ms_since(t2));
    }
    close(fd);
    const int plain = connect_to(sink_port);
    if (!ping(plain)) die("ping");  // the sink's first answer waits for its thread to start
    const auto t3 = Clock::now();
    if (!ping(plain)) die("ping");
    direct.push_back(ms_since(t3));
    close(plain);
  }
  std::printf(
      "  new connection, connect and first 1-byte exchange: median %.2f ms of 5 "
      "(profile: 2 round trips, %.2f ms)\n",
      median(first), 2 * rtt);
  std::printf(
      "  1-byte exchange on an open connection: median %.2f ms of 10 (profile: %.2f ms; "
      "without the relay %.3f ms)\n",
      median(again), rtt, median(direct));

  // Transfers of a known size on an open connection: the request's round trip plus the bytes
  // at the rate.
  const int fd = connect_to(relay_port);
  if (!ping(fd)) die("ping");
  const std::uint64_t down_bytes = 8 * 1024 * 1024;
  {
    std::vector<char> scratch(64 * 1024);
    char request[9] = {'d'};
    std::memcpy(request + 1, &down_bytes, 8);
    const auto t = Clock::now();
    if (!write_full(fd, request, sizeof request)) die("write");
    for (std::uint64_t left = down_bytes; left > 0;) {
      const ssize_t got = read(fd, scratch.data(), std::min<std::uint64_t>(left, scratch.size()));
      if (got <= 0) die("read");
      left -= static_cast<std::uint64_t>(got);
    }
    const double took = ms_since(t);
    const double want = rtt + 9 / up + static_cast<double>(down_bytes) / down;
    std::printf(
        "  %llu bytes towards the client: %.1f ms, %.2f Mbit/s after the round trip "
        "(profile: %.1f ms, %.1f Mbit/s)\n",
        static_cast<unsigned long long>(down_bytes), took,
        static_cast<double>(down_bytes) * 8 / 1000 / (took - rtt), want, profile.down_mbit);
  }
  const std::uint64_t up_bytes = 2 * 1024 * 1024;
  {
    std::string request(9 + up_bytes, 'y');
    request[0] = 'u';
    std::memcpy(request.data() + 1, &up_bytes, 8);
    const auto t = Clock::now();
    std::thread writer([&] {
      if (!write_full(fd, request.data(), request.size())) die("write");
    });
    char c = 0;
    if (!read_full(fd, &c, 1) || c != 'u') die("upload answer");
    const double took = ms_since(t);
    writer.join();
    const double want = rtt + static_cast<double>(request.size()) / up + 1 / down;
    std::printf(
        "  %llu bytes towards the server: %.1f ms, %.2f Mbit/s after the round trip "
        "(profile: %.1f ms, %.1f Mbit/s)\n",
        static_cast<unsigned long long>(up_bytes), took,
        static_cast<double>(request.size()) * 8 / 1000 / (took - rtt), want, profile.up_mbit);
  }
  close(fd);
  stop = true;
  serving.join();
  close(sink);
  return 0;
}

int usage() {
  std::fputs(
      "usage: bench-link --hosts A[,B...] --port N --upstream-port M [--rtt-ms R] [--down-mbit D]\n"
      "                  [--up-mbit U] [--idle-exit SECONDS] [--log]\n"
      "       bench-link --self-test [--rtt-ms R] [--down-mbit D] [--up-mbit U]\n",
      stderr);
  return 2;
}

bool parse_number(const char* text, double min, double max, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && out >= min && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  Profile profile;
  std::vector<std::string> hosts;
  double port = 0, upstream_port = 0, idle_exit = 900;
  bool log = false, test = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--log") {
      log = true;
      continue;
    }
    if (arg == "--self-test") {
      test = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    bool ok = true;
    if (arg == "--hosts") {
      std::string list = value;
      for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        hosts.push_back(list.substr(start, comma - start));
        start = comma + 1;
      }
    } else if (arg == "--port") {
      ok = parse_number(value, 1, 65535, port);
    } else if (arg == "--upstream-port") {
      ok = parse_number(value, 1, 65535, upstream_port);
    } else if (arg == "--rtt-ms") {
      ok = parse_number(value, 0, 10000, profile.rtt_ms);
    } else if (arg == "--down-mbit") {
      ok = parse_number(value, 0.01, 100000, profile.down_mbit);
    } else if (arg == "--up-mbit") {
      ok = parse_number(value, 0.01, 100000, profile.up_mbit);
    } else if (arg == "--idle-exit") {
      ok = parse_number(value, 1, 86400, idle_exit);
    } else {
      return usage();
    }
    if (!ok) return usage();
  }
  // A client that goes away mid-write must not end the relay.
  signal(SIGPIPE, SIG_IGN);
  early_by = timer_lateness();
  try {
    if (test) return self_test(profile);
    if (hosts.empty() || port == 0 || upstream_port == 0) return usage();
    // Should the script that started it die without stopping it, so does the relay.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    Relay relay(profile, static_cast<int>(upstream_port), log);
    std::string where;
    for (const std::string& host : hosts) {
      relay.listen_on(host, static_cast<int>(port));
      where += (where.empty() ? "" : " ") + host + ":" + std::to_string(static_cast<int>(port));
    }
    std::printf("listening on %s\n", where.c_str());
    std::fflush(stdout);
    const std::atomic<bool> stop{false};
    relay.serve(stop, idle_exit, 4 * 3600);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench-link: %s\n", e.what());
    return 1;
  }
  return 0;
}
