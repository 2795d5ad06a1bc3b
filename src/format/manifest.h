// File: format/manifest.h
//
// The decrypted payload's JSON manifest and the tensor table built from it. The manifest
// describes every tensor (dtype, shape, offset and size within the tensor data region that
// follows it); build_tensor_map checks each entry against that region and copies the
// tensor's bytes out.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "format/artefact.h"
#include "format/errors.h"

namespace quelt::format {

struct TensorEntryJson {
  std::string dtype;
  std::vector<std::uint64_t> shape;
  std::uint64_t offset = 0;
  std::uint64_t nbytes = 0;
};

struct ManifestJson {
  std::uint16_t format_version = 0;
  std::string model_type;
  std::string config;  // the value's JSON text as written
  // Keyed by name in byte-wise order (std::string compares as unsigned bytes), the order in
  // which build_tensor_map checks the entries; a repeated name keeps its last entry.
  std::map<std::string, TensorEntryJson> tensors;
};

// FormatJson for any JSON or schema problem (text ends " at line L column C"),
// FormatUnsupportedMajor for a format_version other than 2.
Result<ManifestJson, CoreError> parse_manifest(std::span<const std::uint8_t> manifest);

// FormatBadDtype, FormatTensorSizeMismatch or FormatTensorOutOfBounds for the first bad
// entry in byte-wise name order. Consumes the manifest. Tensors may overlap, but their
// copies together may not exceed twice the tensor data plus 1 MiB (FormatJson otherwise),
// so that a small file cannot make loading allocate without bound.
Result<ModelArtefact, CoreError> build_tensor_map(ManifestJson&& manifest,
                                                  std::span<const std::uint8_t> tensor_data);

}  // namespace quelt::format
