// File: frontend/mel_fb_avx2.cc
//
// The mel projection with AVX2 + FMA, for x86-64 machines that have both (chosen at run
// time; this file alone is compiled with -mavx2 -mfma). Two 8-lane accumulators hold a
// band's sixteen running sums (groups 0-1 and 2-3 of the 4-lane layout); their halves are
// added as (group 1 + group 0) and (group 3 + group 2), and two horizontal adds combine
// the lanes as ((lane 0 + lane 1) + (lane 2 + lane 3)). Same bits as
// portable::project_mel.
//
// A band's sums are chains of dependent multiply-adds, so four bands run side by side to
// keep the FMA units busy instead of waiting on one chain's latency. The loops over bands
// are unrolled so that the accumulators live in registers.
//
// Everything here besides the entry point has internal linkage: an inline or template
// function shared with other files could be emitted from this one, with AVX instructions,
// and be the copy the whole program runs on a CPU without them.
#include "frontend/mel_fb.h"

#if !defined(__AVX2__) || !defined(__FMA__)
#error "mel_fb_avx2.cc must be compiled with -mavx2 -mfma"
#endif

#include <immintrin.h>

namespace quelt::frontend::avx2 {
namespace {

// Bands m .. m + BANDS - 1.
template <std::size_t BANDS>
void project_bands(const float* weights, const float* s, std::size_t n, std::size_t m, float* out) {
  const std::size_t blocks = (n - 1) / MEL_BLOCK;
  __m256 acc01[BANDS];
  __m256 acc23[BANDS];
#pragma GCC unroll 4
  for (std::size_t i = 0; i < BANDS; ++i) {
    acc01[i] = _mm256_setzero_ps();
    acc23[i] = _mm256_setzero_ps();
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    const __m256 s01 = _mm256_loadu_ps(s + b * MEL_BLOCK);
    const __m256 s23 = _mm256_loadu_ps(s + b * MEL_BLOCK + 8);
#pragma GCC unroll 4
    for (std::size_t i = 0; i < BANDS; ++i) {
      const float* w = weights + (m + i) * n + b * MEL_BLOCK;
      acc01[i] = _mm256_fmadd_ps(_mm256_loadu_ps(w), s01, acc01[i]);
      acc23[i] = _mm256_fmadd_ps(_mm256_loadu_ps(w + 8), s23, acc23[i]);
    }
  }
#pragma GCC unroll 4
  for (std::size_t i = 0; i < BANDS; ++i) {
    const __m128 g10 =
        _mm_add_ps(_mm256_extractf128_ps(acc01[i], 1), _mm256_castps256_ps128(acc01[i]));
    const __m128 g32 =
        _mm_add_ps(_mm256_extractf128_ps(acc23[i], 1), _mm256_castps256_ps128(acc23[i]));
    const __m128 lanes = _mm_add_ps(g10, g32);
    // hadd: [l0 + l1, l2 + l3, ...], then (l0 + l1) + (l2 + l3) in lane 0.
    const __m128 pairs = _mm_hadd_ps(lanes, lanes);
    const float sum = _mm_cvtss_f32(_mm_hadd_ps(pairs, pairs));
    const float last = weights[(m + i) * n + n - 1] * s[n - 1];
    out[m + i] = sum + last;
  }
}

}  // namespace

void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,
                 std::size_t n_mels, float* out) {
  std::size_t m = 0;
  for (; m + 4 <= n_mels; m += 4) project_bands<4>(weights, spectrum, n_bins, m, out);
  for (; m < n_mels; ++m) project_bands<1>(weights, spectrum, n_bins, m, out);
}

}  // namespace quelt::frontend::avx2
