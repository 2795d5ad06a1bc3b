// File: format/header.h
//
// The fixed part of a .qelt v2 file: the 64-byte header at offset 0 and the 44-byte crypto
// block it points to. locate_regions runs the container checks that need nothing but
// these bytes (magic, version, flags, crypto block length, region bounds), in the order
// that decides which error a doubly broken file reports, and allocates nothing, so a wrong
// or truncated file is refused before the payload is touched.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/result.h"
#include "format/crypto.h"
#include "format/errors.h"

namespace quelt::format {

inline constexpr std::size_t HEADER_LEN = 64;
inline constexpr std::size_t CRYPTO_BLOCK_LEN = 44;
inline constexpr std::uint32_t MAGIC = 0x544C4551;  // "QELT" read as a little-endian u32
inline constexpr std::uint16_t VERSION_MAJOR = 2;
inline constexpr std::uint32_t REQUIRED_FLAGS = 1;  // bit 0; bits 1 to 31 carry no meaning

// Header fields as stored (all little-endian). The reserved bytes 28..43 and 60..63 are
// never interpreted, but like every header byte they are authenticated.
struct Header {
  std::uint32_t magic;
  std::uint16_t version_major;
  std::uint16_t version_minor;  // read, never interpreted
  std::uint32_t flags;
  std::uint64_t crypto_offset;
  std::uint64_t crypto_len;
  std::uint64_t payload_offset;
  std::uint64_t payload_len;
};

Header decode_header(std::span<const std::uint8_t, HEADER_LEN> bytes);

struct CryptoBlock {
  std::array<std::uint8_t, SALT_LEN> salt;
  std::array<std::uint8_t, NONCE_LEN> nonce;
  std::array<std::uint8_t, TAG_LEN> tag;
};

// Views into the file (which must outlive them) plus a copy of the crypto block.
struct Regions {
  std::span<const std::uint8_t, HEADER_LEN> header;
  CryptoBlock crypto;
  std::span<const std::uint8_t> payload;  // the ciphertext
};

// Header checks and region bounds. Errors: FormatTruncated, FormatBadMagic,
// FormatUnsupportedMajor, FormatBadFlags. The regions may lie anywhere in the file, in any
// order, overlapping each other or the header.
Result<Regions, CoreError> locate_regions(std::span<const std::uint8_t> file);

}  // namespace quelt::format
