// File: format/errors.h
//
// The error kinds of loading a model. CoreError covers the artefact reader (container,
// decryption, manifest, tensor table) and the tensor lookups of the model build;
// WakeWordError is the model build's own error, which wraps a CoreError. Errors are plain
// values that own their data; `render` gives their one text form, the structured
// rendering that the Python module shows after its prefix, e.g.
//   FormatTruncated { offset: 0, needed: 64, actual: 10 }
//   Core(ShapeMismatch { name: "head.weight", actual: [16], expected: [1, 16] })
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quelt::format {

namespace errors {
// The artefact file cannot be opened or read: path, ": ", the system's description.
struct Io {
  std::string text;
};
// A region of `needed` bytes at `offset` does not fit; `actual` bytes are available.
struct FormatTruncated {
  std::uint64_t offset;
  std::uint64_t needed;
  std::uint64_t actual;
};
// The first four bytes, read as a little-endian u32, are not "QELT".
struct FormatBadMagic {
  std::uint32_t found;
};
// Header version_major or manifest format_version is not 2.
struct FormatUnsupportedMajor {
  std::uint16_t found;
  std::uint16_t expected;
};
// flags lack bit 0 (expected 1), or crypto_len is not 44 (found = its low 32 bits).
struct FormatBadFlags {
  std::uint32_t found;
  std::uint32_t expected;
};
// The manifest is not acceptable JSON for the schema, or its length overruns the payload.
struct FormatJson {
  std::string text;
};
// Authenticated decryption failed; deliberately without detail.
struct DecryptFailed {};
struct FormatBadDtype {
  std::string name;
  std::string dtype;
};
struct FormatTensorSizeMismatch {
  std::string name;
  std::uint64_t declared;
  std::uint64_t computed;
};
struct FormatTensorOutOfBounds {
  std::string name;
  std::uint64_t offset;
  std::uint64_t nbytes;
  std::uint64_t available;
};
struct MissingTensor {
  std::string name;
};
struct ShapeMismatch {
  std::string name;
  std::vector<std::uint64_t> actual;
  std::vector<std::uint64_t> expected;
};
}  // namespace errors

// Exactly one kind, in this order.
using CoreError =
    std::variant<errors::Io, errors::FormatTruncated, errors::FormatBadMagic,
                 errors::FormatUnsupportedMajor, errors::FormatBadFlags, errors::FormatJson,
                 errors::DecryptFailed, errors::FormatBadDtype, errors::FormatTensorSizeMismatch,
                 errors::FormatTensorOutOfBounds, errors::MissingTensor, errors::ShapeMismatch>;

// The wake-word layer's error; its one kind, Core, passes a CoreError through unchanged.
struct WakeWordError {
  CoreError core;
};

// Total; never fails.
std::string render(const CoreError& error);
std::string render(const WakeWordError& error);

// `text` between double quotes, escaped the way render writes text fields (\" \\ \n \r
// \t \0, \u{hex} for other control and invisible characters). Also used by the manifest
// reader to quote a string value in its messages.
std::string render_quoted(std::string_view text);

}  // namespace quelt::format
