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

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace quelt::frontend::avx2 {
namespace {

// Bands m .. m + BANDS - 1.
// Blocks [b_begin, b_end) only: the others must add nothing (see project_mel_banded).
template <std::size_t BANDS>
void project_bands(const float* weights, const float* s, std::size_t n, std::size_t m,
                   std::size_t b_begin, std::size_t b_end, float* out) {
  __m256 acc01[BANDS];
  __m256 acc23[BANDS];
#pragma GCC unroll 4
  for (std::size_t i = 0; i < BANDS; ++i) {
    acc01[i] = _mm256_setzero_ps();
    acc23[i] = _mm256_setzero_ps();
  }
  for (std::size_t b = b_begin; b < b_end; ++b) {
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

// True when every value is finite with its sign bit clear (+0.0 or positive): as
// integers, 0 <= bits < 0x7F800000.
bool all_finite_nonnegative(const float* s, std::size_t n) {
  const __m256i largest = _mm256_set1_epi32(0x7F7FFFFF);
  const __m256i zero = _mm256_setzero_si256();
  __m256i bad = _mm256_setzero_si256();
  std::size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + k));
    bad = _mm256_or_si256(
        bad, _mm256_or_si256(_mm256_cmpgt_epi32(bits, largest), _mm256_cmpgt_epi32(zero, bits)));
  }
  bool good = _mm256_testz_si256(bad, bad) != 0;
  for (; k < n; ++k) good = good && std::isfinite(s[k]) && !std::signbit(s[k]);
  return good;
}

}  // namespace

void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,
                 std::size_t n_mels, float* out) {
  const std::size_t blocks = (n_bins - 1) / MEL_BLOCK;
  std::size_t m = 0;
  for (; m + 4 <= n_mels; m += 4) project_bands<4>(weights, spectrum, n_bins, m, 0, blocks, out);
  for (; m < n_mels; ++m) project_bands<1>(weights, spectrum, n_bins, m, 0, blocks, out);
}

bool project_mel_banded(const float* weights, const float* spectrum, std::size_t n_bins,
                        std::size_t n_mels, const std::uint16_t* first_block,
                        const std::uint16_t* end_block, float* out) {
  if (!all_finite_nonnegative(spectrum, n_bins)) return false;
  // A group of bands runs over the union of its bands' blocks; the blocks outside a
  // band's own range add nothing to its sums.
  std::size_t m = 0;
  for (; m + 4 <= n_mels; m += 4) {
    std::size_t b_begin = first_block[m], b_end = end_block[m];
    for (std::size_t i = 1; i < 4; ++i) {
      b_begin = std::min<std::size_t>(b_begin, first_block[m + i]);
      b_end = std::max<std::size_t>(b_end, end_block[m + i]);
    }
    project_bands<4>(weights, spectrum, n_bins, m, b_begin, b_end, out);
  }
  for (; m < n_mels; ++m) {
    project_bands<1>(weights, spectrum, n_bins, m, first_block[m], end_block[m], out);
  }
  return true;
}

}  // namespace quelt::frontend::avx2
