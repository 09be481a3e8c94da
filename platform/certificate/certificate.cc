#include "platform/certificate/certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <mutex>

#include "platform/failure/failure.h"

namespace kolvo {
namespace {

struct BioDeleter {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct Pkcs12Deleter {
  void operator()(PKCS12* p12) const noexcept { PKCS12_free(p12); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct X509Deleter {
  void operator()(X509* cert) const noexcept { X509_free(cert); }
};
struct X509StackDeleter {
  void operator()(STACK_OF(X509) * chain) const noexcept { sk_X509_pop_free(chain, X509_free); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

// The one place where OpenSSL's error queue becomes a Failure. The queue is emptied so that
// a stale entry cannot be blamed on a later call.
[[noreturn]] void fail(const std::string& step) {
  const unsigned long code = ERR_peek_last_error();
  std::string detail;
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    detail = std::string(": ") + text;
  }
  ERR_clear_error();
  throw Failure("certificate: " + step + detail);
}

// Key files handed out by the service are encrypted with RC2-40 and 3DES, which OpenSSL 3
// keeps in its legacy provider. Loading it by name stops the default one from loading
// implicitly, so both are loaded, once, and held for the life of the process.
void load_providers() {
  [[maybe_unused]] static OSSL_PROVIDER* legacy = nullptr;
  static OSSL_PROVIDER* standard = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    legacy = OSSL_PROVIDER_load(nullptr, "legacy");  // absent on some systems: AES files still load
    standard = OSSL_PROVIDER_load(nullptr, "default");
    ERR_clear_error();
  });
  if (standard == nullptr) fail("cannot load OpenSSL providers");
}

}  // namespace

struct X509Certificate2::Keys {
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
  std::unique_ptr<X509, X509Deleter> certificate;
};

X509Certificate2::X509Certificate2(const std::string& file, const std::string& password,
                                   KeyStorageFlags /*flags: the key is only ever used here*/)
    : keys_(std::make_unique<Keys>()) {
  load_providers();
  std::unique_ptr<BIO, BioDeleter> input(BIO_new_file(file.c_str(), "rb"));
  if (!input) fail("cannot open the key file");
  std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12_bio(input.get(), nullptr));
  if (!p12) fail("the key file is not PKCS#12");
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  STACK_OF(X509)* chain = nullptr;
  if (PKCS12_parse(p12.get(), password.c_str(), &key, &certificate, &chain) != 1) {
    fail("wrong password or damaged key file");
  }
  keys_->key.reset(key);
  keys_->certificate.reset(certificate);
  std::unique_ptr<STACK_OF(X509), X509StackDeleter> owned_chain(chain);
  if (!keys_->key) fail("the key file holds no private key");
  if (EVP_PKEY_is_a(keys_->key.get(), "RSA") != 1) fail("the private key is not RSA");
}

X509Certificate2::~X509Certificate2() = default;
X509Certificate2::X509Certificate2(X509Certificate2&&) noexcept = default;
X509Certificate2& X509Certificate2::operator=(X509Certificate2&&) noexcept = default;

std::string X509Certificate2::sign_rs256(std::string_view data) const {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx ||
      EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, keys_->key.get()) != 1) {
    fail("cannot start signing");
  }
  std::size_t length = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, data.size()) != 1) fail("cannot sign");
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes,
                     data.size()) != 1) {
    fail("cannot sign");
  }
  signature.resize(length);
  return signature;
}

}  // namespace kolvo
