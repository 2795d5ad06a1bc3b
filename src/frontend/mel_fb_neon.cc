// File: frontend/mel_fb_neon.cc
//
// The mel projection with Advanced SIMD: four 4-lane accumulators hold the sixteen running
// sums of a band, vfmaq_f32 updates them block by block, and two pairwise adds combine the
// lanes as ((lane 0 + lane 1) + (lane 2 + lane 3)). Same bits as portable::project_mel.
//
// A band's sums are chains of dependent multiply-adds, so two bands run side by side to
// keep the FMA pipes busy instead of waiting on one chain's latency. The loops over bands
// are unrolled so that the accumulators live in registers.
#include "frontend/mel_fb.h"

#if !defined(__ARM_NEON)
#error "mel_fb_neon.cc needs Advanced SIMD (NEON); build it on AArch64 only"
#endif

#include <arm_neon.h>

namespace quelt::frontend::neon {
namespace {

// Bands m .. m + BANDS - 1.
template <std::size_t BANDS>
void project_bands(const float* weights, const float* s, std::size_t n, std::size_t m, float* out) {
  const std::size_t blocks = (n - 1) / MEL_BLOCK;
  float32x4_t acc[BANDS][4];
#pragma GCC unroll 4
  for (std::size_t i = 0; i < BANDS; ++i) {
#pragma GCC unroll 4
    for (std::size_t a = 0; a < 4; ++a) acc[i][a] = vdupq_n_f32(0.0f);
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    const float* sb = s + b * MEL_BLOCK;
    const float32x4_t s0 = vld1q_f32(sb);
    const float32x4_t s1 = vld1q_f32(sb + 4);
    const float32x4_t s2 = vld1q_f32(sb + 8);
    const float32x4_t s3 = vld1q_f32(sb + 12);
#pragma GCC unroll 4
    for (std::size_t i = 0; i < BANDS; ++i) {
      const float* wb = weights + (m + i) * n + b * MEL_BLOCK;
      acc[i][0] = vfmaq_f32(acc[i][0], vld1q_f32(wb), s0);
      acc[i][1] = vfmaq_f32(acc[i][1], vld1q_f32(wb + 4), s1);
      acc[i][2] = vfmaq_f32(acc[i][2], vld1q_f32(wb + 8), s2);
      acc[i][3] = vfmaq_f32(acc[i][3], vld1q_f32(wb + 12), s3);
    }
  }
#pragma GCC unroll 4
  for (std::size_t i = 0; i < BANDS; ++i) {
    const float32x4_t lanes =
        vaddq_f32(vaddq_f32(acc[i][1], acc[i][0]), vaddq_f32(acc[i][3], acc[i][2]));
    // [l0 + l1, l2 + l3, ...], then (l0 + l1) + (l2 + l3) in lane 0.
    const float32x4_t pairs = vpaddq_f32(lanes, lanes);
    const float sum = vgetq_lane_f32(vpaddq_f32(pairs, pairs), 0);
    const float last = weights[(m + i) * n + n - 1] * s[n - 1];
    out[m + i] = sum + last;
  }
}

}  // namespace

void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,
                 std::size_t n_mels, float* out) {
  std::size_t m = 0;
  for (; m + 2 <= n_mels; m += 2) project_bands<2>(weights, spectrum, n_bins, m, out);
  for (; m < n_mels; ++m) project_bands<1>(weights, spectrum, n_bins, m, out);
}

}  // namespace quelt::frontend::neon
