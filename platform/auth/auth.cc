#include "platform/auth/auth.h"

#include <simdjson.h>

#include <cctype>
#include <chrono>

#include "listing/quote.h"
#include "platform/failure/failure.h"
#include "platform/json/repeated_member.h"

namespace kolvo {
namespace {

std::string base64url(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned group = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(group >> shift) & 0x3F];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const unsigned group = (byte(i) << 16) | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += kAlphabet[(group >> 18) & 0x3F];
    out += kAlphabet[(group >> 12) & 0x3F];
    if (rest == 2) out += kAlphabet[(group >> 6) & 0x3F];
  }
  return out;
}

// Keeps a server-chosen word safe to show on a terminal.
std::string to_printable(std::string_view word) {
  std::string out;
  for (const char c : word) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '_' || c == '-' || c == '.') out += c;
  }
  return out;
}

std::string join_scopes(const std::vector<std::string>& scopes) {
  std::string joined;
  for (const std::string& scope : scopes) {
    if (!joined.empty()) joined += ' ';
    joined += scope;
  }
  return joined;
}

}  // namespace

ServiceAccountCredentialInitializer::ServiceAccountCredentialInitializer(std::string id,
                                                                         std::string token_uri,
                                                                         HttpClient& http)
    : id(std::move(id)), token_uri(std::move(token_uri)), http(&http) {}

ServiceAccountCredentialInitializer& ServiceAccountCredentialInitializer::from_certificate(
    X509Certificate2 certificate) {
  return from_key(ServiceAccountKey{std::move(certificate).take_private_key(), std::nullopt,
                                    std::nullopt, std::nullopt});
}

ServiceAccountCredentialInitializer& ServiceAccountCredentialInitializer::from_key(
    ServiceAccountKey key) {
  this->key = std::move(key);
  return *this;
}

ServiceAccountCredential::ServiceAccountCredential(ServiceAccountCredentialInitializer initializer)
    : initializer_(std::move(initializer)) {
  if (!initializer_.key) throw Failure("credential: no key attached");
  const ServiceAccountKey& key = *initializer_.key;
  if (initializer_.id.empty()) {
    throw Failure("credential: no service account is configured, and the key file names none");
  }
  // Neither an e-mail address nor an endpoint is a secret: both are named, to be compared.
  if (key.client_email && *key.client_email != initializer_.id) {
    throw Failure("key file: the key is for " + *key.client_email +
                  ", not the configured service account " + initializer_.id);
  }
  if (key.token_uri && *key.token_uri != initializer_.token_uri) {
    throw Failure("key file: the key names the token endpoint " + *key.token_uri +
                  ", not the configured " + initializer_.token_uri);
  }
}

std::string ServiceAccountCredential::make_assertion(long long issued_at) const {
  const std::optional<std::string>& key_id = initializer_.key->key_id;
  const std::string header =
      base64url(key_id ? R"({"alg":"RS256","typ":"JWT","kid":)" + quote(*key_id) + "}"
                       : std::string(R"({"alg":"RS256","typ":"JWT"})"));
  const std::string claims = base64url("{\"iss\":" + quote(initializer_.id) +
                                       ",\"scope\":" + quote(join_scopes(initializer_.scopes)) +
                                       ",\"aud\":" + quote(initializer_.token_uri) +
                                       ",\"iat\":" + std::to_string(issued_at) +
                                       ",\"exp\":" + std::to_string(issued_at + 3600) + "}");
  const std::string signing_input = header + '.' + claims;
  return signing_input + '.' + base64url(initializer_.key->signing_key.sign_rs256(signing_input));
}

bool ServiceAccountCredential::request_access_token() {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  // The assertion can be traded for tokens for an hour: no copy of it outlives this call, and
  // neither does the key that signs it once the one token of the run has been asked for.
  std::string assertion = make_assertion(now);
  std::string encoded = percent_encode(assertion);
  std::string form = "grant_type=" + percent_encode("urn:ietf:params:oauth:grant-type:jwt-bearer");
  form.reserve(form.size() + 11 + encoded.size());
  form += "&assertion=";
  form += encoded;
  HttpResponse response;
  struct Cleared {
    std::vector<std::string*> texts;
    std::optional<ServiceAccountKey>& key;
    ~Cleared() {
      for (std::string* text : texts) clear_secret(*text);
      key.reset();
    }
  } cleared{{&assertion, &encoded, &form, &response.body}, initializer_.key};
  try {
    response = initializer_.http->post_form(initializer_.token_uri, form);
  } catch (const Failure& failure) {
    throw Failure(std::string("token request: ") + failure.what());
  }
  token_ = parse_token_response(response.status, response.body);
  return true;
}

TokenResponse parse_token_response(long status, std::string_view body) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  // simdjson copies the body with memcpy, which must not see the null pointer of an empty view.
  const char* const bytes = body.empty() ? "" : body.data();
  const bool is_json = parser.parse(bytes, body.size()).get(root) == simdjson::SUCCESS;
  if (status != 200) {
    std::string cause = "token request: HTTP " + std::to_string(status);
    // The endpoint's error code is a short fixed word (invalid_grant, ...): worth showing.
    std::string_view code;
    if (is_json && root["error"].get(code) == simdjson::SUCCESS && code.size() <= 64) {
      cause += ' ';
      cause += to_printable(code);
    }
    throw Failure(cause);
  }
  if (!is_json) throw Failure("token request: the response is not JSON");
  if (has_repeated_member(root)) throw Failure("token request: the response repeats a member");
  simdjson::dom::element token;
  if (root["access_token"].get(token) != simdjson::SUCCESS) {
    throw Failure("token request: the response has no access_token");
  }
  std::string_view text;
  if (token.get(text) != simdjson::SUCCESS) {
    throw Failure("token request: access_token is not a string");
  }
  if (text.empty()) throw Failure("token request: access_token is empty");
  // The token goes into a header line: a space or a control in it could forge other headers.
  for (const char c : text) {
    if (c < 0x21 || c > 0x7E) throw Failure("token request: access_token has invalid characters");
  }
  return TokenResponse{std::string(text)};
}

}  // namespace kolvo
