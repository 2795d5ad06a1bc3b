// File: fuzz/manifest_fuzz.cc
//
// libFuzzer target for the manifest and tensor-table path, fed decrypted payloads as the
// reader sees them: manifest_len (u32 little-endian), the manifest, then the tensor data.
// A manifest_len beyond the input is clamped to what is there, so that mutations which
// grow or shrink the manifest keep reaching the parser instead of a length check that
// belongs to the container.
//
// Beyond "no crash, no out-of-bounds access, no unbounded allocation" (the sanitizers'
// and libFuzzer's job), every run checks what the path promises: a FormatJson from the
// parser carries a position inside the manifest; a parsed `config` is a piece of the
// manifest's text that nlohmann-json, an independent parser, accepts (so its strings are
// valid UTF-8 and its numbers finite); each built tensor holds exactly the bytes its entry
// addresses.
//
// Built with the `fuzz` preset (fuzz/CMakeLists.txt has the commands); also compiled into
// manifest_fuzz_replay_test, which runs every seed in the normal test build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "format/errors.h"
#include "format/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using quelt::format::CoreError;
namespace errors = quelt::format::errors;

// A broken promise: stop here, so that libFuzzer keeps the input that led to it.
void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Whether `text` ends in " at line L column C" naming a byte position of `manifest`.
bool has_position_in(std::string_view text, std::span<const std::uint8_t> manifest) {
  const std::size_t at = text.rfind(" at line ");
  if (at == std::string_view::npos) return false;
  unsigned long long line = 0;
  unsigned long long column = 0;
  char tail = 0;
  const std::string suffix(text.substr(at));
  if (std::sscanf(suffix.c_str(), " at line %llu column %llu%c", &line, &column, &tail) != 2) {
    return false;
  }
  // Walk to the start of line `line` and measure it.
  std::size_t start = 0;
  for (unsigned long long l = 1; l < line; ++l) {
    const auto* newline = static_cast<const std::uint8_t*>(
        std::memchr(manifest.data() + start, '\n', manifest.size() - start));
    if (newline == nullptr) return false;
    start = static_cast<std::size_t>(newline - manifest.data()) + 1;
  }
  const auto* end = static_cast<const std::uint8_t*>(
      std::memchr(manifest.data() + start, '\n', manifest.size() - start));
  const std::size_t length =
      (end == nullptr ? manifest.size() : static_cast<std::size_t>(end - manifest.data())) - start;
  return line >= 1 && column <= length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint32_t manifest_len =
      static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
      static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
  const std::span<const std::uint8_t> rest(data + 4, size - 4);
  const std::size_t length = std::min<std::size_t>(manifest_len, rest.size());
  const std::span<const std::uint8_t> manifest = rest.first(length);
  const std::span<const std::uint8_t> tensor_data = rest.subspan(length);

  auto parsed = quelt::format::parse_manifest(manifest);
  if (!parsed.has_value()) {
    const CoreError& error = parsed.error();
    require(!quelt::format::render(error).empty());
    if (const auto* json = std::get_if<errors::FormatJson>(&error)) {
      require(has_position_in(json->text, manifest));
    } else {
      require(std::holds_alternative<errors::FormatUnsupportedMajor>(error));
    }
    return 0;
  }
  quelt::format::ManifestJson manifest_json = std::move(parsed).value();
  require(manifest_json.format_version == 2);
  const std::string_view text(reinterpret_cast<const char*>(manifest.data()), manifest.size());
  require(!manifest_json.config.empty() && text.find(manifest_json.config) != text.npos);
  require(nlohmann::json::accept(manifest_json.config));

  const std::map<std::string, quelt::format::TensorEntryJson> entries = manifest_json.tensors;
  auto built = quelt::format::build_tensor_map(std::move(manifest_json), tensor_data);
  if (!built.has_value()) {
    const CoreError& error = built.error();
    require(!quelt::format::render(error).empty());
    require(std::holds_alternative<errors::FormatBadDtype>(error) ||
            std::holds_alternative<errors::FormatTensorSizeMismatch>(error) ||
            std::holds_alternative<errors::FormatTensorOutOfBounds>(error) ||
            std::holds_alternative<errors::FormatJson>(error));
    return 0;
  }
  require(built.value().tensors.size() == entries.size());
  for (const auto& [name, tensor] : built.value().tensors) {
    const quelt::format::TensorEntryJson& entry = entries.at(name);
    require(tensor.shape == entry.shape);
    require(tensor.data.size() == entry.nbytes);
    require(entry.offset <= tensor_data.size() &&
            entry.nbytes <= tensor_data.size() - entry.offset);
    require(entry.nbytes == 0 ||
            std::memcmp(tensor.data.data(), tensor_data.data() + entry.offset, entry.nbytes) == 0);
  }
  return 0;
}
