// File: tests/frontend/fft_test.cc
//
// The FFT against a long-double DFT at every size the plan accepts, its exact cases
// (impulse, constant, zeros), the plan's tables, the magnitude rounding rule, and the
// propagation of NaN and infinity.
#include "frontend/fft.h"

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "frontend/frontend.h"

namespace quelt::frontend {
namespace {

using Complex = std::complex<double>;

std::vector<Complex> long_double_dft(const std::vector<Complex>& x) {
  const std::size_t n = x.size();
  // e^(-2 pi i r / n) for r < n; the DFT needs only these, at r = (k t) mod n.
  std::vector<long double> c(n);
  std::vector<long double> s(n);
  for (std::size_t r = 0; r < n; ++r) {
    const long double angle = -2.0L * std::numbers::pi_v<long double> *
                              static_cast<long double>(r) / static_cast<long double>(n);
    c[r] = std::cos(angle);
    s[r] = std::sin(angle);
  }
  std::vector<Complex> y(n);
  for (std::size_t k = 0; k < n; ++k) {
    long double re = 0.0L;
    long double im = 0.0L;
    for (std::size_t t = 0; t < n; ++t) {
      const std::size_t r = (k * t) % n;
      re += x[t].real() * c[r] - x[t].imag() * s[r];
      im += x[t].real() * s[r] + x[t].imag() * c[r];
    }
    y[k] = {static_cast<double>(re), static_cast<double>(im)};
  }
  return y;
}

TEST(Fft, MatchesLongDoubleDftAtEverySize) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (std::uint64_t n = 2; n <= 512; n *= 2) {
    const FftPlan plan(n);
    for (const bool real_input : {true, false}) {
      std::vector<Complex> x(n);
      double l1 = 0.0;
      for (auto& v : x) {
        v = {uniform(rng), real_input ? 0.0 : uniform(rng)};
        l1 += std::abs(v);
      }
      const std::vector<Complex> expected = long_double_dft(x);
      std::vector<Complex> y = x;
      fft_in_place(plan, y, best_simd());
      // Radix-2 rounding error grows like log2(n) ulps of the input's L1 norm.
      const double tolerance = 1e-15 * l1 * std::log2(static_cast<double>(n)) + 1e-300;
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_NEAR(y[k].real(), expected[k].real(), tolerance) << "n=" << n << " k=" << k;
        ASSERT_NEAR(y[k].imag(), expected[k].imag(), tolerance) << "n=" << n << " k=" << k;
      }
    }
  }
}

// The transform as the textbook writes it: interleaved complex values, swap permutation,
// one scalar butterfly at a time with the twiddle at j * n/m. The library's transform
// is restructured for speed but must give these bits. Which NaN comes out of an operation
// on two NaNs is the compiler's choice (it may swap the operands of an addition), so a
// NaN only has to meet a NaN.
void reference_fft(std::vector<Complex>& x) {
  const std::size_t n = x.size();
  std::size_t bits = 0;
  while ((std::size_t{1} << bits) < n) ++bits;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t j = 0;
    for (std::size_t b = 0; b < bits; ++b) j |= ((i >> b) & 1u) << (bits - 1 - b);
    if (i < j) std::swap(x[i], x[j]);
  }
  for (std::size_t m = 2; m <= n; m *= 2) {
    for (std::size_t s = 0; s < n; s += m) {
      for (std::size_t j = 0; j < m / 2; ++j) {
        const double theta = (static_cast<double>(j * (n / m)) * -TWO_PI) / static_cast<double>(n);
        const double w_re = std::cos(theta);
        const double w_im = std::sin(theta);
        const Complex a = x[s + j];
        const Complex b = x[s + j + m / 2];
        const double t_re = w_re * b.real() - w_im * b.imag();
        const double t_im = w_re * b.imag() + w_im * b.real();
        x[s + j] = {a.real() + t_re, a.imag() + t_im};
        x[s + j + m / 2] = {a.real() - t_re, a.imag() - t_im};
      }
    }
  }
}

// The bits of v, with every NaN mapped to one value.
std::uint64_t bits_of(double v) {
  return std::isnan(v) ? 0x7FF8000000000000u : std::bit_cast<std::uint64_t>(v);
}

TEST(Fft, MatchesScalarButterfliesBitForBit) {
  std::mt19937_64 rng(13);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const double specials[] = {0.0,
                             -0.0,
                             1e-310,
                             -1e-310,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(),
                             -std::numeric_limits<double>::quiet_NaN(),
                             1e300};
  for (std::uint64_t n = 2; n <= FFT_MAX_SIZE; n *= 2) {
    const FftPlan plan(n);
    for (int trial = 0; trial < 6; ++trial) {
      std::vector<Complex> x(n);
      for (auto& v : x) v = {uniform(rng), trial % 2 == 0 ? 0.0 : uniform(rng)};
      if (trial >= 2) {  // a few special values, or (trial 5) nothing else
        const std::size_t count = trial == 5 ? n : 3;
        for (std::size_t i = 0; i < count; ++i) {
          x[rng() % n] = {specials[rng() % std::size(specials)],
                          specials[rng() % std::size(specials)]};
        }
      }
      std::vector<Complex> expected = x;
      reference_fft(expected);
      fft_in_place(plan, x, best_simd());
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_EQ(bits_of(x[k].real()), bits_of(expected[k].real()))
            << "n=" << n << " trial " << trial << " k=" << k;
        ASSERT_EQ(bits_of(x[k].imag()), bits_of(expected[k].imag()))
            << "n=" << n << " trial " << trial << " k=" << k;
      }
    }
  }
}

TEST(Fft, ExactCases) {
  const FftPlan plan(512);
  std::vector<Complex> x(512);

  fft_in_place(plan, x, best_simd());
  for (const Complex& v : x) EXPECT_EQ(v, Complex(0.0, 0.0));

  // An impulse at t = 0 multiplies only by twiddle products of 1 and 0: every bin is 1.
  x.assign(512, Complex(0.0, 0.0));
  x[0] = {1.0, 0.0};
  fft_in_place(plan, x, best_simd());
  for (std::size_t k = 0; k < 512; ++k) EXPECT_EQ(x[k].real(), 1.0) << k;

  // Ones in 0..399, as a rectangular frame: the DC bin is the exact sum.
  x.assign(512, Complex(0.0, 0.0));
  for (std::size_t t = 0; t < 400; ++t) x[t] = {1.0, 0.0};
  fft_in_place(plan, x, best_simd());
  EXPECT_EQ(x[0], Complex(400.0, 0.0));
  std::vector<float> spectrum(257);
  magnitude_spectrum(x, spectrum, Simd::PORTABLE);
  EXPECT_EQ(spectrum[0], 400.0f);
}

TEST(Fft, PlanTables) {
  const FftPlan plan(512);
  ASSERT_EQ(plan.size(), 512u);
  ASSERT_EQ(plan.twiddles().size(), 256u);
  ASSERT_EQ(plan.bit_reversal().size(), 512u);
  EXPECT_EQ(plan.twiddles()[0], Complex(1.0, 0.0));
  EXPECT_EQ(plan.twiddles()[128].imag(), -1.0);
  for (std::size_t k = 0; k < 256; ++k) {
    const long double angle = -2.0L * std::numbers::pi_v<long double> * k / 512.0L;
    // 2 pi rounded to double is 2.4e-16 short of the true value, so the angle drifts by
    // up to 2.4e-16 pi: the tables agree with the exact ones to within that plus rounding.
    EXPECT_NEAR(plan.twiddles()[k].real(), static_cast<double>(std::cos(angle)), 9e-16) << k;
    EXPECT_NEAR(plan.twiddles()[k].imag(), static_cast<double>(std::sin(angle)), 9e-16) << k;
  }
  EXPECT_EQ(plan.bit_reversal()[1], 256u);
  EXPECT_EQ(plan.bit_reversal()[3], 384u);
  EXPECT_EQ(plan.bit_reversal()[511], 511u);
  for (std::uint64_t i = 0; i < 512; ++i) {
    EXPECT_EQ(plan.bit_reversal()[plan.bit_reversal()[i]], i);
  }
}

TEST(Fft, NonFiniteInputPoisonsEveryBin) {
  const FftPlan plan(512);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (const std::size_t position : {0u, 1u, 200u, 399u, 511u}) {
    for (const double bad : {nan, inf, -inf}) {
      std::vector<Complex> x(512);
      for (std::size_t t = 0; t < 400; ++t) x[t] = {uniform(rng), 0.0};
      x[position] = {bad, 0.0};
      fft_in_place(plan, x, best_simd());
      std::vector<float> spectrum(257);
      magnitude_spectrum(x, spectrum, Simd::PORTABLE);
      for (std::size_t k = 0; k < 257; ++k) {
        if (std::isnan(bad)) {
          ASSERT_TRUE(std::isnan(spectrum[k])) << "position " << position << " bin " << k;
        } else {
          ASSERT_FALSE(std::isfinite(spectrum[k])) << "position " << position << " bin " << k;
        }
      }
    }
  }
}

// Parts (re, im) on which the two magnitude rules give neighbouring floats. With
// M = 1 + 3 * 2^-24, the midpoint between two floats, re*re + im*im is a double tie that
// rounds down to M*M - 2^-51, whose square root rounds below M; with im*im fused the
// power rounds up to M*M - 2^-52, whose square root rounds to M, a float tie to even that
// goes up.
bool find_rounding_witness(double& re, double& im) {
  const double m2 = (1.0 + 0x1p-23 + 0x1p-24) * (1.0 + 0x1p-23 + 0x1p-24);  // exact
  for (int k = 1000; k < 1200; ++k) {
    re = k * 0x1p-12;                                                 // re*re exact
    const double rounded_im2 = ((m2 - re * re) - 0x1p-51) + 0x1p-53;  // every step exact
    im = std::nextafter(std::nextafter(std::sqrt(rounded_im2), 0.0), 0.0);
    for (int step = 0; step < 5; ++step, im = std::nextafter(im, 2.0)) {
      if (im * im == rounded_im2 && std::fma(im, im, -rounded_im2) > 0.0) return true;
    }
  }
  return false;
}

TEST(Fft, MagnitudeFusesBelowNyquistOnly) {
  double re = 0.0;
  double im = 0.0;
  ASSERT_TRUE(find_rounding_witness(re, im));
  const float fused = static_cast<float>(std::sqrt(std::fma(im, im, re * re)));
  const float unfused = static_cast<float>(std::sqrt(re * re + im * im));
  ASSERT_NE(fused, unfused);
  std::vector<Complex> x(512, Complex(re, im));
  std::vector<float> spectrum(257);
  magnitude_spectrum(x, spectrum, Simd::PORTABLE);
  EXPECT_EQ(spectrum[0], fused);
  EXPECT_EQ(spectrum[255], fused);
  EXPECT_EQ(spectrum[256], unfused);
}

TEST(FftDeathTest, LengthMismatchStops) {
  // "fast" forks without exec, which hangs under qemu-user on the Arm test run.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const FftPlan plan(512);
  std::vector<Complex> short_buffer(511);
  std::vector<Complex> long_buffer(513);
  EXPECT_DEATH(fft_in_place(plan, short_buffer, best_simd()), "");
  EXPECT_DEATH(fft_in_place(plan, long_buffer, best_simd()), "");
  EXPECT_DEATH(FftPlan{384}, "");
  EXPECT_DEATH(FftPlan{2 * FFT_MAX_SIZE}, "");
}

}  // namespace
}  // namespace quelt::frontend
