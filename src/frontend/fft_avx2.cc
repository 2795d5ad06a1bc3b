// File: frontend/fft_avx2.cc
//
// The later stages of the FFT with AVX (4-lane double vectors), for x86-64 CPUs with
// AVX2: four butterflies per vector instead of two. Each lane does what the scalar
// butterfly does, one rounding per operation and nothing fused:
//   t = (w.re * b.re - w.im * b.im,  w.re * b.im + w.im * b.re),  a' = a + t,  b' = a - t,
// so the results are those of the 2-lane loop in fft.cc, bit for bit. Only this file is
// compiled with -mavx2 -mfma; -ffp-contract=off keeps the products and sums apart.
#if !defined(__AVX2__)
#error "fft_avx2.cc must be compiled with -mavx2"
#endif

#include <immintrin.h>

#include <cstddef>

#include "frontend/fft.h"

namespace quelt::frontend::avx2 {

void fft_stages(double* re, double* im, const double* stage_re, const double* stage_im,
                std::size_t n, std::size_t first_half) {
  for (std::size_t half = first_half; half < n; half *= 2) {
    const double* tw_re = stage_re + (half - 1);
    const double* tw_im = stage_im + (half - 1);
    for (std::size_t s = 0; s < n; s += 2 * half) {
      double* a_re_p = re + s;
      double* a_im_p = im + s;
      double* b_re_p = re + s + half;
      double* b_im_p = im + s + half;
      for (std::size_t j = 0; j < half; j += 4) {
        const __m256d w_re = _mm256_loadu_pd(tw_re + j);
        const __m256d w_im = _mm256_loadu_pd(tw_im + j);
        const __m256d b_re = _mm256_loadu_pd(b_re_p + j);
        const __m256d b_im = _mm256_loadu_pd(b_im_p + j);
        const __m256d a_re = _mm256_loadu_pd(a_re_p + j);
        const __m256d a_im = _mm256_loadu_pd(a_im_p + j);
        const __m256d t_re = _mm256_sub_pd(_mm256_mul_pd(w_re, b_re), _mm256_mul_pd(w_im, b_im));
        const __m256d t_im = _mm256_add_pd(_mm256_mul_pd(w_re, b_im), _mm256_mul_pd(w_im, b_re));
        _mm256_storeu_pd(a_re_p + j, _mm256_add_pd(a_re, t_re));
        _mm256_storeu_pd(a_im_p + j, _mm256_add_pd(a_im, t_im));
        _mm256_storeu_pd(b_re_p + j, _mm256_sub_pd(a_re, t_re));
        _mm256_storeu_pd(b_im_p + j, _mm256_sub_pd(a_im, t_im));
      }
    }
  }
}

}  // namespace quelt::frontend::avx2
