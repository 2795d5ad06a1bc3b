// File: nn/depthwise_frames.cc
//
// The weight transposition and the portable frame-major depthwise step: the reference
// that the vector variants match bit for bit (see nn/depthwise_frames.h for the order).
#include "nn/depthwise_frames.h"

#include <cmath>

namespace quelt::nn {

void transpose_depthwise_weights(const float* w, float* w_by_tap) {
  for (std::size_t c = 0; c < DEPTHWISE_CHANNELS; ++c) {
    for (std::size_t k = 0; k < DEPTHWISE_TAPS; ++k) {
      w_by_tap[k * DEPTHWISE_CHANNELS + c] = w[c * DEPTHWISE_TAPS + k];
    }
  }
}

namespace portable {

void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y) {
  constexpr std::size_t C = DEPTHWISE_CHANNELS;
  for (std::size_t c = 0; c < C; ++c) {
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t m = 0; m < 3; ++m) {
      for (std::size_t l = 0; l < 4; ++l) {
        const std::size_t k = 4 * m + l;
        acc[l] = std::fma(w_by_tap[k * C + c], taps[k][c], acc[l]);
      }
    }
    const float sum = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    const float newest = w_by_tap[12 * C + c] * taps[12][c];
    y[c] = (sum + b[c]) + newest;
  }
}

}  // namespace portable
}  // namespace quelt::nn
