// File: nn/depthwise_frames_avx2.cc
//
// The frame-major depthwise step with AVX2 + FMA: eight channels per vector, the four
// tap accumulators of each channel in four registers. Only this file (and the other
// *_avx2.cc files) is compiled with -mavx2 -mfma; it is called only after
// avx2_fma_supported(), and defines no inline function another file could share.
#if !defined(__AVX2__) || !defined(__FMA__)
#error "nn/depthwise_frames_avx2.cc must be compiled with -mavx2 -mfma"
#endif

#include <immintrin.h>

#include "nn/depthwise_frames.h"

namespace quelt::nn::avx2 {

void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y) {
  constexpr std::size_t C = DEPTHWISE_CHANNELS;
  static_assert(C % 8 == 0);
  for (std::size_t c = 0; c < C; c += 8) {
    // Written out so that the four accumulators stay in registers: tap k = 4m + l feeds
    // accumulator l, for m = 0, 1, 2 in turn.
    const auto tap = [&](std::size_t k, __m256 acc) {
      return _mm256_fmadd_ps(_mm256_loadu_ps(w_by_tap + k * C + c), _mm256_loadu_ps(taps[k] + c),
                             acc);
    };
    __m256 a0 = tap(0, _mm256_setzero_ps());
    __m256 a1 = tap(1, _mm256_setzero_ps());
    __m256 a2 = tap(2, _mm256_setzero_ps());
    __m256 a3 = tap(3, _mm256_setzero_ps());
    a0 = tap(4, a0);
    a1 = tap(5, a1);
    a2 = tap(6, a2);
    a3 = tap(7, a3);
    a0 = tap(8, a0);
    a1 = tap(9, a1);
    a2 = tap(10, a2);
    a3 = tap(11, a3);
    const __m256 sum = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
    const __m256 newest =
        _mm256_mul_ps(_mm256_loadu_ps(w_by_tap + 12 * C + c), _mm256_loadu_ps(taps[12] + c));
    _mm256_storeu_ps(y + c, _mm256_add_ps(_mm256_add_ps(sum, _mm256_loadu_ps(b + c)), newest));
  }
}

}  // namespace quelt::nn::avx2
