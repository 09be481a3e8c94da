// Loads the service account's key file, PKCS#12 or JSON, and signs with its private key.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kolvo {

// How the key is held once loaded. The key never leaves the process in any case; the flag
// records that it may be used for signing.
enum class KeyStorageFlags { exportable = 4 };

// An RSA private key that signs RS256 JWTs. It is never printed, written or copied out.
class SigningKey {
 public:
  // Reads a PEM private key, PKCS#8 ("BEGIN PRIVATE KEY") as the service hands them out. An
  // encrypted key is refused rather than asked a password for. Throws Failure when OpenSSL
  // cannot read the key or the key is not RSA; the message never quotes the text.
  static SigningKey from_pem(std::string_view pem);

  ~SigningKey();
  SigningKey(SigningKey&&) noexcept;
  SigningKey& operator=(SigningKey&&) noexcept;

  // RSASSA-PKCS1-v1_5 with SHA-256 over data: the signature of an RS256 JWT. Throws Failure.
  std::string sign_rs256(std::string_view data) const;

 private:
  friend class X509Certificate2;
  struct Handle;  // the OpenSSL key
  explicit SigningKey(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

// A certificate with its RSA private key, from a PKCS#12 file.
class X509Certificate2 {
 public:
  // Reads a PKCS#12 file, legacy (RC2-40 / 3DES with SHA-1) or modern (AES, PBKDF2) encrypted.
  // Throws Failure on a missing or unreadable file, a wrong password or a key that is not RSA;
  // a missing file's message names the file and the working directory.
  X509Certificate2(const std::string& file, const std::string& password, KeyStorageFlags flags);
  ~X509Certificate2();
  X509Certificate2(X509Certificate2&&) noexcept;
  X509Certificate2& operator=(X509Certificate2&&) noexcept;

  // RSASSA-PKCS1-v1_5 with SHA-256 over data: the signature of an RS256 JWT. Throws Failure.
  std::string sign_rs256(std::string_view data) const;

  // Hands the private key over to whoever signs with it; the certificate is left without one.
  SigningKey take_private_key() &&;

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
};

// A service account's key as its key file gives it: the private key that signs the assertion,
// and what the file says of the account. A JSON key file names the account and the key and
// may name its token endpoint; a PKCS#12 file names none of them.
struct ServiceAccountKey {
  SigningKey signing_key;
  std::optional<std::string> client_email;
  std::optional<std::string> key_id;  // "private_key_id": the JWT header's "kid"
  std::optional<std::string> token_uri;
};

// True when the key file's name ends in ".json", exactly as written: such a file is a JSON key,
// every other one PKCS#12.
bool is_json_key_file(std::string_view file);

// Overwrites the text in place, in a way the compiler may not leave out, before it is freed:
// for what would let another sign in (a signed assertion, a token).
void clear_secret(std::string& text) noexcept;

// Loads the key file `file`, a name opened relative to the working directory: a service-account
// JSON key when is_json_key_file(file), otherwise PKCS#12 opened with `password` (a JSON key has
// none). The file's text is cleared from memory once the key is read. Throws Failure naming the
// problem, never quoting the key: a missing file (naming the file and the working directory), a
// file that is not JSON, a key whose "type" is not "service_account", a missing, non-string or
// empty private_key, client_email or private_key_id, a non-string or empty token_uri, or a
// private key that OpenSSL cannot read or that is not RSA.
ServiceAccountKey load_service_account_key(const std::string& file, const std::string& password);

}  // namespace kolvo
