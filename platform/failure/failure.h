// The one exception type the registry client throws, whatever library failed underneath.
#pragma once

#include <stdexcept>
#include <string>

namespace kolvo {

// A failed step of the retrieval. The message names the step and the cause for whoever
// debugs a run; it never holds a token, an assertion, a password or key material.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace kolvo
