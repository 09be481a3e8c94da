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

}  // namespace
}  // namespace kolvo
