// File: format/header.cc
//
// Decoding and checking the .qelt v2 header. Every field is read with memcpy from a
// checked position and converted from little-endian, and region ends are computed in
// 64 bits with explicit overflow checks, so a header that claims 2^64 bytes is refused
// here, before anything is allocated.
#include "format/header.h"

#include <bit>
#include <cstring>
#include <limits>

namespace quelt::format {
namespace {

// The supported targets (x86-64, AArch64 Linux) are little-endian, like the file.
static_assert(std::endian::native == std::endian::little);

template <typename T>
T load_le(std::span<const std::uint8_t> bytes, std::size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// True if a region of `needed` bytes at `offset` fits in `available` bytes. Otherwise
// fills `error`: `actual` is the whole length when the end overflows 64 bits, else what is
// left from `offset` on (0 past the end).
bool region_fits(std::uint64_t offset, std::uint64_t needed, std::uint64_t available,
                 errors::FormatTruncated& error) {
  if (offset > std::numeric_limits<std::uint64_t>::max() - needed) {
    error = {offset, needed, available};
    return false;
  }
  if (offset + needed > available) {
    error = {offset, needed, offset < available ? available - offset : 0};
    return false;
  }
  return true;
}

}  // namespace

Header decode_header(std::span<const std::uint8_t, HEADER_LEN> bytes) {
  Header h;
  h.magic = load_le<std::uint32_t>(bytes, 0);
  h.version_major = load_le<std::uint16_t>(bytes, 4);
  h.version_minor = load_le<std::uint16_t>(bytes, 6);
  h.flags = load_le<std::uint32_t>(bytes, 8);
  h.crypto_offset = load_le<std::uint64_t>(bytes, 12);
  h.crypto_len = load_le<std::uint64_t>(bytes, 20);
  h.payload_offset = load_le<std::uint64_t>(bytes, 44);
  h.payload_len = load_le<std::uint64_t>(bytes, 52);
  return h;
}

Result<Regions, CoreError> locate_regions(std::span<const std::uint8_t> file) {
  const std::uint64_t file_len = file.size();
  if (file_len < HEADER_LEN) {
    return Unexpected{errors::FormatTruncated{0, HEADER_LEN, file_len}};
  }
  const auto header_bytes = file.first<HEADER_LEN>();
  const Header h = decode_header(header_bytes);
  if (h.magic != MAGIC) return Unexpected{errors::FormatBadMagic{h.magic}};
  if (h.version_major != VERSION_MAJOR) {
    return Unexpected{errors::FormatUnsupportedMajor{h.version_major, VERSION_MAJOR}};
  }
  if ((h.flags & REQUIRED_FLAGS) == 0) {
    return Unexpected{errors::FormatBadFlags{h.flags, REQUIRED_FLAGS}};
  }
  if (h.crypto_len != CRYPTO_BLOCK_LEN) {
    // The same kind as the flags check, carrying the low 32 bits of the length.
    return Unexpected{errors::FormatBadFlags{static_cast<std::uint32_t>(h.crypto_len),
                                             static_cast<std::uint32_t>(CRYPTO_BLOCK_LEN)}};
  }
  errors::FormatTruncated truncated{};
  if (!region_fits(h.crypto_offset, CRYPTO_BLOCK_LEN, file_len, truncated)) {
    return Unexpected{truncated};
  }
  const auto crypto = file.subspan(static_cast<std::size_t>(h.crypto_offset), CRYPTO_BLOCK_LEN);
  Regions regions{header_bytes, {}, {}};
  std::memcpy(regions.crypto.salt.data(), crypto.data(), SALT_LEN);
  std::memcpy(regions.crypto.nonce.data(), crypto.data() + SALT_LEN, NONCE_LEN);
  std::memcpy(regions.crypto.tag.data(), crypto.data() + SALT_LEN + NONCE_LEN, TAG_LEN);
  if (!region_fits(h.payload_offset, h.payload_len, file_len, truncated)) {
    return Unexpected{truncated};
  }
  regions.payload = file.subspan(static_cast<std::size_t>(h.payload_offset),
                                 static_cast<std::size_t>(h.payload_len));
  return regions;
}

}  // namespace quelt::format
