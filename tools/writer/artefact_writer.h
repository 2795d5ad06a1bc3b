// File: tools/writer/artefact_writer.h
//
// The one writer of .qelt v2 artefacts. The library only reads artefacts; this host-side
// tool library makes them: the model export, the test suites (valid files and deliberately
// broken ones) and the fuzz seed corpus all go through it. It is not linked into the
// shipped library.
//
// A file is made in two steps: make_plaintext (or make_plaintext_raw) lays out the payload
// (u32 LE manifest_len, manifest JSON, tensor data), and seal encrypts it under a key and
// places header, crypto block and payload in the file. SealOptions exposes every header
// field and the placement of the regions so that tests can build any odd or broken file;
// the defaults give the canonical layout: header at 0, crypto block at 64, payload at 108.
//
// The writer keeps its own copy of the file layout and does its own key derivation and
// encryption instead of sharing the reader's code, so that tests built on it cross-check
// the reader rather than restate it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace quelt::writer {

// A deployment key: HKDF input keying material and info string.
struct Key {
  std::array<std::uint8_t, 32> ikm;
  std::array<std::uint8_t, 16> info;
};

// Reads a key file: lines "ikm = <64 hex digits>" and "info = <32 hex digits>", each once;
// blank lines and '#' comments are ignored. The error names the file and the line.
Result<Key, std::string> read_key_file(const std::string& path);

// Exactly 2 x out.size() hex digits (either case) into out; false otherwise.
bool decode_hex(std::string_view hex, std::span<std::uint8_t> out);

// The key the library was built with (the QWW_KEY_FILE of the build), read once on
// first use. Aborts with a message on stderr if that file cannot be read: every caller
// is a test or a tool that cannot do anything useful without it.
const Key& configured_key();

// One tensor for make_plaintext. dtype is free text so that broken entries can be made;
// bytes are written as given (nbytes = bytes.size()).
struct Tensor {
  std::string name;
  std::string dtype;
  std::vector<std::uint64_t> shape;
  std::vector<std::uint8_t> bytes;
};

// IEEE 754 binary32 to binary16, rounding to nearest, ties to even. Overflow gives an
// infinity, values below half the smallest subnormal give a signed zero, NaN stays NaN.
std::uint16_t fp32_to_fp16(float value);

// Little-endian byte encodings of whole arrays, for Tensor::bytes.
std::vector<std::uint8_t> fp32_bytes(std::span<const float> values);
std::vector<std::uint8_t> fp16_bytes(std::span<const float> values);  // rounded as above

// The manifest {"format_version": 2, "model_type", "config", "tensors"} with the tensors
// in the given order (a repeated name is written twice) and their data back to back,
// offsets assigned in order. config_json is inserted verbatim.
std::string make_manifest(const std::vector<Tensor>& tensors,
                          std::string_view model_type = "wake_word",
                          std::string_view config_json = "{}");

// Plaintext = u32 LE manifest_len, manifest JSON text, tensor data.
std::vector<std::uint8_t> make_plaintext(const std::vector<Tensor>& tensors,
                                         std::string_view model_type = "wake_word",
                                         std::string_view config_json = "{}");
std::vector<std::uint8_t> make_plaintext_raw(std::string_view manifest_json,
                                             std::span<const std::uint8_t> tensor_data);

// Header field offsets, for tests that patch a sealed file. Patching any header byte
// makes the file fail authentication unless an earlier check rejects it first.
namespace field {
inline constexpr std::size_t MAGIC = 0;            // u32
inline constexpr std::size_t VERSION_MAJOR = 4;    // u16
inline constexpr std::size_t VERSION_MINOR = 6;    // u16
inline constexpr std::size_t FLAGS = 8;            // u32
inline constexpr std::size_t CRYPTO_OFFSET = 12;   // u64
inline constexpr std::size_t CRYPTO_LEN = 20;      // u64
inline constexpr std::size_t RESERVED_A = 28;      // 16 bytes
inline constexpr std::size_t PAYLOAD_OFFSET = 44;  // u64
inline constexpr std::size_t PAYLOAD_LEN = 52;     // u64
inline constexpr std::size_t RESERVED_B = 60;      // 4 bytes
// Within the crypto block.
inline constexpr std::size_t SALT = 0;    // 16 bytes
inline constexpr std::size_t NONCE = 16;  // 12 bytes
inline constexpr std::size_t TAG = 28;    // 16 bytes
}  // namespace field

inline constexpr std::size_t HEADER_LEN = 64;
inline constexpr std::size_t CRYPTO_BLOCK_LEN = 44;

// Little-endian stores into a file being patched; the region must fit (checked, aborts).
void store_u16(std::span<std::uint8_t> file, std::size_t offset, std::uint16_t value);
void store_u32(std::span<std::uint8_t> file, std::size_t offset, std::uint32_t value);
void store_u64(std::span<std::uint8_t> file, std::size_t offset, std::uint64_t value);

// Everything a broken-file test may want to vary. Header fields are written as given and
// sealed into the authenticated header.
struct SealOptions {
  std::array<std::uint8_t, 16> salt{0x73, 0x61, 0x6c, 0x74, 0x2d, 0x71, 0x65, 0x6c,
                                    0x74, 0x2d, 0x76, 0x32, 0x2d, 0x30, 0x30, 0x31};
  std::array<std::uint8_t, 12> nonce{0x6e, 0x6f, 0x6e, 0x63, 0x65, 0x2d,
                                     0x71, 0x65, 0x6c, 0x74, 0x2d, 0x31};
  std::uint32_t magic = 0x544C4551;  // "QELT"
  std::uint16_t version_major = 2;
  std::uint16_t version_minor = 0;
  std::uint32_t flags = 1;
  std::uint64_t crypto_len = 44;
  std::array<std::uint8_t, 16> reserved_a{};  // header bytes 28..43
  std::array<std::uint8_t, 4> reserved_b{};   // header bytes 60..63
  // Placement. Defaults: crypto block right after the header, payload right after the
  // later of the header and the crypto block. Regions are written in the order header,
  // salt and nonce, payload, tag, later ones over earlier ones where they overlap; the
  // tag covers the header and payload bytes as finally written. So a crypto block inside
  // the header's reserved bytes gives a valid file, while an overlap that overwrites the
  // salt, nonce or tag, or a header field, gives one that fails to load.
  std::optional<std::uint64_t> crypto_offset;
  std::optional<std::uint64_t> payload_offset;
  std::size_t trailing_bytes = 0;  // appended after the furthest region
  std::uint8_t filler = 0;         // value of bytes that no region covers
};

// Encrypts plaintext with AES-256-GCM under HKDF-SHA256(key.ikm, salt, key.info) and
// lays out the file. Throws std::invalid_argument for a placement beyond 2^40 bytes and
// std::runtime_error if the crypto library fails.
std::vector<std::uint8_t> seal(const Key& key, std::span<const std::uint8_t> plaintext,
                               const SealOptions& options = {});

}  // namespace quelt::writer
