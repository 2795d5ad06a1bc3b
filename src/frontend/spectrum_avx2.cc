// File: frontend/spectrum_avx2.cc
//
// The magnitude of the bins below n/2 with AVX2 + FMA, four bins per vector, for x86-64
// CPUs that have both (process_frame uses it when the FFT plan runs its AVX2 stages).
// Per bin, as the scalar rule: p = re * re rounded, p = im * im + p in one fused
// multiply-add, the correctly rounded square root, then one rounding to single
// precision: the same bits as magnitude_spectrum's scalar loop. Only this file is
// compiled with -mavx2 -mfma.
#if !defined(__AVX2__) || !defined(__FMA__)
#error "spectrum_avx2.cc must be compiled with -mavx2 -mfma"
#endif

#include <immintrin.h>

#include <cstddef>

#include "frontend/frontend.h"

namespace quelt::frontend::avx2 {

void magnitude_bins(const double* x, std::size_t count, float* spectrum) {
  for (std::size_t k = 0; k < count; k += 4) {
    const __m256d v01 = _mm256_loadu_pd(x + 2 * k);      // re0 im0 re1 im1
    const __m256d v23 = _mm256_loadu_pd(x + 2 * k + 4);  // re2 im2 re3 im3
    const __m256d re = _mm256_unpacklo_pd(v01, v23);     // re0 re2 re1 re3
    const __m256d im = _mm256_unpackhi_pd(v01, v23);     // im0 im2 im1 im3
    const __m256d power = _mm256_fmadd_pd(im, im, _mm256_mul_pd(re, re));
    const __m128 m = _mm256_cvtpd_ps(_mm256_sqrt_pd(power));  // bins 0 2 1 3
    _mm_storeu_ps(spectrum + k, _mm_shuffle_ps(m, m, _MM_SHUFFLE(3, 1, 2, 0)));
  }
}

}  // namespace quelt::frontend::avx2
