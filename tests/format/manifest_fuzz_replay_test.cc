// File: tests/format/manifest_fuzz_replay_test.cc
//
// Runs manifest_fuzz's seeds, and every truncation of them, through the fuzz target in
// the normal test build, so that its checks hold on every platform the tests run on (the
// fuzzer itself needs clang on x86-64). Payloads are built as make_manifest_seeds.py
// builds them: manifest_len, the manifest, 256 bytes of tensor data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_reader.h"
#include "format/errors.h"
#include "format/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace quelt::format {
namespace {

std::vector<std::uint8_t> payload(const std::string& manifest, std::size_t manifest_len) {
  std::vector<std::uint8_t> out;
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(manifest_len >> shift));
  }
  out.insert(out.end(), manifest.begin(),
             manifest.begin() + static_cast<std::ptrdiff_t>(manifest_len));
  for (int i = 0; i < 256; ++i) out.push_back(static_cast<std::uint8_t>(i));
  return out;
}

std::string outcome(const std::string& manifest) {
  const std::vector<std::uint8_t> p = payload(manifest, manifest.size());
  auto parsed = parse_manifest(std::span(p).subspan(4, manifest.size()));
  if (!parsed.has_value()) return render(parsed.error());
  auto built =
      build_tensor_map(std::move(parsed).value(), std::span(p).subspan(4 + manifest.size()));
  return built.has_value() ? "ok" : render(built.error());
}

TEST(ManifestFuzzReplay, EverySeedAndItsTruncations) {
  // What each seed stands for; a seed edited out of its purpose shows up here.
  const std::map<std::string, std::string> expected_start = {
      {"array_form", "ok"},
      {"bad_dtype", "FormatBadDtype { name: \"A\""},
      {"deep_126", "ok"},
      {"minimal", "ok"},
      {"numbers_and_text", "ok"},
      {"out_of_bounds", "FormatTensorOutOfBounds { name: \"head.bias\""},
      {"repeated_and_overlapping", "ok"},
      {"schema_errors", "FormatJson(\"invalid type: floating point `2.0`, expected u64"},
      {"short_array", "FormatJson(\"invalid length 2, expected struct TensorEntryJson"},
      {"size_mismatch", "FormatTensorSizeMismatch { name: \"w\", declared: 24, computed: 12 }"},
      {"syntax_errors", "FormatJson(\"invalid escape"},
      {"too_deep", "FormatJson(\"recursion limit exceeded"},
      {"typical", "ok"},
      {"version3", "FormatUnsupportedMajor { found: 3, expected: 2 }"},
  };
  std::size_t seeds = 0;
  for (const auto& file : std::filesystem::directory_iterator(QWW_MANIFEST_SEED_DIR)) {
    if (file.path().extension() != ".json") continue;
    const auto bytes = read_whole_file(file.path().c_str());
    ASSERT_TRUE(bytes.has_value()) << file.path();
    const std::string manifest(bytes.value().begin(), bytes.value().end());
    ++seeds;
    const std::string stem = file.path().stem().string();
    ASSERT_TRUE(expected_start.count(stem)) << "seed without an expectation: " << stem;
    EXPECT_EQ(outcome(manifest).rfind(expected_start.at(stem), 0), 0u)
        << stem << ": " << outcome(manifest);
    for (std::size_t len = 0; len <= manifest.size(); ++len) {
      const std::vector<std::uint8_t> p = payload(manifest, len);
      LLVMFuzzerTestOneInput(p.data(), p.size());
    }
  }
  EXPECT_EQ(seeds, expected_start.size());
}

}  // namespace
}  // namespace quelt::format
