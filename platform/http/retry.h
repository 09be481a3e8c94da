// When a failed request is tried again, and how long the program waits before it does.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace kolvo {

// The passing of time and the chance in the waits between attempts: a seam, so that tests can
// see the waits without spending them.
class RetryClock {
 public:
  virtual ~RetryClock() = default;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
  // A number in [0, 1), drawn anew each time.
  virtual double random_fraction() = 0;
};

// The clock of the real world: sleeps for real, draws from the system's random source.
RetryClock& system_retry_clock();

// The longest wait between two attempts, whatever the server asks for.
inline constexpr std::chrono::seconds kMaxRetryWait{32};
// The most retries a build may ask for.
inline constexpr int kMaxRetries = 10;

// The wait before retry number `retry` (0 for the first): what the answer's Retry-After asks
// for when it gives one, else 2^retry seconds and a random fraction of a second more; never more
// than kMaxRetryWait. Spreading the waits at random keeps many clients from coming back at once.
std::chrono::milliseconds retry_wait(int retry, std::optional<std::chrono::seconds> retry_after,
                                     double random_fraction);

// Statuses that say "not now" rather than "no": too many requests, and the server's own
// failures that pass.
bool is_retryable_status(long status);

// The delay-seconds form of a Retry-After header value ("120"); nullopt for anything else,
// the HTTP-date form included (the program then waits as it would without one).
std::optional<std::chrono::seconds> parse_retry_after(std::string_view value);

}  // namespace kolvo
