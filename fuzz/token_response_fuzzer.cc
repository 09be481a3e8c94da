// The token endpoint's answer on arbitrary bodies and statuses. The first byte picks the
// status: mostly 200, the only status that can yield a token, otherwise one of the statuses
// the endpoint sends or an arbitrary value from the next bytes. The rest is the body.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/auth/auth.h"
#include "platform/failure/failure.h"

namespace {

struct Input {
  long status = 200;
  std::string_view body;
};

Input split(const std::uint8_t* data, std::size_t size) {
  Input input;
  if (size == 0) return input;
  const std::uint8_t selector = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  static constexpr long kStatuses[] = {0, 201, 204, 301, 400, 401, 403, 404, 429, 500, 503};
  if (selector < 0xC0) {
    input.status = 200;
  } else if (selector < 0xF0) {
    input.status = kStatuses[(selector - 0xC0) % std::size(kStatuses)];
  } else if (rest.size() >= sizeof(std::int32_t)) {
    std::int32_t raw;
    std::memcpy(&raw, rest.data(), sizeof raw);
    input.status = raw;
    rest.remove_prefix(sizeof raw);
  }
  // An empty body is given as a view without storage, as a caller may well pass one.
  if (!rest.empty()) input.body = rest;
  return input;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input input = split(data, size);
  try {
    const kolvo::TokenResponse response = kolvo::parse_token_response(input.status, input.body);
    FUZZ_CHECK(input.status == 200);
    // The token becomes a header line: anything outside visible ASCII could end it early.
    FUZZ_CHECK(!response.access_token.empty());
    for (const char c : response.access_token) {
      const auto byte = static_cast<unsigned char>(c);
      FUZZ_CHECK(byte >= 0x21 && byte <= 0x7E);
    }
  } catch (const kolvo::Failure& failure) {
    // The message reaches a terminal when someone debugs a run: the server's words in it must
    // not carry controls or bytes that a terminal could misread.
    const std::string_view message = failure.what();
    FUZZ_CHECK(message.rfind("token request: ", 0) == 0);
    for (const char c : message) {
      const auto byte = static_cast<unsigned char>(c);
      FUZZ_CHECK(byte >= 0x20 && byte <= 0x7E);
    }
  }
  return 0;
}
