// File: frontend/fft.cc
//
// Plan construction and the in-place radix-2 transform. Stage m (m = 2, 4, ..., n) joins
// pairs of m/2-point transforms with butterflies a + w b, a - w b, where butterfly j of a
// stage takes the twiddle twiddles[j * n/m].
//
// Every butterfly computes, in double precision and rounding after each operation,
//   t = (w.re * b.re - w.im * b.im,  w.re * b.im + w.im * b.re),  a' = a + t,  b' = a - t.
// For speed the transform copies the buffer into separate real and imaginary arrays (in
// bit-reversed order, which is the permutation) and runs two butterflies at a time on
// 2-lane vectors (SSE2 on x86-64, Advanced SIMD on AArch64), or, from stage m = 8 on,
// four at a time on AVX vectors for the AVX2 variant (fft_avx2.cc). A lane operation is the
// same IEEE operation on the same operands in the same order as the scalar formula, so the
// results are those of the textbook loop, bit for bit; a test holds them to it.
#include "frontend/fft.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "common/check.h"

namespace quelt::frontend {
namespace {

// Two doubles; element-wise arithmetic, one rounding per operation (-ffp-contract=off).
using Lanes = double __attribute__((vector_size(2 * sizeof(double))));

Lanes load(const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

FftPlan::FftPlan(std::uint64_t n) : n_(n) {
  QWW_CHECK(n >= 2 && n <= FFT_MAX_SIZE && (n & (n - 1)) == 0,
            "FFT size must be a power of two from 2 to FFT_MAX_SIZE");
  unsigned bits = 0;
  while ((std::uint64_t{1} << bits) < n) ++bits;

  twiddles_.resize(n / 2);
  for (std::uint64_t k = 0; k < n / 2; ++k) {
    // k * (-2 pi) first, then the division by n, which is exact for a power of two.
    const double theta = (static_cast<double>(k) * -TWO_PI) / static_cast<double>(n);
    twiddles_[k] = {std::cos(theta), std::sin(theta)};
  }

  bit_reversal_.resize(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint64_t reversed = 0;
    for (unsigned b = 0; b < bits; ++b) reversed |= ((i >> b) & 1u) << (bits - 1 - b);
    bit_reversal_[i] = reversed;
  }

  stage_re_.resize(n - 1);
  stage_im_.resize(n - 1);
  for (std::uint64_t half = 1; half < n; half *= 2) {
    const std::uint64_t stride = n / (2 * half);
    for (std::uint64_t j = 0; j < half; ++j) {
      stage_re_[half - 1 + j] = twiddles_[j * stride].real();
      stage_im_[half - 1 + j] = twiddles_[j * stride].imag();
    }
  }
}

void fft_in_place(const FftPlan& plan, std::span<std::complex<double>> buffer, Simd simd) {
  const std::size_t n = buffer.size();
  QWW_CHECK(n == plan.size(), "FFT input length mismatch");
  QWW_CHECK(simd_available(simd), "FFT variant not available on this machine");
  const std::uint64_t* reverse = plan.bit_reversal().data();
  std::complex<double>* x = buffer.data();
  const double* stage_re = plan.stage_re().data();
  const double* stage_im = plan.stage_im().data();
#if defined(__x86_64__)
  if (simd == Simd::AVX2 && n >= 8) {
    // The same steps four values per vector (fft_avx2.cc). std::complex<double> is two
    // doubles, real part first, so the buffer is also an array of doubles.
    avx2::fft(reinterpret_cast<double*>(x), reverse, stage_re, stage_im, n);
    return;
  }
#endif

  // Swapping i with reverse[i] whenever i < reverse[i] is the same as reading entry
  // reverse[i] into position i: the permutation is its own inverse.
  alignas(16) double re[FFT_MAX_SIZE];
  alignas(16) double im[FFT_MAX_SIZE];
  for (std::size_t i = 0; i < n; ++i) {
    re[i] = x[reverse[i]].real();
    im[i] = x[reverse[i]].imag();
  }

  {
    // Stage m = 2 has one butterfly per block, with twiddles[0] = (1, 0), multiplied all
    // the same: 0 * inf must stay NaN.
    {
      const double w_re = plan.stage_re()[0];
      const double w_im = plan.stage_im()[0];
      for (std::size_t s = 0; s < n; s += 2) {
        const double t_re = w_re * re[s + 1] - w_im * im[s + 1];
        const double t_im = w_re * im[s + 1] + w_im * re[s + 1];
        const double a_re = re[s];
        const double a_im = im[s];
        re[s] = a_re + t_re;
        im[s] = a_im + t_im;
        re[s + 1] = a_re - t_re;
        im[s + 1] = a_im - t_im;
      }
    }

    // Stages m = 4 .. n: half is even, so butterflies j and j + 1 share a vector.
    for (std::size_t half = 2; half < n; half *= 2) {
      const double* tw_re = stage_re + (half - 1);
      const double* tw_im = stage_im + (half - 1);
      for (std::size_t s = 0; s < n; s += 2 * half) {
        double* a_re_p = re + s;
        double* a_im_p = im + s;
        double* b_re_p = re + s + half;
        double* b_im_p = im + s + half;
        for (std::size_t j = 0; j < half; j += 2) {
          const Lanes w_re = load(tw_re + j);
          const Lanes w_im = load(tw_im + j);
          const Lanes b_re = load(b_re_p + j);
          const Lanes b_im = load(b_im_p + j);
          const Lanes a_re = load(a_re_p + j);
          const Lanes a_im = load(a_im_p + j);
          const Lanes t_re = w_re * b_re - w_im * b_im;
          const Lanes t_im = w_re * b_im + w_im * b_re;
          store(a_re_p + j, a_re + t_re);
          store(a_im_p + j, a_im + t_im);
          store(b_re_p + j, a_re - t_re);
          store(b_im_p + j, a_im - t_im);
        }
      }
    }
  }

  for (std::size_t i = 0; i < n; ++i) x[i] = {re[i], im[i]};
}

}  // namespace quelt::frontend
