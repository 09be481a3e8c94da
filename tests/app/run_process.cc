#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace testing_support {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  std::vector<std::string> command = options.wrapper;
  command.insert(command.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& arg : command) args.push_back(arg.data());
  args.push_back(nullptr);

  // The environment is put together before the fork: the child of a threaded process should
  // call nothing that allocates.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const bool replaced = std::any_of(
        options.environment.begin(), options.environment.end(), [&](const std::string& mine) {
          const std::size_t equals = mine.find('=');
          return text.substr(0, text.find('=')) == std::string_view(mine).substr(0, equals);
        });
    if (!replaced) environment.emplace_back(text);
  }
  environment.insert(environment.end(), options.environment.begin(), options.environment.end());
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (options.stdout_terminal) {
    int terminal = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&out_pipe[0], &terminal, nullptr, &raw, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
    close(out_pipe[1]);
    out_pipe[1] = terminal;
  }
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    int out = out_pipe[1];
    if (!options.stdout_path.empty())
      out = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (options.stdout_reader_gone) {
      int gone[2];
      if (pipe(gone) != 0) _exit(126);
      close(gone[0]);
      out = gone[1];
    }
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err_pipe[1], 2) < 0)
      _exit(126);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0)
      _exit(126);
    signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  ProcessResult result;
  int fds[2] = {out_pipe[0], err_pipe[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  while (fds[0] >= 0 || fds[1] >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (poll(polled, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || polled[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close_fd(fds[i]);
      }
    }
  }
  close_fd(fds[0]);
  close_fd(fds[1]);
  int status = 0;
  // wait4 rather than waitpid: it also hands back the child's resource usage (its peak RSS).
  rusage usage{};
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      break;
    }
    usleep(1000);
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  result.peak_rss_kib = usage.ru_maxrss;  // Linux reports it in KiB
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace testing_support
