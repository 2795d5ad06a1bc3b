// File: tools/writer/random_weights.h
//
// Random weights for the engine's architecture, for the make-random-model tool and for
// tests. Every value is an integer multiple of 2^-10 below 2 in magnitude, so binary16
// holds it exactly: the same seed gives the same model whether its tensors are stored as
// fp32 or fp16. Scales keep activations sane: pointwise weights about 1/sqrt(fan-in),
// layer-norm scales near 1, small shifts and biases. The generator is a fixed SplitMix64,
// so a seed names the same model on every machine and standard library. Header-only, and
// needs nothing of the writer, so tests that build models in memory use it alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nn/model.h"

namespace quelt::testing {

// One tensor's name, shape and values (row-major).
struct NamedValues {
  std::string name;
  std::vector<std::uint64_t> shape;
  std::vector<float> values;
};

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform integer in [lo, hi].
  std::int64_t uniform_int(std::int64_t lo, std::int64_t hi) {
    const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
    return lo + static_cast<std::int64_t>(next() % span);
  }
  // Uniform float in [-1, 1) with 24 random bits.
  float uniform_pm1() {
    return static_cast<float>(static_cast<std::int64_t>(next() >> 40) - (1 << 23)) * 0x1p-23f;
  }

 private:
  std::uint64_t state_;
};

inline bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Values in [lo, hi] x 2^-10 for each tensor of the architecture, in request order.
inline std::vector<NamedValues> random_model_values(std::uint64_t seed) {
  SplitMix64 rng(seed);
  std::vector<NamedValues> out;
  for (nn::TensorSpec& spec : nn::required_tensors()) {
    std::uint64_t count = 1;
    for (const std::uint64_t d : spec.shape) count *= d;
    // Ranges in units of 2^-10.
    std::int64_t lo = -100, hi = 100;  // biases, layer-norm shifts: +-0.1
    if (ends_with(spec.name, "ln.weight")) {
      lo = 768, hi = 1280;  // layer-norm scales 0.75 .. 1.25
    } else if (spec.name == "head.weight") {
      lo = -1024, hi = 1024;
    } else if (spec.name == "head.bias") {
      lo = -512, hi = 512;
    } else if (ends_with(spec.name, "dw_conv.conv.weight")) {
      lo = -400, hi = 400;  // 13 taps
    } else if (ends_with(spec.name, ".weight")) {
      lo = -256, hi = 256;  // pointwise, 64 inputs
    }
    NamedValues t{spec.name, spec.shape, std::vector<float>(count)};
    for (float& v : t.values) v = static_cast<float>(rng.uniform_int(lo, hi)) * 0x1p-10f;
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace quelt::testing
