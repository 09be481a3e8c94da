// Loads the service account's PKCS#12 key file and signs with its private key.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kolvo {

// How the key is held once loaded. The key never leaves the process in any case; the flag
// records that it may be used for signing.
enum class KeyStorageFlags { exportable = 4 };

// A certificate with its RSA private key. The key is never printed, written or copied out.
class X509Certificate2 {
 public:
  // Reads a PKCS#12 file, legacy (RC2-40 / 3DES with SHA-1) or modern (AES, PBKDF2) encrypted.
  // Throws Failure on a missing or unreadable file, a wrong password or a key that is not RSA.
  X509Certificate2(const std::string& file, const std::string& password, KeyStorageFlags flags);
  ~X509Certificate2();
  X509Certificate2(X509Certificate2&&) noexcept;
  X509Certificate2& operator=(X509Certificate2&&) noexcept;

  // RSASSA-PKCS1-v1_5 with SHA-256 over data: the signature of an RS256 JWT. Throws Failure.
  std::string sign_rs256(std::string_view data) const;

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
};

}  // namespace kolvo
