// File: tests/frontend/fft_variants_test.cc
//
// The variants of the FFT and of the steps around it against each other: the AVX2 stage
// loops (four butterflies per vector) give the bits of the 2-lane loops that every other
// variant runs, at every size, on ordinary inputs and on inputs full of zeros of both
// signs, subnormals, huge values, infinities and NaN; the AVX2 magnitude gives the scalar
// magnitude's bits, and the AVX2 windowing the scalar windowing's. The 2-lane loops and
// the scalar magnitude are themselves held to the textbook transform and the rounding
// rule by fft_test.
#include <bit>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "frontend/fft.h"
#include "frontend/frontend.h"

namespace quelt::frontend {
namespace {

// NaN payloads may differ between operand orders; a NaN only has to meet a NaN.
std::uint64_t bits_of(double v) {
  return std::isnan(v) ? 0x7FF8000000000000u : std::bit_cast<std::uint64_t>(v);
}

TEST(FftVariants, Avx2LoopsGiveTheTwoLaneBits) {
  if (!simd_available(Simd::AVX2)) GTEST_SKIP() << "no AVX2 on this machine";
  std::mt19937_64 rng(29);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const double specials[] = {0.0,
                             -0.0,
                             5e-324,
                             -1e-310,
                             1e308,
                             -1e308,
                             1.0,
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
  for (std::uint64_t n = 2; n <= FFT_MAX_SIZE; n *= 2) {
    const FftPlan plan(n);
    for (int trial = 0; trial < 8; ++trial) {
      std::vector<std::complex<double>> x(n);
      for (auto& v : x) v = {uniform(rng), trial % 2 == 0 ? 0.0 : uniform(rng)};
      const std::size_t count = trial < 2 ? 0 : (trial == 7 ? n : 1 + rng() % 4);
      for (std::size_t i = 0; i < count; ++i) {
        x[rng() % n] = {specials[rng() % std::size(specials)],
                        specials[rng() % std::size(specials)]};
      }
      std::vector<std::complex<double>> two_lane = x;
      fft_in_place(plan, two_lane, Simd::PORTABLE);
      fft_in_place(plan, x, Simd::AVX2);
      for (std::size_t k = 0; k < n; ++k) {
        ASSERT_EQ(bits_of(x[k].real()), bits_of(two_lane[k].real()))
            << "n=" << n << " trial " << trial << " k=" << k;
        ASSERT_EQ(bits_of(x[k].imag()), bits_of(two_lane[k].imag()))
            << "n=" << n << " trial " << trial << " k=" << k;
      }
    }
  }
}

TEST(FftVariants, Avx2MagnitudeGivesTheScalarBits) {
  if (!simd_available(Simd::AVX2)) GTEST_SKIP() << "no AVX2 on this machine";
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> uniform(-1e3, 1e3);
  // Squares that overflow, vanish or round at the edge of single precision, and non-finite
  // parts.
  const double specials[] = {0.0,
                             -0.0,
                             5e-324,
                             1e-160,
                             1e160,
                             -1e200,
                             3.4028235e38,
                             -3.4028236e38,
                             std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()};
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<std::complex<double>> x(512);
    for (auto& v : x) v = {uniform(rng), uniform(rng)};
    for (int i = 0; i < trial * 8; ++i) {
      x[rng() % 512] = {specials[rng() % std::size(specials)],
                        specials[rng() % std::size(specials)]};
    }
    std::vector<float> scalar(257), wide(257);
    magnitude_spectrum(x, scalar, Simd::PORTABLE);
    magnitude_spectrum(x, wide, Simd::AVX2);
    for (std::size_t k = 0; k < 257; ++k) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(wide[k]), std::bit_cast<std::uint32_t>(scalar[k]))
          << "trial " << trial << " bin " << k << ": " << wide[k] << " vs " << scalar[k];
    }
  }
}

#if defined(__x86_64__)
TEST(FftVariants, Avx2WindowingGivesTheScalarBits) {
  if (!simd_available(Simd::AVX2)) GTEST_SKIP() << "no AVX2 on this machine";
  std::mt19937 rng(37);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const float specials[] = {0.0f,
                            -0.0f,
                            1e-40f,
                            -3e38f,
                            std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN()};
  const Frontend fe;
  std::vector<float> window(fe.window().begin(), fe.window().end());
  window[7] = 3e38f;  // products that overflow single precision
  for (int trial = 0; trial < 10; ++trial) {
    std::vector<float> frame(400);
    for (float& v : frame) v = uniform(rng);
    for (int i = 0; i < trial * 10; ++i) frame[rng() % 400] = specials[rng() % std::size(specials)];
    std::vector<double> got(800, 42.0);
    avx2::window_frame(frame.data(), window.data(), 400, got.data());
    for (std::size_t i = 0; i < 400; ++i) {
      const auto want = static_cast<double>(frame[i] * window[i]);
      ASSERT_EQ(bits_of(got[2 * i]), bits_of(want)) << "trial " << trial << " sample " << i;
      ASSERT_EQ(std::bit_cast<std::uint64_t>(got[2 * i + 1]), 0u) << "sample " << i;
    }
  }
}
#endif

}  // namespace
}  // namespace quelt::frontend
