// File: tests/support/random_model.h
//
// Models with the random weights of random_weights.h (beside the artefact writer), built
// in memory: the weights as a tensor table in fp32 or fp16, and the model built from it,
// for tests that need a model but no file.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "format/artefact.h"
#include "nn/model.h"
#include "random_weights.h"

namespace quelt::testing {

// binary16 bits of a value that binary16 holds exactly as a zero or a normal number;
// aborts otherwise (random_model_values never produces such a value).
inline std::uint16_t exact_fp16_bits(float v) {
  const std::uint16_t sign = std::signbit(v) ? 0x8000 : 0;
  if (v == 0.0f) return sign;
  int e = 0;
  const double f = std::frexp(std::fabs(static_cast<double>(v)), &e);  // v = f * 2^e
  const double mantissa = f * 2048.0;                                  // 11 significant bits
  const int field = e - 1 + 15;
  if (mantissa != std::floor(mantissa) || field < 1 || field > 30) std::abort();
  return static_cast<std::uint16_t>(sign | (field << 10) | (static_cast<int>(mantissa) - 1024));
}

inline format::RawTensor make_raw_tensor(const std::vector<std::uint64_t>& shape,
                                         const std::vector<float>& values,
                                         format::TensorDtype dtype) {
  format::RawTensor raw{dtype, shape, {}};
  for (const float v : values) {
    if (dtype == format::TensorDtype::Fp32) {
      const auto bits = std::bit_cast<std::uint32_t>(v);
      for (int k = 0; k < 4; ++k) raw.data.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
    } else {
      const std::uint16_t bits = exact_fp16_bits(v);
      raw.data.push_back(static_cast<std::uint8_t>(bits & 0xFF));
      raw.data.push_back(static_cast<std::uint8_t>(bits >> 8));
    }
  }
  return raw;
}

inline format::TensorMap to_tensor_map(const std::vector<NamedValues>& tensors,
                                       format::TensorDtype dtype) {
  format::TensorMap map;
  for (const NamedValues& t : tensors) map[t.name] = make_raw_tensor(t.shape, t.values, dtype);
  return map;
}

inline nn::WakeWordModel random_model(std::uint64_t seed) {
  auto built = nn::build_model(to_tensor_map(random_model_values(seed), format::TensorDtype::Fp32));
  if (!built.has_value()) std::abort();
  return std::move(built).value();
}

}  // namespace quelt::testing
