// File: nn/ops.cc
//
// The scalar kernel shared by every machine (the head of the network, one dot product of
// 16 per frame, not worth a vector variant) and the run-time check that tells whether the
// AVX2 variant may be used on this CPU.
#include "nn/ops.h"

#include <cstddef>

#include "common/cpu.h"

namespace quelt::nn {

namespace {
constexpr std::size_t HEAD_INPUTS = 16;
}  // namespace

float dense_head(const float* x, const float* w, const float* b) {
  // Bias first, then each rounded product in index order (-ffp-contract=off keeps the
  // product and the sum as two roundings).
  float logit = b[0];
  for (std::size_t i = 0; i < HEAD_INPUTS; ++i) {
    const float product = w[i] * x[i];
    logit = logit + product;
  }
  return logit;
}

bool avx2_fma_supported() { return cpu_has_avx2_fma(); }

}  // namespace quelt::nn
