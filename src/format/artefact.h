// File: format/artefact.h
//
// What loading a .qelt v2 artefact yields: the manifest's free-form fields and a table of
// named tensors, each owning a copy of its bytes (so the caller may drop the file's bytes
// as soon as loading returns). The element decoding happens later, in the model build.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "format/errors.h"

namespace quelt::format {

enum class TensorDtype : std::uint8_t {
  Fp32,  // "fp32": IEEE 754 binary32, 4 bytes per element, little-endian
  Fp16,  // "fp16": IEEE 754 binary16, 2 bytes per element, little-endian
};

struct RawTensor {
  TensorDtype dtype;
  std::vector<std::uint64_t> shape;  // outermost first; may be empty (a scalar)
  std::vector<std::uint8_t> data;    // exactly element count x element size bytes
};

// Searched by name only; names are compared byte for byte.
using TensorMap = std::map<std::string, RawTensor>;

struct ModelArtefact {
  std::string model_type;  // free text, interpreted nowhere
  // Any JSON value, interpreted nowhere: its text as the manifest wrote it, from its first
  // byte to its last. The reader has checked it (grammar, UTF-8, nesting, numbers within
  // a double's range), so tools that show it may hand it to any JSON parser.
  std::string config;
  TensorMap tensors;
};

// Reads a whole .qelt v2 file: header and region checks, decryption, manifest, tensor
// table. Reads nothing but `file` and the built-in key material; thread-safe.
Result<ModelArtefact, CoreError> deserialize_artefact(std::span<const std::uint8_t> file);

}  // namespace quelt::format
