#include "platform/feeds/google_error.h"

#include <simdjson.h>

#include <algorithm>

namespace kolvo {
namespace {

bool has_reason(const GoogleError& error, std::initializer_list<std::string_view> wanted) {
  return std::any_of(error.reasons.begin(), error.reasons.end(), [&](const std::string& reason) {
    return std::find(wanted.begin(), wanted.end(), reason) != wanted.end();
  });
}

// Reasons and services are short words; anything longer is not what the service sends, and
// must not grow a failure message without bound.
constexpr std::size_t kMaxWord = 64;

void add_reasons(simdjson::dom::element error, const char* member, GoogleError& out) {
  simdjson::dom::array entries;
  if (error[member].get(entries) != simdjson::SUCCESS) return;
  for (simdjson::dom::element entry : entries) {
    std::string_view reason;
    if (entry["reason"].get(reason) == simdjson::SUCCESS && reason.size() <= kMaxWord) {
      out.reasons.emplace_back(reason);
    }
    std::string_view service;
    if (out.service.empty() && entry["metadata"]["service"].get(service) == simdjson::SUCCESS &&
        service.size() <= kMaxWord) {
      out.service = service;
    }
  }
}

}  // namespace

GoogleError parse_google_error(std::string_view body) {
  GoogleError out;
  simdjson::dom::parser parser;
  simdjson::dom::element error;
  const char* const bytes = body.empty() ? "" : body.data();
  if (parser.parse(bytes, body.size())["error"].get(error) != simdjson::SUCCESS) return out;
  add_reasons(error, "errors", out);
  add_reasons(error, "details", out);
  return out;
}

bool is_rate_limited(const GoogleError& error) {
  return has_reason(error, {"rateLimitExceeded", "userRateLimitExceeded"});
}

bool is_api_disabled(const GoogleError& error) {
  return has_reason(error, {"accessNotConfigured", "SERVICE_DISABLED"});
}

}  // namespace kolvo
