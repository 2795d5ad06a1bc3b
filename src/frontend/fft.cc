// File: frontend/fft.cc
//
// Plan construction and the in-place radix-2 transform. Stage m (m = 2, 4, ..., n) joins
// pairs of m/2-point transforms with butterflies a + w b, a - w b; the twiddle of butterfly
// j is twiddles[j * n/m], so one table of n/2 entries serves every stage.
#include "frontend/fft.h"

#include <cmath>
#include <cstddef>
#include <utility>

#include "common/check.h"

namespace quelt::frontend {

FftPlan::FftPlan(std::uint64_t n) : n_(n) {
  QWW_CHECK(n >= 2 && (n & (n - 1)) == 0, "FFT size must be a power of two");
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
}

void fft_in_place(const FftPlan& plan, std::span<std::complex<double>> buffer) {
  const std::size_t n = buffer.size();
  QWW_CHECK(n == plan.size(), "FFT input length mismatch");
  const std::uint64_t* reverse = plan.bit_reversal().data();
  const std::complex<double>* twiddle = plan.twiddles().data();
  std::complex<double>* x = buffer.data();

  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = reverse[i];
    if (i < j) std::swap(x[i], x[j]);
  }

  for (std::size_t m = 2; m <= n; m *= 2) {
    const std::size_t half = m / 2;
    const std::size_t stride = n / m;
    for (std::size_t s = 0; s < n; s += m) {
      for (std::size_t j = 0; j < half; ++j) {
        const double w_re = twiddle[j * stride].real();
        const double w_im = twiddle[j * stride].imag();
        const double a_re = x[s + j].real();
        const double a_im = x[s + j].imag();
        const double b_re = x[s + j + half].real();
        const double b_im = x[s + j + half].imag();
        // Each product and each sum rounds on its own: -ffp-contract=off keeps the
        // compiler from fusing them.
        const double t_re = w_re * b_re - w_im * b_im;
        const double t_im = w_re * b_im + w_im * b_re;
        x[s + j] = {a_re + t_re, a_im + t_im};
        x[s + j + half] = {a_re - t_re, a_im - t_im};
      }
    }
  }
}

}  // namespace quelt::frontend
