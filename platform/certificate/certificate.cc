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

void clear_secret(std::string& text) noexcept { OPENSSL_cleanse(text.data(), text.size()); }

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
struct Pkcs7StackDeleter {
  void operator()(STACK_OF(PKCS7) * safes) const noexcept { sk_PKCS7_pop_free(safes, PKCS7_free); }
};
struct SafeBagStackDeleter {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * bags) const noexcept {
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  }
};
struct Pbe2ParamDeleter {
  void operator()(PBE2PARAM* parameters) const noexcept { PBE2PARAM_free(parameters); }
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

// Loading a provider by name stops the default one from loading implicitly, so it is loaded
// here, once, and held for the life of the process: every key needs it.
void load_default_provider() {
  static OSSL_PROVIDER* standard = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    standard = OSSL_PROVIDER_load(nullptr, "default");
    ERR_clear_error();
  });
  if (standard == nullptr) fail("cannot load OpenSSL providers");
}

// Key files handed out by the service encrypt their certificates with RC2-40, which OpenSSL 3
// keeps in its legacy provider. Loading that one is a dlopen that most runs would pay for
// nothing, so it is loaded the first time a file needs it, and held from then on. It is absent
// on some systems, which is not the key file's fault: the caller drops the errors.
void load_legacy_provider() {
  // Held here for the life of the process, like the default one: a provider whose handle is
  // dropped stays loaded but is never unloaded, and its memory is lost at exit.
  [[maybe_unused]] static OSSL_PROVIDER* legacy = nullptr;
  static std::once_flag once;
  std::call_once(once, [] { legacy = OSSL_PROVIDER_load(nullptr, "legacy"); });
}

// Whether no loaded provider offers the cipher an encryption algorithm identifier names: the
// PKCS#12 schemes name theirs by their own identifier, PBES2 in its parameters. An identifier
// that names no cipher is left for the parsing to refuse.
bool cipher_unavailable(const X509_ALGOR* algorithm) {
  int cipher = NID_undef;
  if (OBJ_obj2nid(algorithm->algorithm) == NID_pbes2) {
    std::unique_ptr<PBE2PARAM, Pbe2ParamDeleter> pbes2(static_cast<PBE2PARAM*>(
        ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), algorithm->parameter)));
    if (pbes2 && pbes2->encryption) cipher = OBJ_obj2nid(pbes2->encryption->algorithm);
  } else if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, OBJ_obj2nid(algorithm->algorithm), &cipher, nullptr,
                          nullptr) != 1) {
    cipher = NID_undef;
  }
  if (cipher == NID_undef || cipher == -1) return false;
  EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, OBJ_nid2sn(cipher), nullptr);
  EVP_CIPHER_free(fetched);
  return fetched == nullptr;
}

// Whether reading the file takes a cipher that no loaded provider offers, as the RC2-40 of the
// service's files does. It is decided without the password, which only the parsing checks (by
// the MAC): from how each encrypted part is encrypted, and how each key in a part that is not.
bool needs_legacy_provider(const PKCS12* p12) {
  std::unique_ptr<STACK_OF(PKCS7), Pkcs7StackDeleter> safes(PKCS12_unpack_authsafes(p12));
  for (int i = 0; safes && i < sk_PKCS7_num(safes.get()); ++i) {
    PKCS7* safe = sk_PKCS7_value(safes.get(), i);
    if (PKCS7_type_is_encrypted(safe)) {
      if (safe->d.encrypted && cipher_unavailable(safe->d.encrypted->enc_data->algorithm)) {
        return true;
      }
    } else if (PKCS7_type_is_data(safe)) {
      std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), SafeBagStackDeleter> bags(
          PKCS12_unpack_p7data(safe));
      for (int j = 0; bags && j < sk_PKCS12_SAFEBAG_num(bags.get()); ++j) {
        const X509_SIG* key = PKCS12_SAFEBAG_get0_pkcs8(sk_PKCS12_SAFEBAG_value(bags.get(), j));
        const X509_ALGOR* algorithm = nullptr;
        if (key) X509_SIG_get0(key, &algorithm, nullptr);
        if (algorithm && cipher_unavailable(algorithm)) return true;
      }
    }
  }
  return false;
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
  load_default_provider();
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
  load_default_provider();
  const std::unique_ptr<KeyFileBytes> bytes = read_key_file(file, 0);
  std::unique_ptr<BIO, BioDeleter> input(
      BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  if (!input) fail("cannot read the key file");
  std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12_bio(input.get(), nullptr));
  if (!p12) fail("the key file is not PKCS#12");
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  STACK_OF(X509)* chain = nullptr;
  if (needs_legacy_provider(p12.get())) load_legacy_provider();
  // Whatever went wrong above is for the parsing to report, in its own words.
  ERR_clear_error();
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
