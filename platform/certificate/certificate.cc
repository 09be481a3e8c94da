#include "platform/certificate/certificate.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <simdjson.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/certificate/key_file.h"
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

// The password callback for PEM keys: there is never a password to give, and OpenSSL's own
// callback would ask for one on the terminal, which a cron job does not have.
int refuse_password(char*, int, int, void*) { return -1; }

// Clears text that held key material once it is no longer needed, however the loading ends.
class ClearOnExit {
 public:
  explicit ClearOnExit(std::string_view text) : text_(text) {}
  ~ClearOnExit() { OPENSSL_cleanse(const_cast<char*>(text_.data()), text_.size()); }
  ClearOnExit(const ClearOnExit&) = delete;
  ClearOnExit& operator=(const ClearOnExit&) = delete;

 private:
  std::string_view text_;
};

// A member of the key file that must be a non-empty string; absent is allowed only when the
// member is optional.
std::optional<std::string_view> string_member(const simdjson::dom::object& key, const char* name,
                                              bool required) {
  simdjson::dom::element member;
  if (key[name].get(member) != simdjson::SUCCESS) {
    if (!required) return std::nullopt;
    throw Failure(std::string("certificate: the key file has no ") + name);
  }
  std::string_view text;
  if (member.get(text) != simdjson::SUCCESS) {
    throw Failure(std::string("certificate: ") + name + " in the key file is not a string");
  }
  if (text.empty()) {
    throw Failure(std::string("certificate: ") + name + " in the key file is empty");
  }
  return text;
}

ServiceAccountKey read_json_key(const KeyFileBytes& text) {
  simdjson::dom::parser parser;
  // The document is ours rather than the parser's, and the text is parsed where it lies, not
  // copied: the only copies of the key are the file's bytes and the decoded private_key below,
  // and both are cleared.
  simdjson::dom::document document;
  simdjson::dom::element root;
  if (parser.parse_into_document(document, text.data(), text.size(), false).get(root) !=
      simdjson::SUCCESS) {
    throw Failure("certificate: the key file is not JSON");
  }
  simdjson::dom::object key;
  if (root.get(key) != simdjson::SUCCESS) {
    throw Failure("certificate: the key file is not a JSON object");
  }
  std::string_view type;
  if (key["type"].get(type) != simdjson::SUCCESS || type != "service_account") {
    throw Failure(
        "certificate: the key file is not a service account key (its type is not "
        "\"service_account\")");
  }
  const std::string_view pem = *string_member(key, "private_key", true);
  const ClearOnExit clear_pem(pem);
  const std::string_view client_email = *string_member(key, "client_email", true);
  const std::string_view key_id = *string_member(key, "private_key_id", true);
  const std::optional<std::string_view> token_uri = string_member(key, "token_uri", false);
  ServiceAccountKey loaded{SigningKey::from_pem(pem), std::string(client_email),
                           std::string(key_id), std::nullopt};
  if (token_uri) loaded.token_uri = std::string(*token_uri);
  return loaded;
}

}  // namespace

struct SigningKey::Handle {
  std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
};

SigningKey::SigningKey(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
SigningKey::~SigningKey() = default;
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey& SigningKey::operator=(SigningKey&&) noexcept = default;

SigningKey SigningKey::from_pem(std::string_view pem) {
  load_providers();
  // A read-only view of the text: OpenSSL makes no copy of it that we would have to clear.
  std::unique_ptr<BIO, BioDeleter> input(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!input) fail("cannot read the private key");
  auto handle = std::make_unique<Handle>();
  handle->key.reset(
      PEM_read_bio_PrivateKey_ex(input.get(), nullptr, refuse_password, nullptr, nullptr, nullptr));
  if (!handle->key) fail("the private key in the key file is not a readable PEM private key");
  if (EVP_PKEY_is_a(handle->key.get(), "RSA") != 1) fail("the private key is not RSA");
  return SigningKey(std::move(handle));
}

std::string SigningKey::sign_rs256(std::string_view data) const {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx ||
      EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, handle_->key.get()) != 1) {
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

struct X509Certificate2::Keys {
  std::optional<SigningKey> key;
  std::unique_ptr<X509, X509Deleter> certificate;
};

X509Certificate2::X509Certificate2(const std::string& file, const std::string& password,
                                   KeyStorageFlags /*flags: the key is only ever used here*/)
    : keys_(std::make_unique<Keys>()) {
  load_providers();
  const std::unique_ptr<KeyFileBytes> bytes = read_key_file(file, 0);
  std::unique_ptr<BIO, BioDeleter> input(
      BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  if (!input) fail("cannot read the key file");
  std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12_bio(input.get(), nullptr));
  if (!p12) fail("the key file is not PKCS#12");
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  STACK_OF(X509)* chain = nullptr;
  if (PKCS12_parse(p12.get(), password.c_str(), &key, &certificate, &chain) != 1) {
    fail("wrong password or damaged key file");
  }
  auto handle = std::make_unique<SigningKey::Handle>();
  handle->key.reset(key);
  keys_->certificate.reset(certificate);
  std::unique_ptr<STACK_OF(X509), X509StackDeleter> owned_chain(chain);
  if (!handle->key) fail("the key file holds no private key");
  if (EVP_PKEY_is_a(handle->key.get(), "RSA") != 1) fail("the private key is not RSA");
  keys_->key.emplace(SigningKey(std::move(handle)));
}

X509Certificate2::~X509Certificate2() = default;
X509Certificate2::X509Certificate2(X509Certificate2&&) noexcept = default;
X509Certificate2& X509Certificate2::operator=(X509Certificate2&&) noexcept = default;

std::string X509Certificate2::sign_rs256(std::string_view data) const {
  return keys_->key->sign_rs256(data);
}

SigningKey X509Certificate2::take_private_key() && {
  SigningKey key = std::move(*keys_->key);
  keys_->key.reset();
  return key;
}

bool is_json_key_file(std::string_view file) { return file.ends_with(".json"); }

ServiceAccountKey load_service_account_key(const std::string& file, const std::string& password) {
  if (!is_json_key_file(file)) {
    return ServiceAccountKey{
        X509Certificate2(file, password, KeyStorageFlags::exportable).take_private_key(),
        std::nullopt, std::nullopt, std::nullopt};
  }
  return read_json_key(*read_key_file(file, simdjson::SIMDJSON_PADDING));
}

}  // namespace kolvo
