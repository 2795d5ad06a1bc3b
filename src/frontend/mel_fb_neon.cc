// File: frontend/mel_fb_neon.cc
//
// The mel projection with Advanced SIMD: four 4-lane accumulators hold the sixteen running
// sums of a band, vfmaq_f32 updates them block by block, and two pairwise adds combine the
// lanes as ((lane 0 + lane 1) + (lane 2 + lane 3)). Same bits as portable::project_mel.
#include "frontend/mel_fb.h"

#if !defined(__ARM_NEON)
#error "mel_fb_neon.cc needs Advanced SIMD (NEON); build it on AArch64 only"
#endif

#include <arm_neon.h>

namespace quelt::frontend::neon {

void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,
                 std::size_t n_mels, float* out) {
  const std::size_t n = n_bins;
  const std::size_t blocks = (n - 1) / MEL_BLOCK;
  const float* s = spectrum;
  for (std::size_t m = 0; m < n_mels; ++m) {
    const float* w = weights + m * n;
    float32x4_t acc0 = vdupq_n_f32(0.0f);
    float32x4_t acc1 = vdupq_n_f32(0.0f);
    float32x4_t acc2 = vdupq_n_f32(0.0f);
    float32x4_t acc3 = vdupq_n_f32(0.0f);
    for (std::size_t b = 0; b < blocks; ++b) {
      const float* wb = w + b * MEL_BLOCK;
      const float* sb = s + b * MEL_BLOCK;
      acc0 = vfmaq_f32(acc0, vld1q_f32(wb), vld1q_f32(sb));
      acc1 = vfmaq_f32(acc1, vld1q_f32(wb + 4), vld1q_f32(sb + 4));
      acc2 = vfmaq_f32(acc2, vld1q_f32(wb + 8), vld1q_f32(sb + 8));
      acc3 = vfmaq_f32(acc3, vld1q_f32(wb + 12), vld1q_f32(sb + 12));
    }
    const float32x4_t lanes = vaddq_f32(vaddq_f32(acc1, acc0), vaddq_f32(acc3, acc2));
    // [l0 + l1, l2 + l3, ...], then (l0 + l1) + (l2 + l3) in lane 0.
    const float32x4_t pairs = vpaddq_f32(lanes, lanes);
    const float sum = vgetq_lane_f32(vpaddq_f32(pairs, pairs), 0);
    const float last = w[n - 1] * s[n - 1];
    out[m] = sum + last;
  }
}

}  // namespace quelt::frontend::neon
