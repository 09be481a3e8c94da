// Service-account sign-in: an RS256-signed JWT exchanged for an OAuth 2.0 access token.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/certificate/certificate.h"
#include "platform/http/http.h"

namespace kolvo {

struct TokenResponse {
  std::string access_token;
};

// What a service-account credential is made from: who signs in, for which scopes, where the
// token is asked for, and the key that signs the request. The token request goes through the
// given client, which must outlive the credential: sharing it with the feed queries lets one
// connection serve both when the hosts are the same.
struct ServiceAccountCredentialInitializer {
  ServiceAccountCredentialInitializer(std::string id, std::string token_uri, HttpClient& http);

  // Attaches the certificate whose private key signs the assertion.
  ServiceAccountCredentialInitializer& from_certificate(X509Certificate2 certificate);
  // Attaches a key as its key file gave it: its private key signs the assertion, and its id,
  // when the file names one, goes into the assertion's header as "kid".
  ServiceAccountCredentialInitializer& from_key(ServiceAccountKey key);

  std::string id;
  std::string token_uri;
  std::vector<std::string> scopes;
  HttpClient* http;
  std::optional<ServiceAccountKey> key;
};

class ServiceAccountCredential {
 public:
  // Throws Failure, before anything is sent, when no key is attached, when no account is named
  // (an empty id), or when the key file names an account other than id or a token endpoint
  // other than token_uri, compared as written: the assertion only ever goes to the configured
  // endpoint, and a key made for another one is a mistake to report rather than to follow.
  explicit ServiceAccountCredential(ServiceAccountCredentialInitializer initializer);

  // Sends the signed assertion to the token URI and blocks for the answer. Throws Failure
  // unless the answer is a 200 whose JSON body carries a non-empty string access_token.
  bool request_access_token();

  // The token of the last successful request, if any.
  const std::optional<TokenResponse>& token() const { return token_; }

  // The assertion for the given issue time: header.claims.signature, base64url. Throws Failure.
  std::string make_assertion(long long issued_at) const;

 private:
  ServiceAccountCredentialInitializer initializer_;
  std::optional<TokenResponse> token_;
};

// Reads a token endpoint's answer. Throws Failure naming the cause: the status, the
// endpoint's "error" code when it gives one, or what is wrong with the body. Never puts a
// token in the message.
TokenResponse parse_token_response(long status, std::string_view body);

}  // namespace kolvo
