// File: tools/writer/seal.cc
//
// Sealing a plaintext into a .qelt v2 file: HKDF-SHA256 key derivation, AES-256-GCM
// encryption with the 64 header bytes as associated data, and the placement of header,
// crypto block and payload. Host-side tooling, so failures throw.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include "artefact_writer.h"

namespace quelt::writer {
namespace {

// Far beyond any model; keeps every offset sum below 2^64 and the file allocatable.
constexpr std::uint64_t MAX_PLACEMENT = std::uint64_t{1} << 40;

struct KdfDeleter {
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
  void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(std::string("quelt_writer: OpenSSL failed: ") + what);
}

// Wiped when it goes out of scope, so the derived key does not linger on the stack.
struct AesKey {
  std::array<std::uint8_t, 32> bytes{};
  ~AesKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

void derive_key(const Key& key, std::span<const std::uint8_t, 16> salt, AesKey& out) {
  std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) fail("HKDF fetch");
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) fail("HKDF context");
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                        const_cast<std::uint8_t*>(key.ikm.data()), key.ikm.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()),
                                        salt.size()),
      OSSL_PARAM_construct_octet_string(
          OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(key.info.data()), key.info.size()),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_KDF_derive(ctx.get(), out.bytes.data(), out.bytes.size(), params) != 1) {
    fail("HKDF derive");
  }
}

// AES-256-GCM with a 96-bit nonce; ciphertext may be empty.
void gcm_encrypt(const AesKey& key, std::span<const std::uint8_t, 12> nonce,
                 std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
                 std::uint8_t* ciphertext, std::uint8_t* tag) {
  std::unique_ptr<EVP_CIPHER_CTX, KdfDeleter> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) fail("cipher context");
  if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.bytes.data(), nonce.data()) != 1) {
    fail("GCM init");
  }
  int written = 0;
  if (!aad.empty() && EVP_EncryptUpdate(ctx.get(), nullptr, &written, aad.data(),
                                        static_cast<int>(aad.size())) != 1) {
    fail("GCM associated data");
  }
  // EVP lengths are int: feed large payloads in pieces.
  constexpr std::size_t CHUNK = std::size_t{1} << 30;
  std::size_t done = 0;
  while (done < plaintext.size()) {
    const std::size_t n = std::min(CHUNK, plaintext.size() - done);
    if (EVP_EncryptUpdate(ctx.get(), ciphertext + done, &written, plaintext.data() + done,
                          static_cast<int>(n)) != 1 ||
        static_cast<std::size_t>(written) != n) {
      fail("GCM encrypt");
    }
    done += n;
  }
  std::uint8_t final_block[16];
  if (EVP_EncryptFinal_ex(ctx.get(), final_block, &written) != 1 || written != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag) != 1) {
    fail("GCM final");
  }
}

}  // namespace

std::vector<std::uint8_t> seal(const Key& key, std::span<const std::uint8_t> plaintext,
                               const SealOptions& options) {
  const std::uint64_t crypto_offset = options.crypto_offset.value_or(HEADER_LEN);
  if (crypto_offset > MAX_PLACEMENT) throw std::invalid_argument("crypto_offset too large");
  const std::uint64_t payload_offset = options.payload_offset.value_or(
      std::max<std::uint64_t>(HEADER_LEN, crypto_offset + CRYPTO_BLOCK_LEN));
  if (payload_offset > MAX_PLACEMENT || plaintext.size() > MAX_PLACEMENT ||
      options.trailing_bytes > MAX_PLACEMENT) {
    throw std::invalid_argument("payload placement too large");
  }
  const std::uint64_t end = std::max({std::uint64_t{HEADER_LEN}, crypto_offset + CRYPTO_BLOCK_LEN,
                                      payload_offset + plaintext.size()});
  std::vector<std::uint8_t> file(static_cast<std::size_t>(end + options.trailing_bytes),
                                 options.filler);

  store_u32(file, field::MAGIC, options.magic);
  store_u16(file, field::VERSION_MAJOR, options.version_major);
  store_u16(file, field::VERSION_MINOR, options.version_minor);
  store_u32(file, field::FLAGS, options.flags);
  store_u64(file, field::CRYPTO_OFFSET, crypto_offset);
  store_u64(file, field::CRYPTO_LEN, options.crypto_len);
  std::memcpy(file.data() + field::RESERVED_A, options.reserved_a.data(), 16);
  store_u64(file, field::PAYLOAD_OFFSET, payload_offset);
  store_u64(file, field::PAYLOAD_LEN, plaintext.size());
  std::memcpy(file.data() + field::RESERVED_B, options.reserved_b.data(), 4);

  const auto crypto = static_cast<std::size_t>(crypto_offset);
  std::memcpy(file.data() + crypto + field::SALT, options.salt.data(), options.salt.size());
  std::memcpy(file.data() + crypto + field::NONCE, options.nonce.data(), options.nonce.size());

  AesKey aes_key;
  derive_key(key, options.salt, aes_key);
  std::vector<std::uint8_t> ciphertext(plaintext.size());
  std::array<std::uint8_t, 16> tag{};
  gcm_encrypt(aes_key, options.nonce, std::span(file.data(), HEADER_LEN), plaintext,
              ciphertext.data(), tag.data());
  const auto payload = static_cast<std::size_t>(payload_offset);
  if (!ciphertext.empty()) std::memcpy(file.data() + payload, ciphertext.data(), ciphertext.size());
  if (payload < HEADER_LEN && !ciphertext.empty()) {
    // The payload overwrote part of the header: the tag must cover the header as written.
    // GCM's ciphertext does not depend on the associated data, so only the tag changes.
    gcm_encrypt(aes_key, options.nonce, std::span(file.data(), HEADER_LEN), plaintext,
                ciphertext.data(), tag.data());
  }
  std::memcpy(file.data() + crypto + field::TAG, tag.data(), tag.size());
  return file;
}

}  // namespace quelt::writer
