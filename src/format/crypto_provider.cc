// File: format/crypto_provider.cc
//
// The reader's library context and the provider functions it calls. The algorithms are
// found by name in the tables that the provider hands out for each operation
// (OSSL_PROVIDER_query_operation), and their functions picked from the implementation's
// dispatch table by function id, as EVP's fetch does, minus the property matching and the
// ENGINE lookup. The built-in provider's tables are static, so the function pointers stay
// valid for as long as the provider is loaded.
#include "format/crypto_provider.h"

#include <new>
#include <string_view>

#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/provider.h>

namespace quelt::format {
namespace {

// Whether `name` is one of the colon-separated names of an algorithm
// ("SHA2-256:SHA-256:SHA256:2.16.840.1.101.3.4.2.1").
bool has_name(const char* names, std::string_view name) {
  std::string_view rest(names);
  while (!rest.empty()) {
    const std::size_t end = rest.find(':');
    if (rest.substr(0, end) == name) return true;
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return false;
}

const OSSL_DISPATCH* find_implementation(OSSL_PROVIDER* provider, int operation,
                                         std::string_view name) {
  int no_cache = 0;
  const OSSL_ALGORITHM* algorithms = OSSL_PROVIDER_query_operation(provider, operation, &no_cache);
  const OSSL_DISPATCH* found = nullptr;
  for (const OSSL_ALGORITHM* a = algorithms; a != nullptr && a->algorithm_names != nullptr; ++a) {
    if (has_name(a->algorithm_names, name)) {
      found = a->implementation;
      break;
    }
  }
  if (algorithms != nullptr) OSSL_PROVIDER_unquery_operation(provider, operation, algorithms);
  return found;
}

}  // namespace

std::unique_ptr<CryptoProvider> CryptoProvider::create() {
  std::unique_ptr<CryptoProvider> crypto(new CryptoProvider);  // the constructor is private
  // A fresh context has no providers, no default properties and no configuration; nothing
  // loads one into it later, since only the default context is ever configured implicitly.
  crypto->library_context_ = OSSL_LIB_CTX_new();
  if (crypto->library_context_ == nullptr) return nullptr;
  crypto->provider_ = OSSL_PROVIDER_load(crypto->library_context_, "default");
  if (crypto->provider_ == nullptr) return nullptr;
  crypto->provider_context_ = OSSL_PROVIDER_get0_provider_ctx(crypto->provider_);

  const OSSL_DISPATCH* digest = find_implementation(crypto->provider_, OSSL_OP_DIGEST, "SHA2-256");
  for (const OSSL_DISPATCH* f = digest; f != nullptr && f->function_id != 0; ++f) {
    DigestFunctions& d = crypto->sha256_;
    switch (f->function_id) {
      case OSSL_FUNC_DIGEST_NEWCTX:
        d.newctx = OSSL_FUNC_digest_newctx(f);
        break;
      case OSSL_FUNC_DIGEST_FREECTX:
        d.freectx = OSSL_FUNC_digest_freectx(f);
        break;
      case OSSL_FUNC_DIGEST_INIT:
        d.init = OSSL_FUNC_digest_init(f);
        break;
      case OSSL_FUNC_DIGEST_UPDATE:
        d.update = OSSL_FUNC_digest_update(f);
        break;
      case OSSL_FUNC_DIGEST_FINAL:
        d.final = OSSL_FUNC_digest_final(f);
        break;
      default:
        break;
    }
  }
  const OSSL_DISPATCH* cipher =
      find_implementation(crypto->provider_, OSSL_OP_CIPHER, "AES-256-GCM");
  for (const OSSL_DISPATCH* f = cipher; f != nullptr && f->function_id != 0; ++f) {
    CipherFunctions& c = crypto->aes_256_gcm_;
    switch (f->function_id) {
      case OSSL_FUNC_CIPHER_NEWCTX:
        c.newctx = OSSL_FUNC_cipher_newctx(f);
        break;
      case OSSL_FUNC_CIPHER_FREECTX:
        c.freectx = OSSL_FUNC_cipher_freectx(f);
        break;
      case OSSL_FUNC_CIPHER_DECRYPT_INIT:
        c.decrypt_init = OSSL_FUNC_cipher_decrypt_init(f);
        break;
      case OSSL_FUNC_CIPHER_UPDATE:
        c.update = OSSL_FUNC_cipher_update(f);
        break;
      case OSSL_FUNC_CIPHER_FINAL:
        c.final = OSSL_FUNC_cipher_final(f);
        break;
      case OSSL_FUNC_CIPHER_SET_CTX_PARAMS:
        c.set_ctx_params = OSSL_FUNC_cipher_set_ctx_params(f);
        break;
      default:
        break;
    }
  }
  const DigestFunctions& d = crypto->sha256_;
  const CipherFunctions& c = crypto->aes_256_gcm_;
  if (d.newctx == nullptr || d.freectx == nullptr || d.init == nullptr || d.update == nullptr ||
      d.final == nullptr || c.newctx == nullptr || c.freectx == nullptr ||
      c.decrypt_init == nullptr || c.update == nullptr || c.final == nullptr ||
      c.set_ctx_params == nullptr) {
    return nullptr;
  }
  return crypto;
}

CryptoProvider::~CryptoProvider() {
  if (provider_ != nullptr) OSSL_PROVIDER_unload(provider_);
  OSSL_LIB_CTX_free(library_context_);  // null is a no-op
}

// ---- SHA-256 ----

Sha256::Sha256(const CryptoProvider& provider)
    : functions_(provider.sha256_), context_(functions_.newctx(provider.provider_context_)) {
  if (context_ == nullptr) throw std::bad_alloc();
}

Sha256::~Sha256() { functions_.freectx(context_); }

bool Sha256::init() { return functions_.init(context_, nullptr) == 1; }

bool Sha256::update(std::span<const std::uint8_t> data) {
  return functions_.update(context_, data.data(), data.size()) == 1;
}

bool Sha256::final(std::span<std::uint8_t, SHA256_LEN> digest) {
  std::size_t written = 0;
  return functions_.final(context_, digest.data(), &written, digest.size()) == 1 &&
         written == digest.size();
}

// ---- AES-256-GCM ----

Aes256GcmDecryption::Aes256GcmDecryption(const CryptoProvider& provider)
    : functions_(provider.aes_256_gcm_), context_(functions_.newctx(provider.provider_context_)) {
  if (context_ == nullptr) throw std::bad_alloc();
}

Aes256GcmDecryption::~Aes256GcmDecryption() { functions_.freectx(context_); }

bool Aes256GcmDecryption::init(std::span<const std::uint8_t, 32> key,
                               std::span<const std::uint8_t, 12> nonce) {
  return functions_.decrypt_init(context_, key.data(), key.size(), nonce.data(), nonce.size(),
                                 nullptr) == 1;
}

bool Aes256GcmDecryption::add_associated_data(std::span<const std::uint8_t> data) {
  // Associated data goes in with no output buffer; the size check still wants room for it.
  std::size_t written = 0;
  return functions_.update(context_, nullptr, &written, data.size(), data.data(), data.size()) == 1;
}

bool Aes256GcmDecryption::decrypt(std::span<const std::uint8_t> ciphertext,
                                  std::span<std::uint8_t> plaintext) {
  if (plaintext.size() != ciphertext.size()) return false;
  std::size_t written = 0;
  return functions_.update(context_, plaintext.data(), &written, plaintext.size(),
                           ciphertext.data(), ciphertext.size()) == 1 &&
         written == ciphertext.size();
}

bool Aes256GcmDecryption::check_tag(std::span<const std::uint8_t, 16> tag) {
  // OSSL_PARAM wants a mutable pointer for an input it only reads.
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG,
                                        const_cast<std::uint8_t*>(tag.data()), tag.size()),
      OSSL_PARAM_construct_end(),
  };
  std::uint8_t tail[16];
  std::size_t written = 0;
  return functions_.set_ctx_params(context_, params) == 1 &&
         functions_.final(context_, tail, &written, sizeof tail) == 1 && written == 0;
}

}  // namespace quelt::format
