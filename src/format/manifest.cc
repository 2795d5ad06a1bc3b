// File: format/manifest.cc
//
// The manifest's schema on top of the pull reader, and the tensor table built from it.
// ManifestJson and TensorEntryJson are both accepted as an object with their four keys
// (any order, unknown keys skipped, no key twice) or as an array of exactly their four
// values in order. Every schema problem becomes FormatJson with the reader's position
// suffix; the version is checked only once the whole text has been read, so a JSON
// problem anywhere wins over a wrong version.
#include "format/manifest.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/json_reader.h"

namespace quelt::format {
namespace {

inline constexpr std::uint16_t FORMAT_VERSION = 2;
inline constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// Overlapping tensors are allowed, so the sum of the copies is not bounded by the tensor
// data; this budget keeps it linear in the file's size (a legitimate model, whose
// tensors do not overlap, copies at most the tensor data once).
inline constexpr std::uint64_t COPY_BUDGET_FACTOR = 2;
inline constexpr std::uint64_t COPY_BUDGET_SLACK = std::uint64_t{1} << 20;

inline constexpr std::array<std::string_view, 4> MANIFEST_FIELDS = {"format_version", "model_type",
                                                                    "config", "tensors"};
inline constexpr std::array<std::string_view, 4> ENTRY_FIELDS = {"dtype", "shape", "offset",
                                                                 "nbytes"};

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? U64_MAX : product;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? U64_MAX : sum;
}

// Reads a struct of four fields in object or array form; read_field(i) reads the value
// of field i at the cursor. `name` is the struct's name in messages ("ManifestJson").
template <typename ReadField>
bool read_struct(JsonReader& reader, std::string_view name,
                 const std::array<std::string_view, 4>& fields, ReadField&& read_field) {
  const std::optional<char> c = reader.peek_token();
  if (c == '{') {
    if (!reader.begin_object()) return false;
    std::array<bool, 4> seen{};
    std::string key;
    bool found = false;
    for (bool first = true;; first = false) {
      if (!reader.next_key(first, key, found)) return false;
      if (!found) break;
      std::size_t index = 0;
      while (index < fields.size() && fields[index] != key) ++index;
      if (index == fields.size()) {
        if (!reader.expect_colon() || !reader.skip_value()) return false;
        continue;
      }
      if (seen[index]) return reader.fail_after("duplicate field `" + key + "`");
      if (!reader.expect_colon() || !read_field(index)) return false;
      seen[index] = true;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!seen[i]) return reader.fail_after("missing field `" + std::string(fields[i]) + "`");
    }
    return true;
  }
  if (c == '[') {
    if (!reader.begin_array()) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      bool found = false;
      if (!reader.next_element(i == 0, found)) return false;
      if (!found) {
        return reader.fail_after("invalid length " + std::to_string(i) + ", expected struct " +
                                 std::string(name) + " with 4 elements");
      }
      if (!read_field(i)) return false;
    }
    return reader.end_fixed_array();
  }
  return reader.fail_invalid_type("struct " + std::string(name));
}

bool read_shape(JsonReader& reader, std::vector<std::uint64_t>& shape) {
  if (reader.peek_token() != '[') return reader.fail_invalid_type("a sequence");
  if (!reader.begin_array()) return false;
  shape.clear();
  bool found = false;
  for (bool first = true;; first = false) {
    if (!reader.next_element(first, found)) return false;
    if (!found) return true;
    std::uint64_t dim = 0;
    if (!reader.read_unsigned(U64_MAX, "u64", dim)) return false;
    shape.push_back(dim);
  }
}

bool read_entry(JsonReader& reader, TensorEntryJson& entry) {
  return read_struct(reader, "TensorEntryJson", ENTRY_FIELDS, [&](std::size_t field) {
    switch (field) {
      case 0:
        return reader.read_string_value("a string", entry.dtype);
      case 1:
        return read_shape(reader, entry.shape);
      case 2:
        return reader.read_unsigned(U64_MAX, "u64", entry.offset);
      default:
        return reader.read_unsigned(U64_MAX, "u64", entry.nbytes);
    }
  });
}

bool read_tensors(JsonReader& reader, std::map<std::string, TensorEntryJson>& tensors) {
  if (reader.peek_token() != '{') return reader.fail_invalid_type("a map");
  if (!reader.begin_object()) return false;
  tensors.clear();
  std::string name;
  bool found = false;
  for (bool first = true;; first = false) {
    if (!reader.next_key(first, name, found)) return false;
    if (!found) return true;
    if (!reader.expect_colon()) return false;
    TensorEntryJson entry;
    if (!read_entry(reader, entry)) return false;
    // A name written again replaces its earlier entry.
    tensors.insert_or_assign(std::move(name), std::move(entry));
  }
}

bool read_manifest(JsonReader& reader, ManifestJson& manifest) {
  return read_struct(reader, "ManifestJson", MANIFEST_FIELDS, [&](std::size_t field) {
    switch (field) {
      case 0: {
        std::uint64_t version = 0;
        if (!reader.read_unsigned(std::numeric_limits<std::uint16_t>::max(), "u16", version)) {
          return false;
        }
        manifest.format_version = static_cast<std::uint16_t>(version);
        return true;
      }
      case 1:
        return reader.read_string_value("a string", manifest.model_type);
      case 2: {
        std::string_view text;
        if (!reader.read_value_text(text)) return false;
        manifest.config.assign(text);
        return true;
      }
      default:
        return read_tensors(reader, manifest.tensors);
    }
  });
}

}  // namespace

Result<ManifestJson, CoreError> parse_manifest(std::span<const std::uint8_t> manifest) {
  JsonReader reader(manifest);
  ManifestJson parsed;
  if (!read_manifest(reader, parsed) || !reader.expect_end()) {
    return Unexpected<CoreError>{errors::FormatJson{reader.error()}};
  }
  if (parsed.format_version != FORMAT_VERSION) {
    return Unexpected<CoreError>{
        errors::FormatUnsupportedMajor{parsed.format_version, FORMAT_VERSION}};
  }
  return parsed;
}

Result<ModelArtefact, CoreError> build_tensor_map(ManifestJson&& manifest,
                                                  std::span<const std::uint8_t> tensor_data) {
  const std::uint64_t available = tensor_data.size();
  const std::uint64_t budget =
      saturating_add(saturating_mul(available, COPY_BUDGET_FACTOR), COPY_BUDGET_SLACK);
  std::uint64_t copied = 0;
  ModelArtefact artefact;
  // The map's order is the byte-wise name order in which the entries are checked; each
  // node moves across with its name, and appending at the end keeps the insertion O(1).
  while (!manifest.tensors.empty()) {
    auto node = manifest.tensors.extract(manifest.tensors.begin());
    const std::string& name = node.key();
    TensorEntryJson& entry = node.mapped();

    std::uint64_t element_size = 0;
    TensorDtype dtype{};
    if (entry.dtype == "fp32") {
      dtype = TensorDtype::Fp32;
      element_size = 4;
    } else if (entry.dtype == "fp16") {
      dtype = TensorDtype::Fp16;
      element_size = 2;
    } else {
      return Unexpected<CoreError>{errors::FormatBadDtype{name, std::move(entry.dtype)}};
    }

    // Saturating, one dimension at a time: a later 0 still brings the count to 0.
    std::uint64_t count = 1;
    for (const std::uint64_t dim : entry.shape) count = saturating_mul(count, dim);
    const std::uint64_t computed = saturating_mul(count, element_size);

    if (entry.nbytes != computed) {
      return Unexpected<CoreError>{errors::FormatTensorSizeMismatch{name, entry.nbytes, computed}};
    }
    if (computed > available || entry.offset > available - computed) {
      return Unexpected<CoreError>{
          errors::FormatTensorOutOfBounds{name, entry.offset, computed, available}};
    }
    if (computed > budget - copied) {
      return Unexpected<CoreError>{errors::FormatJson{
          "tensor " + render_quoted(name) + " would bring the copied tensor bytes to " +
          std::to_string(saturating_add(copied, computed)) + ", over the limit of " +
          std::to_string(budget) + " (twice the tensor data plus 1 MiB)"}};
    }
    copied += computed;

    const auto first = tensor_data.begin() + static_cast<std::ptrdiff_t>(entry.offset);
    RawTensor tensor{
        dtype, std::move(entry.shape),
        std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(computed))};
    artefact.tensors.emplace_hint(artefact.tensors.end(), std::move(node.key()), std::move(tensor));
  }
  artefact.model_type = std::move(manifest.model_type);
  artefact.config = std::move(manifest.config);
  return artefact;
}

}  // namespace quelt::format
