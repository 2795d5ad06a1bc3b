// File: nn/ops.cc
//
// The scalar code shared by every machine: the head of the network (one dot product of
// 16 per frame, not worth a vector variant) and the tap-major layout of the depthwise
// weights that build_model prepares once per model.
#include "nn/ops.h"

#include <cstddef>

namespace quelt::nn {

void transpose_depthwise_weights(const float* w, float* w_by_tap) {
  for (std::size_t c = 0; c < CHANNELS; ++c) {
    for (std::size_t k = 0; k < KERNEL_SIZE; ++k) {
      w_by_tap[k * CHANNELS + c] = w[c * KERNEL_SIZE + k];
    }
  }
}

float dense_head(const float* x, const float* w, const float* b) {
  // Bias first, then each rounded product in index order (-ffp-contract=off keeps the
  // product and the sum as two roundings).
  float logit = b[0];
  for (std::size_t i = 0; i < BOTTLENECK_CHANNELS; ++i) {
    const float product = w[i] * x[i];
    logit = logit + product;
  }
  return logit;
}

}  // namespace quelt::nn
