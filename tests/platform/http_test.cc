// The HTTPS client against the loopback fake: a body reaches the sink whole and in order while
// the transfer runs on its own thread, and a sink that fails or falls behind is handled as the
// retrieval needs.
#include "platform/http/http.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "fake_service.h"
#include "http_options.h"
#include "platform/failure/failure.h"
#include "recording_retry_clock.h"

namespace kolvo {
namespace {

const std::string kPki = TEST_PKI_DIR;

// The fake answers its token path without a bearer check, so a canned answer there can be
// fetched with a plain GET.
constexpr char kPath[] = "/token";

fake::FakeService& service() {
  static const std::unique_ptr<fake::FakeService> fake = [] {
    fake::ServiceOptions options;
    options.pki_dir = kPki;
    auto started = std::make_unique<fake::FakeService>(options);
    started->start();
    return started;
  }();
  return *fake;
}

void serve(int status, std::string body) {
  fake::Scenario scenario;
  // Not a text type: the fake's HTTP server would compress that on its own, slowly.
  scenario.overrides[kPath] = {status, "application/octet-stream", std::move(body)};
  service().set_scenario(std::move(scenario));
}

HttpOptions options(long stall_seconds = 5) {
  HttpOptions http = testing_support::test_http_options(kPki + "/ca.pem");
  http.connect_timeout_seconds = 3;
  http.stall_timeout_seconds = stall_seconds;
  http.request_timeout_seconds = 30;
  return http;
}

// Bytes that differ from line to line, so a piece lost, doubled or moved shows.
std::string numbered_lines(std::size_t bytes) {
  std::string text;
  text.reserve(bytes + 32);
  for (std::size_t line = 0; text.size() < bytes; ++line) {
    text += "line " + std::to_string(line) + " of the body\n";
  }
  text.resize(bytes);
  return text;
}

TEST(HttpClientTest, BodiesOfEverySizeArriveWholeAndInOrder) {
  HttpClient http(options());
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{256} << 10,
                                 (std::size_t{256} << 10) + 1, std::size_t{5} << 20}) {
    const std::string body = numbered_lines(size);
    serve(200, body);
    std::string received;
    http.get(service().base_url() + kPath, {}, [&](std::string_view piece) {
      EXPECT_FALSE(piece.empty());
      received.append(piece);
    });
    EXPECT_EQ(received.size(), body.size());
    EXPECT_TRUE(received == body) << "a body of " << size << " bytes arrived changed";
  }
}

TEST(HttpClientTest, ARefusedStatusFailsBeforeAnyByteReachesTheSink) {
  HttpClient http(options());
  serve(503, numbered_lines(1 << 20));
  bool called = false;
  try {
    http.get(service().base_url() + kPath, {}, [&](std::string_view) { called = true; });
    ADD_FAILURE() << "a 503 was taken";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "HTTP 503");
  }
  EXPECT_FALSE(called);
}

TEST(HttpClientTest, AThrowFromTheSinkEndsTheTransferAndIsWhatIsThrown) {
  HttpClient http(options());
  serve(200, numbered_lines(std::size_t{64} << 20));
  int calls = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    http.get(service().base_url() + kPath, {}, [&](std::string_view) {
      ++calls;
      throw Failure("the sink gave up");
    });
    ADD_FAILURE() << "the transfer went on";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "the sink gave up");
  }
  EXPECT_EQ(calls, 1);
  // Ended there, not after the other 64 MiB.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // The client is still good for the next request.
  serve(200, "after");
  std::string received;
  http.get(service().base_url() + kPath, {},
           [&](std::string_view piece) { received.append(piece); });
  EXPECT_EQ(received, "after");
}

// While the sink is busy the transfer waits for it; that wait is not the peer going quiet, so
// it must not trip the stall limit, however long one piece takes.
TEST(HttpClientTest, ASlowSinkIsNotAStall) {
  HttpClient http(options(1));
  const std::string body = numbered_lines(std::size_t{6} << 20);
  serve(200, body);
  std::string received;
  int calls = 0;
  http.get(service().base_url() + kPath, {}, [&](std::string_view piece) {
    if (++calls == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    received.append(piece);
  });
  EXPECT_TRUE(received == body);
}

// Answers first with these, in turn, then with a 200 and body.
void serve_after(std::vector<fake::CannedResponse> refusals, std::string body) {
  fake::Scenario scenario;
  scenario.overrides[kPath] = {200, "application/octet-stream", std::move(body)};
  scenario.scripted[kPath] = std::move(refusals);
  service().set_scenario(std::move(scenario));
  service().clear_requests();
}

fake::CannedResponse refusal(int status, std::string retry_after = {}, std::string body = "no") {
  fake::CannedResponse response{status, "application/json; charset=UTF-8", std::move(body)};
  if (!retry_after.empty()) response.headers.push_back({"Retry-After", retry_after});
  return response;
}

// Options that retry as asked, waiting on clock.
HttpOptions retrying(int retries, testing_support::RecordingRetryClock& clock) {
  HttpOptions http = options();
  http.retries = retries;
  http.retry_clock = &clock;
  return http;
}

struct RetryCase {
  const char* name;
  int retries;
  std::vector<fake::CannedResponse> refusals;
  bool rate_limits_too;  // also_retry takes a 403 that names a rate limit
  std::string outcome;   // the body received, or the failure's message
  std::vector<long> waits_ms;
  friend void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }
};

class HttpRetryTest : public testing::TestWithParam<RetryCase> {};

// The waits below are for a random fraction of 0.25: 1.25 s, 2.25 s, 4.25 s, ...
TEST_P(HttpRetryTest, TriesAgainOnlyWhatMayPassAndWaitsAsTold) {
  const RetryCase& c = GetParam();
  testing_support::RecordingRetryClock clock;
  HttpOptions asked = retrying(c.retries, clock);
  if (c.rate_limits_too) {
    asked.also_retry = [](long status, std::string_view body) {
      return status == 403 && body.find("rateLimitExceeded") != std::string_view::npos;
    };
  }
  HttpClient http(asked);
  serve_after(c.refusals, "the body");
  std::string outcome;
  try {
    http.get(service().base_url() + kPath, {}, [&](std::string_view piece) { outcome += piece; });
  } catch (const Failure& failure) {
    outcome = failure.what();
  }
  EXPECT_EQ(outcome, c.outcome);
  std::vector<long> waits;
  for (const auto wait : clock.waits) waits.push_back(static_cast<long>(wait.count()));
  EXPECT_EQ(waits, c.waits_ms);
  EXPECT_EQ(service().requests().size(), c.waits_ms.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRetryTest,
    testing::Values(
        RetryCase{"NoRetriesAsked", 0, {refusal(503)}, false, "HTTP 503", {}},
        RetryCase{"PassingFailuresThenTheBody",
                  3,
                  {
                      refusal(503),
                      refusal(500),
                      refusal(502),
                  },
                  false,
                  "the body",
                  {1250, 2250, 4250}},
        RetryCase{"TooManyFailures",
                  2,
                  {refusal(503), refusal(504), refusal(429)},
                  false,
                  "HTTP 429",
                  {1250, 2250}},
        RetryCase{"RetryAfterIsHeededUpToTheLimit",
                  3,
                  {refusal(429, "7"), refusal(503, "0"), refusal(503, "3600")},
                  false,
                  "the body",
                  {7000, 0, 32000}},
        RetryCase{"AnHttpDateIsNotHeeded",
                  1,
                  {refusal(503, "Wed, 21 Oct 2026 07:28:00 GMT")},
                  false,
                  "the body",
                  {1250}},
        RetryCase{"ALastingRefusalIsNotTriedAgain",
                  5,
                  {refusal(404), refusal(503)},
                  false,
                  "HTTP 404",
                  {}},
        RetryCase{"AForbiddenRateLimitOnlyWhenTheCallerSaysSo",
                  5,
                  {refusal(403, "", R"({"error":{"errors":[{"reason":"rateLimitExceeded"}]}})")},
                  true,
                  "the body",
                  {1250}},
        RetryCase{"AnotherForbiddenIsNot",
                  5,
                  {refusal(403, "", R"({"error":{"errors":[{"reason":"forbidden"}]}})")},
                  true,
                  "HTTP 403",
                  {}},
        RetryCase{"ARateLimitWithoutTheCallersWord",
                  5,
                  {refusal(403, "", R"({"error":{"errors":[{"reason":"rateLimitExceeded"}]}})")},
                  false,
                  "HTTP 403",
                  {}}),
    [](const testing::TestParamInfo<RetryCase>& info) { return info.param.name; });

TEST(HttpClientTest, ARefusalKeepsTheStartOfItsBodyForItsReasons) {
  HttpClient http(options());
  serve_after({refusal(403, "", R"({"error":{"code":403}})")}, "");
  try {
    http.get(service().base_url() + kPath, {}, [](std::string_view) {});
    ADD_FAILURE() << "a 403 was taken";
  } catch (const HttpStatusError& refused) {
    EXPECT_EQ(refused.status(), 403);
    EXPECT_EQ(refused.body(), R"({"error":{"code":403}})");
  }
}

// Once any of the body has reached the sink the request is never tried again: the sink would
// see the start of the answer twice.
TEST(HttpClientTest, AFailureAfterPartOfTheBodyIsNeverTriedAgain) {
  testing_support::RecordingRetryClock clock;
  HttpOptions limited = retrying(5, clock);
  limited.max_body_bytes = std::size_t{1} << 20;
  HttpClient http(limited);
  serve_after({}, numbered_lines(std::size_t{4} << 20));
  std::size_t received = 0;
  EXPECT_THROW(http.get(service().base_url() + kPath, {},
                        [&](std::string_view piece) { received += piece.size(); }),
               Failure);
  EXPECT_GT(received, 0u);
  EXPECT_TRUE(clock.waits.empty());
  EXPECT_EQ(service().requests().size(), 1u);
}

// No answer at all, here because nothing listens, is a failure that may pass.
TEST(HttpClientTest, AConnectionThatFailsBeforeAnAnswerIsTriedAgain) {
  testing_support::RecordingRetryClock clock;
  HttpClient http(retrying(2, clock));
  EXPECT_THROW(http.get("https://127.0.0.1:1/nothing", {}, [](std::string_view) {}),
               HttpConnectionError);
  EXPECT_EQ(clock.waits.size(), 2u);
  EXPECT_THROW(http.post_form("https://127.0.0.1:1/token", "a=b"), HttpConnectionError);
  EXPECT_EQ(clock.waits.size(), 4u);
}

TEST(HttpClientTest, ATokenRequestRefusedForNowIsTriedAgain) {
  testing_support::RecordingRetryClock clock;
  HttpClient http(retrying(1, clock));
  serve_after({refusal(503, "2")}, R"({"access_token":"t"})");
  const HttpResponse answer = http.post_form(service().base_url() + kPath, "a=b");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, R"({"access_token":"t"})");
  EXPECT_EQ(clock.waits, std::vector<std::chrono::milliseconds>{std::chrono::seconds(2)});
  // Out of tries, the last answer is what the caller gets.
  serve_after({refusal(503), refusal(503)}, "{}");
  EXPECT_EQ(http.post_form(service().base_url() + kPath, "a=b").status, 503);
}

}  // namespace
}  // namespace kolvo
