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

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quelt::frontend::neon {
namespace {

// Bands m .. m + BANDS - 1.
// Blocks [b_begin, b_end) only: the others must add nothing (see project_mel_banded).
template <std::size_t BANDS>
void project_bands(const float* weights, const float* s, std::size_t n, std::size_t m,
                   std::size_t b_begin, std::size_t b_end, float* out) {
  float32x4_t acc[BANDS][4];
#pragma GCC unroll 4
  for (std::size_t i = 0; i < BANDS; ++i) {
#pragma GCC unroll 4
    for (std::size_t a = 0; a < 4; ++a) acc[i][a] = vdupq_n_f32(0.0f);
  }
  for (std::size_t b = b_begin; b < b_end; ++b) {
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

// True when every value is finite with its sign bit clear (+0.0 or positive): as
// unsigned integers, bits < 0x7F800000.
bool all_finite_nonnegative(const float* s, std::size_t n) {
  const uint32x4_t limit = vdupq_n_u32(0x7F800000);
  uint32x4_t bad = vdupq_n_u32(0);
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    bad = vorrq_u32(bad, vcgeq_u32(vreinterpretq_u32_f32(vld1q_f32(s + k)), limit));
  }
  bool good = vmaxvq_u32(bad) == 0;
  for (; k < n; ++k) good = good && std::isfinite(s[k]) && !std::signbit(s[k]);
  return good;
}

}  // namespace

void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,
                 std::size_t n_mels, float* out) {
  const std::size_t blocks = (n_bins - 1) / MEL_BLOCK;
  std::size_t m = 0;
  for (; m + 2 <= n_mels; m += 2) project_bands<2>(weights, spectrum, n_bins, m, 0, blocks, out);
  for (; m < n_mels; ++m) project_bands<1>(weights, spectrum, n_bins, m, 0, blocks, out);
}

bool project_mel_banded(const float* weights, const float* spectrum, std::size_t n_bins,
                        std::size_t n_mels, const std::uint16_t* first_block,
                        const std::uint16_t* end_block, float* out) {
  if (!all_finite_nonnegative(spectrum, n_bins)) return false;
  // A group of bands runs over the union of its bands' blocks; the blocks outside a
  // band's own range add nothing to its sums.
  std::size_t m = 0;
  for (; m + 2 <= n_mels; m += 2) {
    std::size_t b_begin = first_block[m], b_end = end_block[m];
    for (std::size_t i = 1; i < 2; ++i) {
      b_begin = std::min<std::size_t>(b_begin, first_block[m + i]);
      b_end = std::max<std::size_t>(b_end, end_block[m + i]);
    }
    project_bands<2>(weights, spectrum, n_bins, m, b_begin, b_end, out);
  }
  for (; m < n_mels; ++m) {
    project_bands<1>(weights, spectrum, n_bins, m, first_block[m], end_block[m], out);
  }
  return true;
}

}  // namespace quelt::frontend::neon
