// The waits between attempts, and what the answers say that decides them.
#include "platform/http/retry.h"

#include <gtest/gtest.h>

#include "platform/feeds/google_error.h"

namespace kolvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

struct WaitCase {
  int retry;
  std::optional<seconds> retry_after;
  double random_fraction;
  milliseconds wait;
};

TEST(RetryWaitTest, DoublesWithUpToASecondMoreAndNeverPassesThirtyTwoSeconds) {
  for (const WaitCase& c : {
           WaitCase{0, std::nullopt, 0.0, milliseconds(1000)},
           WaitCase{0, std::nullopt, 0.999, milliseconds(1999)},
           WaitCase{1, std::nullopt, 0.5, milliseconds(2500)},
           WaitCase{3, std::nullopt, 0.25, milliseconds(8250)},
           WaitCase{4, std::nullopt, 0.75, milliseconds(16750)},
           WaitCase{5, std::nullopt, 0.0, milliseconds(32000)},
           WaitCase{5, std::nullopt, 0.9, milliseconds(32000)},
           WaitCase{9, std::nullopt, 0.5, milliseconds(32000)},
           WaitCase{70, std::nullopt, 0.5, milliseconds(32000)},
           // The server's word stands instead of the backoff, up to the same limit.
           WaitCase{0, seconds(7), 0.9, milliseconds(7000)},
           WaitCase{4, seconds(0), 0.9, milliseconds(0)},
           WaitCase{0, seconds(3600), 0.0, milliseconds(32000)},
       }) {
    EXPECT_EQ(retry_wait(c.retry, c.retry_after, c.random_fraction), c.wait)
        << "retry " << c.retry << ", fraction " << c.random_fraction;
  }
}

TEST(RetryStatusTest, OnlyTooManyRequestsAndPassingServerFailures) {
  for (const long status : {429L, 500L, 502L, 503L, 504L}) EXPECT_TRUE(is_retryable_status(status));
  for (const long status : {0L, 200L, 302L, 400L, 401L, 403L, 404L, 408L, 501L, 505L, 599L}) {
    EXPECT_FALSE(is_retryable_status(status)) << status;
  }
}

TEST(RetryAfterTest, TakesDelaySecondsOnly) {
  EXPECT_EQ(parse_retry_after("120"), seconds(120));
  EXPECT_EQ(parse_retry_after(" 0 "), seconds(0));
  for (const char* value :
       {"", " ", "-1", "1.5", "12s", "Wed, 21 Oct 2026 07:28:00 GMT", "1234567890", "0x10"}) {
    EXPECT_EQ(parse_retry_after(value), std::nullopt) << value;
  }
}

TEST(GoogleErrorTest, ReadsTheReasonsOfBothShapesAndTheService) {
  const GoogleError error = parse_google_error(
      R"({"error":{"code":403,"message":"m","errors":[{"message":"m","domain":"usageLimits",
          "reason":"accessNotConfigured"}],"status":"PERMISSION_DENIED",
          "details":[{"@type":"type.googleapis.com/google.rpc.ErrorInfo",
          "reason":"SERVICE_DISABLED","domain":"googleapis.com",
          "metadata":{"service":"drive.googleapis.com"}}]}})");
  EXPECT_EQ(error.reasons, (std::vector<std::string>{"accessNotConfigured", "SERVICE_DISABLED"}));
  EXPECT_EQ(error.service, "drive.googleapis.com");
  EXPECT_TRUE(is_api_disabled(error));
  EXPECT_FALSE(is_rate_limited(error));
}

TEST(GoogleErrorTest, TellsARateLimitFromOtherRefusals) {
  for (const char* reason : {"rateLimitExceeded", "userRateLimitExceeded"}) {
    const std::string body = std::string(R"({"error":{"errors":[{"reason":")") + reason + "\"}]}}";
    EXPECT_TRUE(is_rate_limited(parse_google_error(body))) << reason;
  }
  for (const char* body :
       {R"({"error":{"errors":[{"reason":"forbidden"}]}})", R"({"error":{"code":403}})",
        R"({"error":"invalid_grant"})", "<html>403</html>", "", R"({"error":{"errors":7}})",
        R"({"errors":[{"reason":"rateLimitExceeded"}]})"}) {
    const GoogleError error = parse_google_error(body);
    EXPECT_FALSE(is_rate_limited(error)) << body;
    EXPECT_FALSE(is_api_disabled(error)) << body;
  }
}

}  // namespace
}  // namespace kolvo
