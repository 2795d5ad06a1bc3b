// File: format/crypto.h
//
// Payload decryption of .qelt v2 artefacts: AES-256-GCM (NIST SP 800-38D) with a 96-bit
// nonce, a separate 128-bit tag and the 64 header bytes as associated data, under a key
// derived with HKDF-SHA256 (RFC 5869) from the built-in key material and the file's salt.
// SHA-256 and AES-256-GCM come from OpenSSL's built-in provider in a library context of the
// reader's own (format/crypto_provider.h), so the host's OpenSSL configuration plays no
// part; this unit fixes their parameters and makes sure no plaintext leaves before the tag
// has been checked. Every failure is the one kind DecryptFailed, with no detail; exhausted
// memory is not a failure of the file and throws std::bad_alloc, as every allocation of the
// reader does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/result.h"
#include "format/errors.h"
#include "format/key_material.h"

namespace quelt::format {

inline constexpr std::size_t SALT_LEN = 16;
inline constexpr std::size_t NONCE_LEN = 12;
inline constexpr std::size_t TAG_LEN = 16;
inline constexpr std::size_t PAYLOAD_KEY_LEN = 32;
// GCM's 32-bit block counter starts at 2 for the first plaintext block, so at most
// 2^32 - 2 blocks can be encrypted before the keystream would repeat (NIST SP 800-38D).
inline constexpr std::uint64_t MAX_CIPHERTEXT_LEN = (std::uint64_t{1} << 36) - 32;

using PayloadKey = SecretBytes<PAYLOAD_KEY_LEN>;

// HKDF-SHA256 of any input lengths into out. False if out is longer than 255 x 32 bytes or
// the crypto library fails.
[[nodiscard]] bool hkdf_sha256(std::span<const std::uint8_t> ikm,
                               std::span<const std::uint8_t> salt,
                               std::span<const std::uint8_t> info, std::span<std::uint8_t> out);

// The AES-256 key of an artefact: HKDF-SHA256 of the built-in keying material, the file's
// salt and the built-in info string. False only if the crypto library fails.
[[nodiscard]] bool derive_payload_key(std::span<const std::uint8_t, SALT_LEN> salt,
                                      PayloadKey& key);

// AES-256-GCM decryption and verification. The plaintext (same length as the ciphertext)
// is returned only if the tag matches; otherwise it is wiped and DecryptFailed returned.
Result<std::vector<std::uint8_t>, CoreError> aes256_gcm_open(
    std::span<const std::uint8_t, PAYLOAD_KEY_LEN> key,
    std::span<const std::uint8_t, NONCE_LEN> nonce, std::span<const std::uint8_t> associated_data,
    std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t, TAG_LEN> tag);

// derive_payload_key then aes256_gcm_open; any failure is DecryptFailed.
Result<std::vector<std::uint8_t>, CoreError> decrypt_payload(
    std::span<const std::uint8_t> associated_data, std::span<const std::uint8_t, SALT_LEN> salt,
    std::span<const std::uint8_t, NONCE_LEN> nonce, std::span<const std::uint8_t, TAG_LEN> tag,
    std::span<const std::uint8_t> ciphertext);

}  // namespace quelt::format
