// bench-runner: times commands against each other.
//
//   bench-runner [--repeat K] [--warmup W] [--timeout SECONDS] [--expect NAME=FILE]...
//                -- NAME PROGRAM [ARG...] [:: NAME PROGRAM [ARG...]]...
//
// Runs the commands in turn, A B C A B C ..., for W untimed and then K timed rounds (defaults 1
// and 7), so that drift in the machine's state spreads over all of them alike. Each child's
// standard output goes to a pipe that is read and thrown away here: a program writing to
// /dev/null would skip the cost of a real reader, which the listing always has. The pipe is
// drained in large blocks, at least as fast as `| cat > /dev/null` drains it (see run_once).
// Per run it takes the wall time from spawn to reaping, the user + system CPU time and the peak
// resident set (ru_maxrss) from wait4, and prints the medians, one line per command:
//
//   NAME <wall s> <cpu s> <peak rss KiB> <output bytes> <min wall s> <max wall s>
//
// A run fails the whole measurement (exit 1, nothing printed) when its command exits non-zero
// or by a signal, outlives the timeout, or writes a different number of bytes than its first run;
// the first run of a command named in --expect (a warm-up run, when there is one) must also write
// exactly FILE's bytes. That way a run that broke early can never pass for a fast one, and the
// timed runs all read the same way.
//
// The kernel carries the spawning process's peak RSS into the child's ru_maxrss, so this process
// stays small (the expected output is compared from its file, never loaded) and reports its own
// peak on standard error: no child's figure can be below it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Command {
  std::string name;
  std::vector<std::string> argv;
  int expected_fd = -1;  // the file holding the exact output, when it is checked
  std::size_t expected_size = 0;
  bool verified = false;  // one run's output has been compared with the expected output
  std::optional<std::size_t> first_size;
};

struct Sample {
  double wall = 0;
  double cpu = 0;
  long max_rss_kib = 0;
  std::size_t bytes = 0;
};

struct RunError {
  std::string message;
};

int usage() {
  std::fputs(
      "usage: bench-runner [--repeat K] [--warmup W] [--timeout SECONDS] [--expect NAME=FILE]...\n"
      "                    -- NAME PROGRAM [ARG...] [:: NAME PROGRAM [ARG...]]...\n",
      stderr);
  return 2;
}

bool parse_count(const char* text, long min, long max, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && out >= min && out <= max;
}

// Reads size bytes at offset; the expected output is compared piece by piece from the file, never
// held here, because a child's ru_maxrss starts from the size of the process that spawned it.
bool read_exactly(int fd, char* out, std::size_t size, std::size_t offset) {
  while (size > 0) {
    const ssize_t got = pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::size_t>(got);
  }
  return true;
}

double seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

Sample run_once(Command& command, int timeout_seconds) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw RunError{std::string("pipe: ") + std::strerror(errno)};
  // A larger pipe lets a writer that flushes every line run ahead instead of waiting for each
  // read; the kernel may refuse the size (pipe-max-size), and then the default stays.
  fcntl(fds[0], F_SETPIPE_SZ, 1 << 20);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the copy, so only the child's standard output stays open.
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);

  std::vector<char*> argv;
  for (std::string& arg : command.argv) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    throw RunError{command.name + ": cannot start " + command.argv[0] + ": " +
                   std::strerror(spawned)};
  }

  const bool verify = command.expected_fd >= 0 && !command.verified;
  std::size_t bytes = 0;
  bool mismatch = false;
  std::string error;
  static char buffer[1 << 20];
  static char expected[sizeof buffer];
  // The reader never waits in read() or poll(): a writer that flushes every line would wake it
  // for every line, and on a virtual machine each wake-up of a reader on the other core costs
  // the writer an interrupt sent across. It takes what the pipe holds, in reads of up to 1 MiB,
  // then sleeps 200 µs; the 1 MiB pipe holds far more than any writer here writes in that time.
  const auto deadline = start + std::chrono::seconds(timeout_seconds);
  const timespec pause{0, 200'000};
  while (true) {
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (std::chrono::steady_clock::now() > deadline) {
        error = command.name + ": still running after " + std::to_string(timeout_seconds) + " s";
        break;
      }
      nanosleep(&pause, nullptr);
      continue;
    }
    if (got < 0) {
      error = std::string("read: ") + std::strerror(errno);
      break;
    }
    if (got == 0) break;
    const auto n = static_cast<std::size_t>(got);
    if (verify && !mismatch) {
      mismatch = bytes + n > command.expected_size ||
                 !read_exactly(command.expected_fd, expected, n, bytes) ||
                 std::memcmp(expected, buffer, n) != 0;
    }
    bytes += n;
  }
  close(fds[0]);
  // Only this child is ever killed, and only when it overran or its output could not be read.
  if (!error.empty()) kill(pid, SIGKILL);

  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw RunError{std::string("wait4: ") + std::strerror(errno)};
  }
  const auto end = std::chrono::steady_clock::now();
  if (!error.empty()) throw RunError{error};
  if (WIFSIGNALED(status)) {
    throw RunError{command.name + ": killed by signal " + std::to_string(WTERMSIG(status))};
  }
  if (WEXITSTATUS(status) != 0) {
    throw RunError{command.name + ": exit status " + std::to_string(WEXITSTATUS(status))};
  }
  if (verify) {
    if (mismatch || bytes != command.expected_size) {
      throw RunError{command.name + ": output differs from the expected output (" +
                     std::to_string(bytes) + " bytes, expected " +
                     std::to_string(command.expected_size) + ")"};
    }
    command.verified = true;
  }
  if (!command.first_size) command.first_size = bytes;
  if (bytes != *command.first_size) {
    throw RunError{command.name + ": wrote " + std::to_string(bytes) + " bytes, its first run " +
                   std::to_string(*command.first_size)};
  }

  Sample sample;
  sample.wall = std::chrono::duration<double>(end - start).count();
  sample.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  sample.max_rss_kib = usage.ru_maxrss;
  sample.bytes = bytes;
  return sample;
}

template <typename T>
T median(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  long repeat = 7;
  long warmup = 1;
  long timeout = 300;
  std::map<std::string, std::string> expect_files;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (arg == "--repeat") {
      if (!parse_count(value, 1, 1000, repeat)) return usage();
    } else if (arg == "--warmup") {
      if (!parse_count(value, 0, 100, warmup)) return usage();
    } else if (arg == "--timeout") {
      if (!parse_count(value, 1, 86400, timeout)) return usage();
    } else if (arg == "--expect") {
      const std::string pair = value;
      const std::size_t eq = pair.find('=');
      if (eq == std::string::npos || eq == 0) return usage();
      expect_files[pair.substr(0, eq)] = pair.substr(eq + 1);
    } else {
      return usage();
    }
  }

  std::vector<Command> commands;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "::") {
      if (commands.empty() || commands.back().argv.empty()) return usage();
      commands.emplace_back();
      continue;
    }
    if (commands.empty()) commands.emplace_back();
    if (commands.back().name.empty()) {
      commands.back().name = arg;
    } else {
      commands.back().argv.push_back(arg);
    }
  }
  if (commands.empty() || commands.back().argv.empty()) return usage();

  for (auto& [name, path] : expect_files) {
    auto it = std::find_if(commands.begin(), commands.end(),
                           [&](const Command& c) { return c.name == name; });
    if (it == commands.end()) {
      std::fprintf(stderr, "bench-runner: --expect names no command: %s\n", name.c_str());
      return 2;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
      std::fprintf(stderr, "bench-runner: cannot read %s\n", path.c_str());
      return 2;
    }
    it->expected_fd = fd;
    it->expected_size = static_cast<std::size_t>(st.st_size);
  }

  // The pipe's reader never goes away early, but a child's own children might.
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::vector<Sample>> samples(commands.size());
  try {
    for (long round = 0; round < warmup + repeat; ++round) {
      for (std::size_t c = 0; c < commands.size(); ++c) {
        const Sample sample = run_once(commands[c], static_cast<int>(timeout));
        if (round >= warmup) samples[c].push_back(sample);
      }
    }
  } catch (const RunError& e) {
    std::fprintf(stderr, "bench-runner: %s\n", e.message.c_str());
    return 1;
  }

  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  std::fprintf(stderr, "bench-runner: own peak RSS %ld KiB\n", self.ru_maxrss);
  for (std::size_t c = 0; c < commands.size(); ++c) {
    std::vector<double> walls, cpus;
    std::vector<long> rss;
    for (const Sample& s : samples[c]) {
      walls.push_back(s.wall);
      cpus.push_back(s.cpu);
      rss.push_back(s.max_rss_kib);
    }
    std::printf("%s %.6f %.6f %ld %zu %.6f %.6f\n", commands[c].name.c_str(), median(walls),
                median(cpus), median(rss), samples[c].front().bytes,
                *std::min_element(walls.begin(), walls.end()),
                *std::max_element(walls.begin(), walls.end()));
  }
  return 0;
}
