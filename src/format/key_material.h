// File: format/key_material.h
//
// The built-in key material of the artefact reader: the 32-byte HKDF input keying
// material and the 16-byte HKDF info string. Neither is stored in plain form; each is two
// XOR shares (format/key_shares.h, generated from the deployment's key file) combined at
// run time. The keying material is combined once per process into a cache, in the same
// one-time initialisation that creates the reader's OpenSSL library context
// (format/crypto_provider.h); the info string is combined afresh on every call. Buffers
// that hold key bytes are wiped when they go out of scope.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quelt::format {

class CryptoProvider;

inline constexpr std::size_t IKM_LEN = 32;
inline constexpr std::size_t INFO_LEN = 16;

// Overwrites memory in a way the optimiser may not drop.
void secure_wipe(void* data, std::size_t size);

// A fixed-size secret, wiped on destruction. Neither copied nor moved, so no stray copy
// of the bytes is left behind.
template <std::size_t N>
struct SecretBytes {
  std::array<std::uint8_t, N> bytes{};

  SecretBytes() = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { secure_wipe(bytes.data(), bytes.size()); }
};

// Thread-safe. The keying material and the library context are built together, at most
// once per process, on first use, and are read-only afterwards. The library context can
// only fail to be created when memory is exhausted: input_keying_material and crypto then
// throw std::bad_alloc, nothing is kept, and the next call tries again.
class KeyMaterialSource {
 public:
  static void input_keying_material(SecretBytes<IKM_LEN>& out);
  static void info(SecretBytes<INFO_LEN>& out);
  // The reader's cryptography, for the life of the process.
  static const CryptoProvider& crypto();

  // Whether the keying material cache has been built in this process (for tests of the
  // first-use race).
  static bool input_keying_material_ready();

  // Where the info string's second share starts in the share pool: the constant mixed
  // (x ^= x >> 10; x ^= rotl(x, 2); x += 1) and folded to 16 bits.
  static std::uint32_t info_share_position(std::uint32_t constant);
};

}  // namespace quelt::format
