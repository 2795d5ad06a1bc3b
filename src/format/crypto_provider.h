// File: format/crypto_provider.h
//
// Where the artefact reader's cryptography comes from: OpenSSL's built-in `default`
// provider, loaded explicitly into a library context (OSSL_LIB_CTX) that belongs to the
// reader alone, with its SHA2-256 and AES-256-GCM implementations looked up once and then
// called directly, not through EVP. On OpenSSL 3.0 every EVP cipher or digest
// initialisation (EVP_DecryptInit_ex2, EVP_DigestInit_ex2, and the provider's own HMAC and
// HKDF, which use the latter) first asks the ENGINE tables for a replacement, and that
// lookup loads the process's configuration file (OPENSSL_CONF, or openssl.cnf) into the
// default context. The only EVP-level way to stop it, OPENSSL_INIT_NO_LOAD_CONFIG, would
// also keep the host application's own configuration from ever loading afterwards. Called
// directly, the provider reads no file, and no configuration, environment setting, default
// property or engine that the host chooses can reach it. HMAC and HKDF are therefore built
// on the provider's SHA-256 (crypto.cc).
//
// The provider's functions work on contexts of their own, so any number of threads may use
// one CryptoProvider at a time. Allocation failures of those contexts throw std::bad_alloc,
// as any other allocation of the library does; every other failure is a false result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include <openssl/core_dispatch.h>

namespace quelt::format {

inline constexpr std::size_t SHA256_LEN = 32;
inline constexpr std::size_t SHA256_BLOCK_LEN = 64;

class CryptoProvider {
 public:
  // The library context with the default provider loaded and both algorithms found, or
  // nullptr. The provider is built into libcrypto, so nullptr (like std::bad_alloc from
  // the object's own allocation) means that memory ran out.
  static std::unique_ptr<CryptoProvider> create();
  ~CryptoProvider();
  CryptoProvider(const CryptoProvider&) = delete;
  CryptoProvider& operator=(const CryptoProvider&) = delete;

 private:
  friend class Sha256;
  friend class Aes256GcmDecryption;

  struct DigestFunctions {
    OSSL_FUNC_digest_newctx_fn* newctx = nullptr;
    OSSL_FUNC_digest_freectx_fn* freectx = nullptr;
    OSSL_FUNC_digest_init_fn* init = nullptr;
    OSSL_FUNC_digest_update_fn* update = nullptr;
    OSSL_FUNC_digest_final_fn* final = nullptr;
  };
  struct CipherFunctions {
    OSSL_FUNC_cipher_newctx_fn* newctx = nullptr;
    OSSL_FUNC_cipher_freectx_fn* freectx = nullptr;
    OSSL_FUNC_cipher_decrypt_init_fn* decrypt_init = nullptr;
    OSSL_FUNC_cipher_update_fn* update = nullptr;
    OSSL_FUNC_cipher_final_fn* final = nullptr;
    OSSL_FUNC_cipher_set_ctx_params_fn* set_ctx_params = nullptr;
  };

  CryptoProvider() = default;

  OSSL_LIB_CTX* library_context_ = nullptr;
  OSSL_PROVIDER* provider_ = nullptr;
  void* provider_context_ = nullptr;
  DigestFunctions sha256_;
  CipherFunctions aes_256_gcm_;
};

// One SHA-256 computation at a time; init starts the next one.
class Sha256 {
 public:
  // Throws std::bad_alloc if the provider cannot allocate its context.
  explicit Sha256(const CryptoProvider& provider);
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  [[nodiscard]] bool init();
  [[nodiscard]] bool update(std::span<const std::uint8_t> data);
  [[nodiscard]] bool final(std::span<std::uint8_t, SHA256_LEN> digest);

 private:
  const CryptoProvider::DigestFunctions& functions_;
  void* context_;
};

// AES-256-GCM decryption with a 96-bit nonce and a 128-bit tag, in the order init,
// associated data, ciphertext, tag. The plaintext is written while the ciphertext goes in,
// before the tag is known to match: the caller must not use it unless check_tag is true.
class Aes256GcmDecryption {
 public:
  // Throws std::bad_alloc if the provider cannot allocate its context.
  explicit Aes256GcmDecryption(const CryptoProvider& provider);
  ~Aes256GcmDecryption();
  Aes256GcmDecryption(const Aes256GcmDecryption&) = delete;
  Aes256GcmDecryption& operator=(const Aes256GcmDecryption&) = delete;

  [[nodiscard]] bool init(std::span<const std::uint8_t, 32> key,
                          std::span<const std::uint8_t, 12> nonce);
  [[nodiscard]] bool add_associated_data(std::span<const std::uint8_t> data);
  // plaintext.size() == ciphertext.size().
  [[nodiscard]] bool decrypt(std::span<const std::uint8_t> ciphertext,
                             std::span<std::uint8_t> plaintext);
  // True only if `tag` is the tag of everything that went in (compared in constant time).
  [[nodiscard]] bool check_tag(std::span<const std::uint8_t, 16> tag);

 private:
  const CryptoProvider::CipherFunctions& functions_;
  void* context_;
};

}  // namespace quelt::format
