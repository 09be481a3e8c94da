// Runs a program and writes its peak resident set size, in KiB as wait4 reports it, to a file:
//
//   peak_rss_launcher REPORT_FILE PROGRAM [ARG...]
//
// A child's ru_maxrss counts the pages it shared with its parent when it was forked, and exec
// does not reset that. Forked straight from a test process that holds a large fake feed, the
// program would seem to use whatever the test process held. Forked from this small, freshly
// started launcher it carries only the launcher's own megabyte or so.
//
// Standard streams pass through untouched. The launcher ends as the program did: the same exit
// status, or the same signal. If the launcher is killed, the program is killed with it.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: peak_rss_launcher REPORT_FILE PROGRAM [ARG...]\n", stderr);
    return 125;
  }
  const pid_t launcher = getpid();
  const pid_t child = fork();
  if (child < 0) return 125;
  if (child == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != launcher) _exit(125);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 125;
  }
  std::FILE* report = std::fopen(argv[1], "w");
  if (report == nullptr) return 125;
  const bool reported = std::fprintf(report, "%ld\n", usage.ru_maxrss) > 0;
  if (std::fclose(report) != 0 || !reported) return 125;
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    return 128 + sig;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
