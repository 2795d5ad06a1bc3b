// File: format/key_shares.h
//
// The masked shares of the built-in key material. The definitions are generated at
// configure time from the deployment's key file (cmake/QueltKeyShares.cmake) into the
// build tree; only key_material.cc reads them. They live in a translation unit of their
// own so that the compiler cannot fold the XOR of two shares back into plain key bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelt::format::key_shares {

inline constexpr std::size_t IKM_LEN = 32;
inline constexpr std::size_t INFO_LEN = 16;
// 65536 positions that the mixed constant can select, plus the 16 bytes read from the last.
inline constexpr std::size_t SHARE_POOL_LEN = 65536 + INFO_LEN;

// Keying material = IKM_SHARE_A XOR IKM_SHARE_B, byte by byte.
extern const std::uint8_t IKM_SHARE_A[IKM_LEN];
extern const std::uint8_t IKM_SHARE_B[IKM_LEN];
// Info string = INFO_TABLE XOR SHARE_POOL[position(INFO_CONSTANT) ...], 16 bytes.
extern const std::uint8_t INFO_TABLE[INFO_LEN];
extern const std::uint32_t INFO_CONSTANT;
extern const std::uint8_t SHARE_POOL[SHARE_POOL_LEN];

}  // namespace quelt::format::key_shares
