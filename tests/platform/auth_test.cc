#include "platform/auth/auth.h"

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "http_options.h"
#include "json_key_file.h"
#include "jwt.h"
#include "platform/failure/failure.h"
#include "platform/feeds/gdata/gdata.h"

namespace kolvo {
namespace {

const std::string kPki = TEST_PKI_DIR;

struct TokenCase {
  const char* name;
  friend void PrintTo(const TokenCase& c, std::ostream* os) { *os << c.name; }
  long status;
  std::string body;
  std::string failure;  // empty: success
};

class TokenResponseTest : public testing::TestWithParam<TokenCase> {};

TEST_P(TokenResponseTest, AcceptsOnlyA200WithANonEmptyStringToken) {
  const TokenCase& c = GetParam();
  if (c.failure.empty()) {
    EXPECT_EQ(parse_token_response(c.status, c.body).access_token, "ya29.tok-EN_1");
    return;
  }
  try {
    parse_token_response(c.status, c.body);
    FAIL() << "accepted";
  } catch (const Failure& failure) {
    EXPECT_EQ(std::string(failure.what()), c.failure);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TokenResponseTest,
    testing::Values(
        TokenCase{"Valid", 200,
                  R"({"access_token":"ya29.tok-EN_1","token_type":"Bearer","expires_in":3599})",
                  ""},
        TokenCase{"NotJson", 200, "<html>ok</html>", "token request: the response is not JSON"},
        TokenCase{"NoToken", 200, R"({"token_type":"Bearer"})",
                  "token request: the response has no access_token"},
        TokenCase{"NumberToken", 200, R"({"access_token":42})",
                  "token request: access_token is not a string"},
        TokenCase{"NullToken", 200, R"({"access_token":null})",
                  "token request: access_token is not a string"},
        TokenCase{"EmptyToken", 200, R"({"access_token":""})",
                  "token request: access_token is empty"},
        TokenCase{"HeaderInjection", 200, R"({"access_token":"t\r\nX-Evil: 1"})",
                  "token request: access_token has invalid characters"},
        TokenCase{"InvalidGrant", 400,
                  R"({"error":"invalid_grant","error_description":"Invalid JWT Signature."})",
                  "token request: HTTP 400 invalid_grant"},
        TokenCase{"ErrorCodeIsSanitised", 400, R"({"error":"bad\u001b[2Jword"})",
                  "token request: HTTP 400 bad2Jword"},
        TokenCase{"ServerErrorPage", 503, "<html>busy</html>", "token request: HTTP 503"},
        TokenCase{"CreatedIsNotOk", 201, R"({"access_token":"ya29.tok-EN_1"})",
                  "token request: HTTP 201"}),
    [](const testing::TestParamInfo<TokenCase>& info) { return info.param.name; });

// A default-constructed view has no storage; it must read as an empty body, not reach
// simdjson's memcpy as a null pointer (caught under -fsanitize=undefined).
TEST(TokenResponseBodyTest, EmptyViewWithoutStorageIsAnEmptyBody) {
  try {
    parse_token_response(200, std::string_view());
    FAIL() << "accepted";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "token request: the response is not JSON");
  }
  try {
    parse_token_response(503, std::string_view());
    FAIL() << "accepted";
  } catch (const Failure& failure) {
    EXPECT_STREQ(failure.what(), "token request: HTTP 503");
  }
}

using testing_support::base64url_decode;

bool verify_rs256(const std::string& signing_input, const std::string& signature) {
  return testing_support::verify_rs256(kPki + "/sa.pem", signing_input, signature);
}

TEST(ServiceAccountCredentialTest, AssertionIsAnRs256JwtWithTheRequiredClaims) {
  HttpClient http(testing_support::test_http_options());
  ServiceAccountCredentialInitializer initializer("sa@example.iam", "https://127.0.0.1:1/token",
                                                  http);
  initializer.scopes = {gdata::kFeedsScope};
  initializer.from_certificate(
      X509Certificate2(kPki + "/sa-legacy.p12", "notasecret", KeyStorageFlags::exportable));
  const ServiceAccountCredential credential(std::move(initializer));

  const std::string jwt = credential.make_assertion(1700000000);
  const std::size_t first = jwt.find('.');
  const std::size_t second = jwt.find('.', first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(jwt.find_first_of("=+/"), std::string::npos) << "not unpadded base64url";
  EXPECT_EQ(base64url_decode(jwt.substr(0, first)), R"({"alg":"RS256","typ":"JWT"})");
  const auto claims =
      nlohmann::json::parse(base64url_decode(jwt.substr(first + 1, second - first - 1)));
  EXPECT_EQ(claims, nlohmann::json::parse(R"({"iss":"sa@example.iam",
      "scope":"https://spreadsheets.google.com/feeds", "aud":"https://127.0.0.1:1/token",
      "iat":1700000000, "exp":1700003600})"));
  EXPECT_TRUE(verify_rs256(jwt.substr(0, second), base64url_decode(jwt.substr(second + 1))));
  EXPECT_FALSE(verify_rs256(jwt.substr(0, second) + "x", base64url_decode(jwt.substr(second + 1))));
}

// The claims are built by the listing's JSON string writer: a quote, a backslash or a control
// in a configured value stays inside its string and cannot add a claim.
TEST(ServiceAccountCredentialTest, ClaimValuesStayOneStringWhateverTheyHold) {
  HttpClient http(testing_support::test_http_options());
  const std::string odd_id = "sa\",\"scope\":\"all\\\n\x01@example.iam";
  ServiceAccountCredentialInitializer initializer(odd_id, "https://127.0.0.1:1/token", http);
  initializer.scopes = {"s1", "s\"2"};
  initializer.from_certificate(
      X509Certificate2(kPki + "/sa-legacy.p12", "notasecret", KeyStorageFlags::exportable));
  const std::string jwt = ServiceAccountCredential(std::move(initializer)).make_assertion(1);
  const std::size_t first = jwt.find('.');
  const auto claims = nlohmann::json::parse(
      base64url_decode(jwt.substr(first + 1, jwt.find('.', first + 1) - first - 1)));
  EXPECT_EQ(claims.size(), 5u);
  EXPECT_EQ(claims["iss"], odd_id);
  EXPECT_EQ(claims["scope"], "s1 s\"2");
}

TEST(ServiceAccountCredentialTest, RefusesToBeBuiltWithoutACertificate) {
  HttpClient http(testing_support::test_http_options());
  ServiceAccountCredentialInitializer initializer("sa@example.iam", "https://127.0.0.1:1/token",
                                                  http);
  EXPECT_THROW(ServiceAccountCredential{std::move(initializer)}, Failure);
}

// A key that names its id puts it in the header as "kid", after the two members every header
// has, as a JSON string whatever it holds; the signature covers it.
TEST(ServiceAccountCredentialTest, KeyIdGoesIntoTheHeaderAsKid) {
  for (const auto& [key_id, header] : std::vector<std::pair<std::string, std::string>>{
           {"4f1c2b9a7e3d", R"({"alg":"RS256","typ":"JWT","kid":"4f1c2b9a7e3d"})"},
           {"a\"b\\c", R"({"alg":"RS256","typ":"JWT","kid":"a\"b\\c"})"}}) {
    HttpClient http(testing_support::test_http_options());
    ServiceAccountCredentialInitializer initializer("sa@example.iam", "https://127.0.0.1:1/token",
                                                    http);
    initializer.from_key(
        ServiceAccountKey{SigningKey::from_pem(testing_support::read_text_file(kPki + "/sa.key")),
                          "sa@example.iam", key_id, std::nullopt});
    const std::string jwt = ServiceAccountCredential(std::move(initializer)).make_assertion(1);
    EXPECT_EQ(testing_support::jwt_header(jwt), header);
    EXPECT_TRUE(testing_support::jwt_verifies(kPki + "/sa.pem", jwt));
  }
}

struct KeyFileCase {
  const char* name;
  friend void PrintTo(const KeyFileCase& c, std::ostream* os) { *os << c.name; }
  std::string file;
  std::string password;
  bool loads;
};

class CertificateTest : public testing::TestWithParam<KeyFileCase> {};

TEST_P(CertificateTest, LoadsOnlyAReadablePkcs12WithItsPassword) {
  const KeyFileCase& c = GetParam();
  const std::string path = kPki + "/" + c.file;
  if (c.loads) {
    const X509Certificate2 certificate(path, c.password, KeyStorageFlags::exportable);
    EXPECT_EQ(certificate.sign_rs256("x").size(), 256u);  // RSA 2048
  } else {
    EXPECT_THROW(X509Certificate2(path, c.password, KeyStorageFlags::exportable), Failure);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, CertificateTest,
    testing::Values(KeyFileCase{"LegacyEncryption", "sa-legacy.p12", "notasecret", true},
                    KeyFileCase{"AesEncryption", "sa-aes.p12", "notasecret", true},
                    KeyFileCase{"WrongPassword", "sa-legacy.p12", "wrongpassw", false},
                    KeyFileCase{"OtherPasswordFile", "sa-other-password.p12", "notasecret", false},
                    KeyFileCase{"MissingFile", "no-such-file.p12", "notasecret", false},
                    KeyFileCase{"PemIsNotPkcs12", "sa.pem", "notasecret", false}),
    [](const testing::TestParamInfo<KeyFileCase>& info) { return info.param.name; });

TEST(CertificateTest, FailureNeverShowsThePassword) {
  try {
    X509Certificate2(kPki + "/sa-legacy.p12", "s3cr3t-pass", KeyStorageFlags::exportable);
    FAIL() << "loaded with a wrong password";
  } catch (const Failure& failure) {
    EXPECT_EQ(std::string(failure.what()).find("s3cr3t"), std::string::npos) << failure.what();
  }
}

}  // namespace
}  // namespace kolvo
