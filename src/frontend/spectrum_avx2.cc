// File: frontend/spectrum_avx2.cc
//
// The steps of process_frame around the FFT with AVX2 + FMA, for x86-64 CPUs that have
// both (process_frame uses them for the AVX2 variant): the windowing,
// four samples per vector (the product rounded in single precision, then widened), and
// the magnitude of the bins below n/2, four bins per vector. Per bin of the magnitude, as
// the scalar rule: p = re * re rounded, p = im * im + p in one fused multiply-add, the
// correctly rounded square root, then one rounding to single precision: the same bits as
// magnitude_spectrum's scalar loop. Only this file is compiled with -mavx2 -mfma.
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

void window_frame(const float* frame, const float* window, std::size_t count, double* out) {
  const __m256d zero = _mm256_setzero_pd();
  for (std::size_t i = 0; i < count; i += 4) {
    // The product rounds in single precision, then widens exactly.
    const __m256d w =
        _mm256_cvtps_pd(_mm_mul_ps(_mm_loadu_ps(frame + i), _mm_loadu_ps(window + i)));
    const __m256d lo = _mm256_unpacklo_pd(w, zero);  // w0 0 w2 0
    const __m256d hi = _mm256_unpackhi_pd(w, zero);  // w1 0 w3 0
    _mm256_storeu_pd(out + 2 * i, _mm256_permute2f128_pd(lo, hi, 0x20));
    _mm256_storeu_pd(out + 2 * i + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
  }
}

}  // namespace quelt::frontend::avx2
