// File: frontend/fft_avx2.cc
//
// The whole FFT with AVX (4-lane double vectors), for x86-64 CPUs with AVX2: the
// bit-reversal permutation by gathers, every stage four butterflies per vector (the first
// two stages shuffle their pairs into place), and the copy back to interleaved pairs.
// Each lane does what the scalar butterfly does, one rounding per operation and nothing
// fused:
//   t = (w.re * b.re - w.im * b.im,  w.re * b.im + w.im * b.re),  a' = a + t,  b' = a - t,
// so the results are those of the 2-lane loops in fft.cc, bit for bit. Only this file is
// compiled with -mavx2 -mfma; -ffp-contract=off keeps the products and sums apart.
#if !defined(__AVX2__)
#error "fft_avx2.cc must be compiled with -mavx2"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "frontend/fft.h"

namespace quelt::frontend::avx2 {
namespace {

// One butterfly per lane: a' = a + w b, b' = a - w b, written to the four outputs.
struct Butterflies {
  __m256d a_re, a_im, b_re, b_im;
};

Butterflies butterflies(__m256d w_re, __m256d w_im, __m256d a_re, __m256d a_im, __m256d b_re,
                        __m256d b_im) {
  const __m256d t_re = _mm256_sub_pd(_mm256_mul_pd(w_re, b_re), _mm256_mul_pd(w_im, b_im));
  const __m256d t_im = _mm256_add_pd(_mm256_mul_pd(w_re, b_im), _mm256_mul_pd(w_im, b_re));
  return {_mm256_add_pd(a_re, t_re), _mm256_add_pd(a_im, t_im), _mm256_sub_pd(a_re, t_re),
          _mm256_sub_pd(a_im, t_im)};
}

void stages(double* re, double* im, const double* stage_re, const double* stage_im, std::size_t n) {
  // Stage m = 2: butterflies (s, s + 1) with twiddle 0, four per vector. Of eight values
  // v0..v7, the unpacks give a = {v0, v4, v2, v6} and b = {v1, v5, v3, v7} (the same
  // lane order in both), and unpacking the results puts every value back in its place.
  {
    const __m256d w_re = _mm256_set1_pd(stage_re[0]);
    const __m256d w_im = _mm256_set1_pd(stage_im[0]);
    for (std::size_t s = 0; s < n; s += 8) {
      const __m256d r0 = _mm256_loadu_pd(re + s), r1 = _mm256_loadu_pd(re + s + 4);
      const __m256d i0 = _mm256_loadu_pd(im + s), i1 = _mm256_loadu_pd(im + s + 4);
      const Butterflies o =
          butterflies(w_re, w_im, _mm256_unpacklo_pd(r0, r1), _mm256_unpacklo_pd(i0, i1),
                      _mm256_unpackhi_pd(r0, r1), _mm256_unpackhi_pd(i0, i1));
      _mm256_storeu_pd(re + s, _mm256_unpacklo_pd(o.a_re, o.b_re));
      _mm256_storeu_pd(re + s + 4, _mm256_unpackhi_pd(o.a_re, o.b_re));
      _mm256_storeu_pd(im + s, _mm256_unpacklo_pd(o.a_im, o.b_im));
      _mm256_storeu_pd(im + s + 4, _mm256_unpackhi_pd(o.a_im, o.b_im));
    }
  }
  // Stage m = 4: butterflies (s, s + 2) and (s + 1, s + 3) with twiddles 0 and 1. Of eight
  // values, a = {v0, v1, v4, v5} and b = {v2, v3, v6, v7}.
  {
    const __m256d w_re = _mm256_setr_pd(stage_re[1], stage_re[2], stage_re[1], stage_re[2]);
    const __m256d w_im = _mm256_setr_pd(stage_im[1], stage_im[2], stage_im[1], stage_im[2]);
    for (std::size_t s = 0; s < n; s += 8) {
      const __m256d r0 = _mm256_loadu_pd(re + s), r1 = _mm256_loadu_pd(re + s + 4);
      const __m256d i0 = _mm256_loadu_pd(im + s), i1 = _mm256_loadu_pd(im + s + 4);
      const Butterflies o = butterflies(
          w_re, w_im, _mm256_permute2f128_pd(r0, r1, 0x20), _mm256_permute2f128_pd(i0, i1, 0x20),
          _mm256_permute2f128_pd(r0, r1, 0x31), _mm256_permute2f128_pd(i0, i1, 0x31));
      _mm256_storeu_pd(re + s, _mm256_permute2f128_pd(o.a_re, o.b_re, 0x20));
      _mm256_storeu_pd(re + s + 4, _mm256_permute2f128_pd(o.a_re, o.b_re, 0x31));
      _mm256_storeu_pd(im + s, _mm256_permute2f128_pd(o.a_im, o.b_im, 0x20));
      _mm256_storeu_pd(im + s + 4, _mm256_permute2f128_pd(o.a_im, o.b_im, 0x31));
    }
  }
  // Stages m = 8 .. n: half is a multiple of 4, so butterflies j .. j + 3 share a vector.
  for (std::size_t half = 4; half < n; half *= 2) {
    const double* tw_re = stage_re + (half - 1);
    const double* tw_im = stage_im + (half - 1);
    for (std::size_t s = 0; s < n; s += 2 * half) {
      double* a_re_p = re + s;
      double* a_im_p = im + s;
      double* b_re_p = re + s + half;
      double* b_im_p = im + s + half;
      for (std::size_t j = 0; j < half; j += 4) {
        const Butterflies o = butterflies(_mm256_loadu_pd(tw_re + j), _mm256_loadu_pd(tw_im + j),
                                          _mm256_loadu_pd(a_re_p + j), _mm256_loadu_pd(a_im_p + j),
                                          _mm256_loadu_pd(b_re_p + j), _mm256_loadu_pd(b_im_p + j));
        _mm256_storeu_pd(a_re_p + j, o.a_re);
        _mm256_storeu_pd(a_im_p + j, o.a_im);
        _mm256_storeu_pd(b_re_p + j, o.b_re);
        _mm256_storeu_pd(b_im_p + j, o.b_im);
      }
    }
  }
}

}  // namespace

void fft(double* x, const std::uint64_t* reverse, const double* stage_re, const double* stage_im,
         std::size_t n) {
  alignas(32) double re[FFT_MAX_SIZE];
  alignas(32) double im[FFT_MAX_SIZE];
  // Entry reverse[i] into position i (the permutation is its own inverse): four gathers
  // of real parts (index 2 reverse[i]) and imaginary parts (one further) at a time.
  for (std::size_t i = 0; i < n; i += 4) {
    const __m256i at =
        _mm256_slli_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(reverse + i)), 1);
    _mm256_store_pd(re + i, _mm256_i64gather_pd(x, at, 8));
    _mm256_store_pd(im + i, _mm256_i64gather_pd(x + 1, at, 8));
  }
  stages(re, im, stage_re, stage_im, n);
  // Back to interleaved pairs: {re0, im0, re1, im1} and {re2, im2, re3, im3}.
  for (std::size_t i = 0; i < n; i += 4) {
    const __m256d r = _mm256_load_pd(re + i);
    const __m256d m = _mm256_load_pd(im + i);
    const __m256d lo = _mm256_unpacklo_pd(r, m);  // re0 im0 re2 im2
    const __m256d hi = _mm256_unpackhi_pd(r, m);  // re1 im1 re3 im3
    _mm256_storeu_pd(x + 2 * i, _mm256_permute2f128_pd(lo, hi, 0x20));
    _mm256_storeu_pd(x + 2 * i + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
  }
}

}  // namespace quelt::frontend::avx2
