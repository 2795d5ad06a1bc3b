// File: frontend/mel_fb_avx2.cc
//
// The mel projection with AVX2 + FMA, for x86-64 machines that have both (chosen at run
// time; this file alone is compiled with -mavx2 -mfma). Two 8-lane accumulators hold the
// sixteen running sums (groups 0-1 and 2-3 of the 4-lane layout); their halves are added
// as (group 1 + group 0) and (group 3 + group 2), and two horizontal adds combine the
// lanes as ((lane 0 + lane 1) + (lane 2 + lane 3)). Same bits as portable::project_mel.
#include "frontend/mel_fb.h"

#if !defined(__AVX2__) || !defined(__FMA__)
#error "mel_fb_avx2.cc must be compiled with -mavx2 -mfma"
#endif

#include <immintrin.h>

namespace quelt::frontend::avx2 {

void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,
                 std::size_t n_mels, float* out) {
  const std::size_t n = n_bins;
  const std::size_t blocks = (n - 1) / MEL_BLOCK;
  const float* s = spectrum;
  for (std::size_t m = 0; m < n_mels; ++m) {
    const float* w = weights + m * n;
    __m256 acc01 = _mm256_setzero_ps();
    __m256 acc23 = _mm256_setzero_ps();
    for (std::size_t b = 0; b < blocks; ++b) {
      const float* wb = w + b * MEL_BLOCK;
      const float* sb = s + b * MEL_BLOCK;
      acc01 = _mm256_fmadd_ps(_mm256_loadu_ps(wb), _mm256_loadu_ps(sb), acc01);
      acc23 = _mm256_fmadd_ps(_mm256_loadu_ps(wb + 8), _mm256_loadu_ps(sb + 8), acc23);
    }
    const __m128 g10 = _mm_add_ps(_mm256_extractf128_ps(acc01, 1), _mm256_castps256_ps128(acc01));
    const __m128 g32 = _mm_add_ps(_mm256_extractf128_ps(acc23, 1), _mm256_castps256_ps128(acc23));
    const __m128 lanes = _mm_add_ps(g10, g32);
    // hadd: [l0 + l1, l2 + l3, ...], then (l0 + l1) + (l2 + l3) in lane 0.
    const __m128 pairs = _mm_hadd_ps(lanes, lanes);
    const float sum = _mm_cvtss_f32(_mm_hadd_ps(pairs, pairs));
    const float last = w[n - 1] * s[n - 1];
    out[m] = sum + last;
  }
}

}  // namespace quelt::frontend::avx2
