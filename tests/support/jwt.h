// Taking a signed assertion apart, for tests that check what the sign-in sends.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace testing_support {

inline std::string base64url_decode(std::string text) {
  for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (text.size() % 4 != 0) text += '=';
  std::string out(text.size(), '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(length) - std::count(text.begin(), text.end(), '='));
  return out;
}

// The decoded header of a JWT, header.claims.signature.
inline std::string jwt_header(const std::string& jwt) {
  return base64url_decode(jwt.substr(0, jwt.find('.')));
}

// Whether signature is an RS256 signature of signing_input by the key of the certificate in
// the PEM file certificate_path.
inline bool verify_rs256(const std::string& certificate_path, const std::string& signing_input,
                         const std::string& signature) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(certificate_path.c_str(), "r"), fclose);
  if (!file) return false;
  std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                              X509_free);
  if (!cert) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_PKEY* key = X509_get0_pubkey(cert.get());
  return EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(),
                          reinterpret_cast<const unsigned char*>(signing_input.data()),
                          signing_input.size()) == 1;
}

// Whether the JWT header.claims.signature is signed by the key of that certificate.
inline bool jwt_verifies(const std::string& certificate_path, const std::string& jwt) {
  const std::size_t last = jwt.rfind('.');
  return last != std::string::npos && verify_rs256(certificate_path, jwt.substr(0, last),
                                                   base64url_decode(jwt.substr(last + 1)));
}

}  // namespace testing_support
