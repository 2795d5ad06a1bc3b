// File: nn/depthwise_frames_neon.cc
//
// The frame-major depthwise step in Advanced SIMD: four channels per vector, the four
// tap accumulators of each channel in four registers; fused steps are vfmaq_f32, the
// rest plain vaddq_f32 / vmulq_f32 (never vmlaq_f32).
#if !defined(__ARM_NEON)
#error "nn/depthwise_frames_neon.cc needs Advanced SIMD (NEON); build it for AArch64 only"
#endif

#include <arm_neon.h>

#include "nn/depthwise_frames.h"

namespace quelt::nn::neon {

void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y) {
  constexpr std::size_t C = DEPTHWISE_CHANNELS;
  static_assert(C % 4 == 0);
  // The tap pointers in locals, so that they stay in registers across the stores to y.
  const float* t[DEPTHWISE_TAPS];
  for (std::size_t k = 0; k < DEPTHWISE_TAPS; ++k) t[k] = taps[k];
  for (std::size_t c = 0; c < C; c += 4) {
    // Written out so that the four accumulators stay in registers: tap k = 4m + l feeds
    // accumulator l, for m = 0, 1, 2 in turn.
    const auto tap = [&](std::size_t k, float32x4_t acc) {
      return vfmaq_f32(acc, vld1q_f32(w_by_tap + k * C + c), vld1q_f32(t[k] + c));
    };
    float32x4_t a0 = tap(0, vdupq_n_f32(0.0f));
    float32x4_t a1 = tap(1, vdupq_n_f32(0.0f));
    float32x4_t a2 = tap(2, vdupq_n_f32(0.0f));
    float32x4_t a3 = tap(3, vdupq_n_f32(0.0f));
    a0 = tap(4, a0);
    a1 = tap(5, a1);
    a2 = tap(6, a2);
    a3 = tap(7, a3);
    a0 = tap(8, a0);
    a1 = tap(9, a1);
    a2 = tap(10, a2);
    a3 = tap(11, a3);
    const float32x4_t sum = vaddq_f32(vaddq_f32(a0, a1), vaddq_f32(a2, a3));
    const float32x4_t newest = vmulq_f32(vld1q_f32(w_by_tap + 12 * C + c), vld1q_f32(t[12] + c));
    vst1q_f32(y + c, vaddq_f32(vaddq_f32(sum, vld1q_f32(b + c)), newest));
  }
}

}  // namespace quelt::nn::neon
