// File: tools/writer/random_artefact.h
//
// Sealed .qelt v2 artefacts of the engine's architecture with random weights (see
// random_weights.h), made with the artefact writer: what make-random-model writes, and
// what tests and benchmarks load. The same seed gives the same weights
// in fp32 and in fp16, since every value is exact in binary16.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "artefact_writer.h"
#include "random_weights.h"

namespace quelt::testing {

inline std::vector<writer::Tensor> random_model_tensors(std::uint64_t seed, bool fp16) {
  std::vector<writer::Tensor> tensors;
  for (const NamedValues& t : random_model_values(seed)) {
    tensors.push_back({t.name, fp16 ? "fp16" : "fp32", t.shape,
                       fp16 ? writer::fp16_bytes(t.values) : writer::fp32_bytes(t.values)});
  }
  return tensors;
}

// A complete file, sealed with the key the library was built with; config_json is the
// manifest's config, verbatim.
inline std::vector<std::uint8_t> random_model_artefact(std::uint64_t seed, bool fp16,
                                                       std::string_view config_json = "{}") {
  return writer::seal(
      writer::configured_key(),
      writer::make_plaintext(random_model_tensors(seed, fp16), "wake_word", config_json));
}

}  // namespace quelt::testing
