#include "platform/http/retry.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string_view>
#include <thread>

namespace kolvo {
namespace {

class SystemRetryClock final : public RetryClock {
 public:
  void sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
  double random_fraction() override {
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine_);
  }

 private:
  std::mt19937_64 engine_{std::random_device{}()};
};

}  // namespace

RetryClock& system_retry_clock() {
  static SystemRetryClock clock;
  return clock;
}

std::chrono::milliseconds retry_wait(int retry, std::optional<std::chrono::seconds> retry_after,
                                     double random_fraction) {
  using std::chrono::milliseconds;
  const milliseconds limit = kMaxRetryWait;
  if (retry_after) return std::min<milliseconds>(*retry_after, limit);
  // 2^5 s is the limit already; a larger shift would only overflow.
  const milliseconds exponential = std::chrono::seconds(std::int64_t{1} << std::min(retry, 5));
  const milliseconds jitter(
      static_cast<std::int64_t>(std::clamp(random_fraction, 0.0, 1.0) * 1000));
  return std::min(exponential + jitter, limit);
}

bool is_retryable_status(long status) {
  return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

std::optional<std::chrono::seconds> parse_retry_after(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty() || value.size() > 9) return std::nullopt;
  std::int64_t seconds = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
  }
  return std::chrono::seconds(seconds);
}

}  // namespace kolvo
