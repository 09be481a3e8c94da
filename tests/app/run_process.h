// Runs a program as a child process and captures what it writes, for end-to-end tests.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

struct ProcessResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // -1 when the process did not exit normally
  int signal = 0;        // the signal that ended it, if any
  bool timed_out = false;
  // Peak resident set of the child (wait4's ru_maxrss), in KiB; 0 if it could not be read. It
  // counts the pages the child shared with this process when it was forked: to measure a
  // program alone, start it through a small launcher that forks it and reports its own figure.
  long peak_rss_kib = 0;
  // Wall time from just before the fork until the child was reaped.
  std::chrono::milliseconds elapsed{0};
};

struct ProcessOptions {
  std::string working_directory;
  std::chrono::milliseconds timeout{60000};
  std::string stdout_path;           // when set, stdout goes to this file instead of a pipe
  std::vector<std::string> wrapper;  // prefix to the command line, e.g. {"unshare", "-n"}
  // NAME=VALUE entries set in the child's environment, on top of this process's.
  std::vector<std::string> environment;
  // Standard output is a pipe whose reading end is already closed, as after `| head -n 0`.
  bool stdout_reader_gone = false;
  // The child starts with SIGPIPE ignored, as some process supervisors start their children.
  bool ignore_sigpipe = false;
  // Standard output is a terminal (a pseudo-terminal in raw mode, so its bytes pass unchanged).
  bool stdout_terminal = false;
};

// Runs argv[0] with the given arguments, standard input from /dev/null. A child still running
// at the timeout is killed (by its PID) and reported as timed out.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options);

}  // namespace testing_support
