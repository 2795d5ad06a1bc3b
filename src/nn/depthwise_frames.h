// File: nn/depthwise_frames.h
//
// The depthwise step of the streaming network over frame-major histories. A block keeps
// its recent inputs as a ring of whole frames (64 channel values each) rather than as 64
// per-channel rows, so that one frame enters with a single 256-byte copy and the values
// that tap k of eight (or four) neighbouring channels meets lie side by side. The step
// then runs channels across the vector lanes with no gathers and no horizontal sums, and
// one kernel serves every dilation: the caller hands it the 13 frames the taps meet.
//
// Each channel's result is computed exactly as depthwise_conv_step (nn/ops.h) computes
// it: four tap accumulators acc[l] (l = 0..3) start at zero and take, for m = 0, 1, 2 in
// turn, the fused step acc[l] += w[4m + l] * h[4m + l]; then
//   y[c] = (((acc[0] + acc[1]) + (acc[2] + acc[3])) + b[c]) + (w[12] * h[12]),
// the last product rounded on its own. Only the lanes hold different channels instead of
// different taps; every channel sees the same operations on the same values in the same
// order, so the results agree bit for bit (NaN results agree in being NaN).
//
// Variants as in nn/ops.h: portable everywhere, neon on AArch64, avx2 on x86-64 (call
// only when avx2_fma_supported()).
#pragma once

#include <cstddef>

#include "nn/ops.h"

namespace quelt::nn {

// w_by_tap[k * 64 + c] = w[c * 13 + k]: a block's depthwise weights tap-major.
void transpose_depthwise_weights(const float* w, float* w_by_tap);

#define QWW_DECLARE_DEPTHWISE_FRAMES()                                                     \
  /* y[c] for c < 64; taps[k] points to the 64 inputs that tap k meets (tap 12 the         \
     newest); w_by_tap tap-major (13 x 64); b 64 biases. y must not overlap the inputs. */ \
  void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y);

namespace portable {
QWW_DECLARE_DEPTHWISE_FRAMES()
}  // namespace portable
#if defined(__aarch64__)
namespace neon {
QWW_DECLARE_DEPTHWISE_FRAMES()
}  // namespace neon
#endif
#if defined(__x86_64__)
namespace avx2 {
QWW_DECLARE_DEPTHWISE_FRAMES()
}  // namespace avx2
#endif

#undef QWW_DECLARE_DEPTHWISE_FRAMES

}  // namespace quelt::nn
