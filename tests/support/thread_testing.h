// For tests of code that runs on several threads: a thread only ever waited for with a time
// limit, so that a hang fails the run instead of holding the suite, and a check that a failure
// that crossed threads is the very exception thrown.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <future>
#include <thread>
#include <utility>

namespace testing_support {

// Longer than any correct case takes on a loaded machine or under ThreadSanitizer.
inline constexpr std::chrono::milliseconds kHangLimit = std::chrono::seconds(10);

// Runs body on a thread of its own. A body still running when join() or the destructor gives
// up on it is a hang: the process ends at once with a message, because the thread cannot be
// stopped and the objects it uses are about to go away.
class TimedThread {
 public:
  explicit TimedThread(std::function<void()> body) : task_(std::move(body)) {
    done_ = task_.get_future();
    thread_ = std::thread(std::move(task_));
  }
  ~TimedThread() {
    if (thread_.joinable()) wait_or_abort();
  }
  TimedThread(const TimedThread&) = delete;
  TimedThread& operator=(const TimedThread&) = delete;

  // Whether the body has ended, waiting for it at most `limit`.
  bool ended_within(std::chrono::milliseconds limit) const {
    return done_.wait_for(limit) == std::future_status::ready;
  }

  // Waits for the body (at most kHangLimit) and rethrows what it threw.
  void join() {
    wait_or_abort();
    done_.get();
  }

 private:
  void wait_or_abort() {
    if (!ended_within(kHangLimit)) {
      std::fprintf(stderr, "a test thread has not ended within %lld ms: taken for a hang\n",
                   static_cast<long long>(kHangLimit.count()));
      std::abort();
    }
    thread_.join();
  }

  std::packaged_task<void()> task_;
  std::future<void> done_;
  std::thread thread_;
};

// Runs body on a TimedThread and waits for it: for a case whose own thread could hang.
inline void run_within_hang_limit(std::function<void()> body) {
  TimedThread(std::move(body)).join();
}

// Expects call to throw exactly the exception object that expected holds, not a copy or another
// of the same type.
inline void expect_throws_exactly(const std::function<void()>& call,
                                  const std::exception_ptr& expected) {
  try {
    call();
    ADD_FAILURE() << "returned instead of throwing";
  } catch (...) {
    EXPECT_EQ(std::current_exception(), expected);
  }
}

}  // namespace testing_support
