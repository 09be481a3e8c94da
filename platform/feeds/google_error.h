// What Google's JSON APIs say about a refusal, beyond its status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kolvo {

// The parts of an error answer
//   {"error":{"code":403,"errors":[{"reason":"..."}],"details":[{"reason":"...",
//    "metadata":{"service":"drive.googleapis.com"}}]}}
// that tell a passing refusal from a lasting one and what to do about it.
struct GoogleError {
  std::vector<std::string> reasons;  // from "errors" and then "details", in order
  std::string service;               // the first "service" of the details' metadata, if any
};

// Reads an error answer; anything that is not one gives an empty GoogleError. Never throws: the
// answer was a failure already, and its body is only a help.
GoogleError parse_google_error(std::string_view body);

// A quota that refills: the same request may succeed after a wait.
bool is_rate_limited(const GoogleError& error);
// The API the request needs is not enabled in the service account's project.
bool is_api_disabled(const GoogleError& error);

}  // namespace kolvo
