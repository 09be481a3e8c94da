// Limits for the HTTP clients that tests make themselves.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/http/http.h"

namespace testing_support {

// HttpOptions has no defaults, and a zero would mean no timeout or a failure at once: these are
// loose enough for every body the tests serve, under the sanitizers too, and tight enough that a
// hung fake fails the test rather than the run.
inline kolvo::HttpOptions test_http_options(std::string ca_bundle = {}) {
  kolvo::HttpOptions options;
  options.ca_bundle = std::move(ca_bundle);
  options.connect_timeout_seconds = 5;
  options.stall_timeout_seconds = 5;
  options.request_timeout_seconds = 20;
  options.max_body_bytes = std::uint64_t{64} << 20;
  return options;
}

}  // namespace testing_support
