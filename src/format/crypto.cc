// File: format/crypto.cc
//
// HKDF-SHA256 and AES-256-GCM decryption over the reader's own OpenSSL provider
// (format/crypto_provider.h). HMAC (RFC 2104) and HKDF (RFC 5869) are spelled out here on
// the provider's SHA-256, because the provider's own HMAC would take the EVP road that
// loads the process's OpenSSL configuration. The provider writes plaintext into the output
// buffer while it authenticates and checks the tag only at the end, in constant time; the
// buffer is therefore handed out only after that check passed, and wiped otherwise.
#include "format/crypto.h"

#include <algorithm>
#include <initializer_list>

#include "format/crypto_provider.h"

namespace quelt::format {
namespace {

Unexpected<errors::DecryptFailed> decrypt_failed() { return Unexpected{errors::DecryptFailed{}}; }

// HMAC-SHA256 of the concatenated `message` parts. A key longer than the 64-byte block is
// hashed first; a shorter one is zero-padded to it. `out` is written last, after every part
// has been read, so it may be one of them.
bool hmac_sha256(Sha256& sha, std::span<const std::uint8_t> key,
                 std::initializer_list<std::span<const std::uint8_t>> message,
                 std::span<std::uint8_t, SHA256_LEN> out) {
  SecretBytes<SHA256_BLOCK_LEN> block;  // zeros
  if (key.size() > SHA256_BLOCK_LEN) {
    if (!sha.init() || !sha.update(key) || !sha.final(std::span(block.bytes).first<SHA256_LEN>())) {
      return false;
    }
  } else {
    std::copy(key.begin(), key.end(), block.bytes.begin());
  }
  SecretBytes<SHA256_BLOCK_LEN> pad;
  for (std::size_t i = 0; i < SHA256_BLOCK_LEN; ++i) {
    pad.bytes[i] = static_cast<std::uint8_t>(block.bytes[i] ^ 0x36);
  }
  SecretBytes<SHA256_LEN> inner;
  if (!sha.init() || !sha.update(pad.bytes)) return false;
  for (const std::span<const std::uint8_t> part : message) {
    if (!sha.update(part)) return false;
  }
  if (!sha.final(inner.bytes)) return false;
  for (std::size_t i = 0; i < SHA256_BLOCK_LEN; ++i) {
    pad.bytes[i] = static_cast<std::uint8_t>(block.bytes[i] ^ 0x5c);
  }
  return sha.init() && sha.update(pad.bytes) && sha.update(inner.bytes) && sha.final(out);
}

}  // namespace

bool hkdf_sha256(std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
                 std::span<const std::uint8_t> info, std::span<std::uint8_t> out) {
  if (out.size() > 255 * SHA256_LEN) return false;
  Sha256 sha(KeyMaterialSource::crypto());
  // Extract. An empty salt stands for HashLen zero bytes (RFC 5869 2.2), which as an HMAC
  // key pads to the same block as no key at all.
  SecretBytes<SHA256_LEN> prk;
  if (!hmac_sha256(sha, salt, {ikm}, prk.bytes)) return false;
  // Expand: T(i) = HMAC(PRK, T(i-1) | info | i), T(0) empty; the output is T(1) | T(2) | ...
  SecretBytes<SHA256_LEN> t;
  std::size_t t_len = 0;
  for (std::size_t done = 0, i = 1; done < out.size(); ++i) {
    const auto counter = static_cast<std::uint8_t>(i);
    if (!hmac_sha256(sha, prk.bytes,
                     {std::span<const std::uint8_t>(t.bytes).first(t_len), info,
                      std::span<const std::uint8_t>(&counter, 1)},
                     t.bytes)) {
      secure_wipe(out.data(), out.size());
      return false;
    }
    t_len = SHA256_LEN;
    const std::size_t n = std::min(SHA256_LEN, out.size() - done);
    std::copy_n(t.bytes.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(done));
    done += n;
  }
  return true;
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
  Aes256GcmDecryption gcm(KeyMaterialSource::crypto());
  if (!gcm.init(key, nonce) || !gcm.add_associated_data(associated_data)) {
    return decrypt_failed();
  }
  // Not released unless the tag matches.
  std::vector<std::uint8_t> plaintext(ciphertext.size());
  if (!gcm.decrypt(ciphertext, plaintext) || !gcm.check_tag(tag)) {
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
