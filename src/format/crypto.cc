// File: format/crypto.cc
//
// HKDF-SHA256 and AES-256-GCM decryption through OpenSSL's EVP interfaces. OpenSSL writes
// plaintext into the output buffer while it authenticates and only checks the tag in
// EVP_DecryptFinal_ex; the buffer is therefore handed out only after that check passed,
// and wiped otherwise. OpenSSL compares the tag in constant time.
#include "format/crypto.h"

#include <algorithm>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace quelt::format {
namespace {

struct EvpDeleter {
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
  void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

// EVP takes lengths as int: larger payloads go through in pieces.
constexpr std::size_t EVP_CHUNK = std::size_t{1} << 30;

Unexpected<errors::DecryptFailed> decrypt_failed() { return Unexpected{errors::DecryptFailed{}}; }

// OSSL_PARAM wants mutable pointers for inputs it only reads.
OSSL_PARAM octets(const char* name, std::span<const std::uint8_t> bytes) {
  return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()),
                                           bytes.size());
}

}  // namespace

bool hkdf_sha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                 std::span<const std::uint8_t> info, std::span<std::uint8_t> out) {
  std::unique_ptr<EVP_KDF, EvpDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return false;
  std::unique_ptr<EVP_KDF_CTX, EvpDeleter> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return false;
  char digest[] = "SHA256";
  // An empty salt means HashLen zero bytes (RFC 5869 2.2); OpenSSL does that when the
  // salt parameter is absent.
  OSSL_PARAM params[5];
  std::size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] = octets(OSSL_KDF_PARAM_KEY, ikm);
  if (!salt.empty()) params[n++] = octets(OSSL_KDF_PARAM_SALT, salt);
  if (!info.empty()) params[n++] = octets(OSSL_KDF_PARAM_INFO, info);
  params[n] = OSSL_PARAM_construct_end();
  return EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) == 1;
}

bool derive_payload_key(std::span<const std::uint8_t, SALT_LEN> salt, PayloadKey& key) {
  SecretBytes<IKM_LEN> ikm;
  SecretBytes<INFO_LEN> info;
  KeyMaterialSource::input_keying_material(ikm);
  KeyMaterialSource::info(info);
  return hkdf_sha256(ikm.bytes, salt, info.bytes, key.bytes);
}

Result<std::vector<std::uint8_t>, CoreError> aes256_gcm_open(
    std::span<const std::uint8_t, PAYLOAD_KEY_LEN> key,
    std::span<const std::uint8_t, NONCE_LEN> nonce, std::span<const std::uint8_t> associated_data,
    std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t, TAG_LEN> tag) {
  if (ciphertext.size() > MAX_CIPHERTEXT_LEN) return decrypt_failed();
  std::unique_ptr<EVP_CIPHER_CTX, EvpDeleter> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return decrypt_failed();
  int written = 0;
  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, NONCE_LEN, nullptr) != 1 ||
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data()) != 1) {
    return decrypt_failed();
  }
  for (std::size_t done = 0; done < associated_data.size();) {
    const std::size_t n = std::min(EVP_CHUNK, associated_data.size() - done);
    if (EVP_DecryptUpdate(ctx.get(), nullptr, &written, associated_data.data() + done,
                          static_cast<int>(n)) != 1) {
      return decrypt_failed();
    }
    done += n;
  }

  // Not released unless the tag matches: every exit below but the last wipes it.
  std::vector<std::uint8_t> plaintext(ciphertext.size());
  bool ok = true;
  for (std::size_t done = 0; ok && done < ciphertext.size();) {
    const std::size_t n = std::min(EVP_CHUNK, ciphertext.size() - done);
    ok = EVP_DecryptUpdate(ctx.get(), plaintext.data() + done, &written, ciphertext.data() + done,
                           static_cast<int>(n)) == 1 &&
         static_cast<std::size_t>(written) == n;
    done += n;
  }
  std::uint8_t tail[16];
  ok = ok &&
       EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, TAG_LEN,
                           const_cast<std::uint8_t*>(tag.data())) == 1 &&
       EVP_DecryptFinal_ex(ctx.get(), tail, &written) == 1 && written == 0;
  if (!ok) {
    secure_wipe(plaintext.data(), plaintext.size());
    return decrypt_failed();
  }
  return plaintext;
}

Result<std::vector<std::uint8_t>, CoreError> decrypt_payload(
    std::span<const std::uint8_t> associated_data, std::span<const std::uint8_t, SALT_LEN> salt,
    std::span<const std::uint8_t, NONCE_LEN> nonce, std::span<const std::uint8_t, TAG_LEN> tag,
    std::span<const std::uint8_t> ciphertext) {
  // Refused before the key is derived or anything is allocated.
  if (ciphertext.size() > MAX_CIPHERTEXT_LEN) return decrypt_failed();
  PayloadKey key;
  if (!derive_payload_key(salt, key)) return decrypt_failed();
  return aes256_gcm_open(key.bytes, nonce, associated_data, ciphertext, tag);
}

}  // namespace quelt::format
