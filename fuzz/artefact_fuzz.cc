// File: fuzz/artefact_fuzz.cc
//
// libFuzzer target for deserialize_artefact, the reader's whole attack surface. The first
// input byte picks one of two modes:
//   even: the rest is a .qelt file as found on disk. Mutations explore the header checks,
//         region bounds and decryption; almost none get past the tag, which is the point
//         of the tag.
//   odd:  the rest is three layout bytes and a plaintext, which the target seals with the
//         artefact writer (regions moved apart, gaps, trailing bytes, uninterpreted header
//         bytes set) before reading it back. Mutations then reach the length prefix, the
//         manifest and the tensor table through the real container path.
// Beyond the sanitizers' checks, each run checks what the reader promises: short inputs
// are FormatTruncated with the input length; a loaded tensor holds exactly element count x
// element size bytes; a sealed plaintext always authenticates and reads exactly as the
// manifest reader reads the same plaintext directly.
//
// Built with the `fuzz` preset; seeds from make_artefact_seeds (fuzz/CMakeLists.txt); also
// compiled into artefact_fuzz_replay_test, which runs the seeds in the normal test build.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <variant>
#include <vector>

#include "artefact_writer.h"
#include "format/artefact.h"
#include "format/errors.h"
#include "format/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace format = quelt::format;
namespace errors = quelt::format::errors;

// A broken promise: stop here, so that libFuzzer keeps the input that led to it.
void require(bool condition) {
  if (!condition) __builtin_trap();
}

void check_tensors(const format::ModelArtefact& artefact) {
  for (const auto& [name, tensor] : artefact.tensors) {
    std::uint64_t count = 1;
    for (const std::uint64_t dim : tensor.shape) {
      count = (dim != 0 && count > UINT64_MAX / dim) ? UINT64_MAX : count * dim;
    }
    const std::uint64_t size = tensor.dtype == format::TensorDtype::Fp32 ? 4 : 2;
    require(count <= UINT64_MAX / size && tensor.data.size() == count * size);
  }
}

bool same(const format::ModelArtefact& a, const format::ModelArtefact& b) {
  if (a.model_type != b.model_type || a.config != b.config ||
      a.tensors.size() != b.tensors.size()) {
    return false;
  }
  for (const auto& [name, tensor] : a.tensors) {
    const auto it = b.tensors.find(name);
    if (it == b.tensors.end() || it->second.dtype != tensor.dtype ||
        it->second.shape != tensor.shape || it->second.data != tensor.data) {
      return false;
    }
  }
  return true;
}

void check_file(std::span<const std::uint8_t> file) {
  const auto result = format::deserialize_artefact(file);
  if (result.has_value()) {
    check_tensors(result.value());
    return;
  }
  const format::CoreError& error = result.error();
  require(!format::render(error).empty());
  if (file.size() < 64) {
    const auto* truncated = std::get_if<errors::FormatTruncated>(&error);
    require(truncated != nullptr && truncated->offset == 0 && truncated->needed == 64 &&
            truncated->actual == file.size());
  } else if (const auto* truncated = std::get_if<errors::FormatTruncated>(&error)) {
    require(truncated->actual <= file.size());
  }
}

// The manifest reader's verdict on a plaintext, read directly (no container).
quelt::Result<format::ModelArtefact, format::CoreError> read_plaintext(
    std::span<const std::uint8_t> plaintext) {
  std::uint32_t manifest_len;
  std::memcpy(&manifest_len, plaintext.data(), 4);
  auto parsed = format::parse_manifest(plaintext.subspan(4, manifest_len));
  if (!parsed.has_value()) return quelt::Unexpected{std::move(parsed).error()};
  return format::build_tensor_map(std::move(parsed).value(),
                                  plaintext.subspan(4 + std::size_t{manifest_len}));
}

void check_sealed(std::span<const std::uint8_t> input) {
  if (input.size() < 3) return;
  const std::uint8_t layout = input[0];
  const std::uint8_t gap = input[1];
  const std::uint8_t extra = input[2];
  const std::span<const std::uint8_t> plaintext = input.subspan(3);

  quelt::writer::SealOptions options;
  switch (layout % 3) {
    case 0:  // canonical
      break;
    case 1:  // crypto block and payload apart, gaps between
      options.crypto_offset = 64 + gap;
      options.payload_offset = 64 + 2 * std::uint64_t{gap} + 44;
      break;
    default:  // payload first, crypto block after it
      options.payload_offset = 64 + gap;
      options.crypto_offset = 64 + gap + plaintext.size() + (layout >> 4);
      break;
  }
  options.trailing_bytes = extra & 0x3F;
  options.filler = gap;
  options.version_minor = extra;
  options.flags = 1u | (std::uint32_t{layout} << 24);
  options.reserved_a[extra & 0x0F] = layout;
  options.salt[0] = gap;
  const std::vector<std::uint8_t> file =
      quelt::writer::seal(quelt::writer::configured_key(), plaintext, options);

  const auto result = format::deserialize_artefact(file);
  if (plaintext.size() < 4) {
    require(!result.has_value());
    const auto* truncated = std::get_if<errors::FormatTruncated>(&result.error());
    require(truncated != nullptr && truncated->offset == 0 && truncated->needed == 4 &&
            truncated->actual == plaintext.size());
    return;
  }
  std::uint32_t manifest_len;
  std::memcpy(&manifest_len, plaintext.data(), 4);
  if (std::uint64_t{manifest_len} + 4 > plaintext.size()) {
    require(!result.has_value() && std::holds_alternative<errors::FormatJson>(result.error()));
    return;
  }
  const auto direct = read_plaintext(plaintext);
  require(result.has_value() == direct.has_value());
  if (result.has_value()) {
    check_tensors(result.value());
    require(same(result.value(), direct.value()));
  } else {
    require(format::render(result.error()) == format::render(direct.error()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> body(data + 1, size - 1);
  if ((data[0] & 1) == 0) {
    check_file(body);
  } else {
    check_sealed(body);
  }
  return 0;
}
