// File: tests/frontend/mel_fb_test.cc
//
// The mel scale's constants to the bit, the weight matrix against a float64 computation
// of the same filterbank, the shape of its support, and the projection: its fixed
// summation order (on rows built so that any other order gives other bits), every variant
// against the portable one bit for bit, and the log floor.
#include "frontend/mel_fb.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/simd_variants.h"

namespace quelt::frontend {
namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
// As bits(), with every NaN mapped to one value: which NaN an operation on two NaNs
// returns is up to the compiler, which may swap the operands of an addition.
std::uint32_t value_bits(float f) { return std::isnan(f) ? 0x7FC00000u : bits(f); }

constexpr std::size_t N_BINS = 257;
constexpr std::size_t N_MELS = 64;

TEST(MelScale, ConstantsToTheBit) {
  EXPECT_EQ(bits(F_SP), 0x42855555u);
  EXPECT_EQ(bits(MIN_LOG_HZ), 0x447A0000u);
  EXPECT_EQ(bits(MIN_LOG_MEL), 0x41700001u);
  EXPECT_EQ(bits(LOGSTEP), 0x3D8CCDBBu);
  // The step is ln(6.4) / 27 whichever precision evaluates it.
  EXPECT_EQ(bits(std::log(6.4f) / 27.0f), 0x3D8CCDBBu);
  EXPECT_EQ(bits(static_cast<float>(std::log(6.4) / 27.0)), 0x3D8CCDBBu);

  const float mel_lo = hz_to_mel(80.0f);
  EXPECT_EQ(bits(mel_lo), 0x3F99999Au);
  EXPECT_EQ(bits(hz_to_mel(7600.0f) - mel_lo), 0x422D32C4u);
  EXPECT_EQ(mel_to_hz(mel_lo), 80.0f);
}

TEST(MelScale, BranchesMeetAt1000Hz) {
  EXPECT_EQ(hz_to_mel(999.0f), 999.0f / F_SP);
  EXPECT_EQ(hz_to_mel(1000.0f), MIN_LOG_MEL);
  EXPECT_EQ(mel_to_hz(MIN_LOG_MEL), 1000.0f);
  for (const float hz : {100.0f, 999.0f, 1001.0f, 4000.0f, 7600.0f}) {
    EXPECT_NEAR(mel_to_hz(hz_to_mel(hz)), hz, hz * 1e-6f) << hz;
  }
}

// The same filterbank in double precision with exact constants: the Slaney scale and
// area-normalised triangles between 80 and 7600 Hz.
std::vector<double> float64_mel_weights() {
  const double f_sp = 200.0 / 3.0;
  const double min_log_mel = 15.0;
  const double logstep = std::log(6.4) / 27.0;
  auto to_mel = [&](double f) {
    return f < 1000.0 ? f / f_sp : min_log_mel + std::log(f / 1000.0) / logstep;
  };
  auto to_hz = [&](double m) {
    return m < min_log_mel ? m * f_sp : 1000.0 * std::exp((m - min_log_mel) * logstep);
  };
  const double lo = to_mel(80.0);
  const double hi = to_mel(7600.0);
  std::vector<double> hz(N_MELS + 2);
  for (std::size_t i = 0; i < hz.size(); ++i) {
    hz[i] = to_hz(lo + (hi - lo) * static_cast<double>(i) / (N_MELS + 1));
  }
  std::vector<double> weights(N_MELS * N_BINS);
  for (std::size_t m = 0; m < N_MELS; ++m) {
    for (std::size_t k = 0; k < N_BINS; ++k) {
      const double f = static_cast<double>(k) * 16000.0 / 512.0;
      const double lower = (f - hz[m]) / (hz[m + 1] - hz[m]);
      const double upper = (hz[m + 2] - f) / (hz[m + 2] - hz[m + 1]);
      weights[m * N_BINS + k] = 2.0 / (hz[m + 2] - hz[m]) * std::max(0.0, std::min(lower, upper));
    }
  }
  return weights;
}

TEST(MelWeights, MatchFloat64Filterbank) {
  const std::vector<float> weights = build_mel_weights(16000, 512, N_MELS, 80.0f, 7600.0f);
  const std::vector<double> expected = float64_mel_weights();
  ASSERT_EQ(weights.size(), expected.size());
  for (std::size_t m = 0; m < N_MELS; ++m) {
    const double* row = expected.data() + m * N_BINS;
    const double apex = *std::max_element(row, row + N_BINS);
    // The single-precision mel points (up to 44.5 mel, ulp 3.8e-6) move each band's edges
    // by up to about 1e-5 of the band's width, and its weights by as much of its apex.
    for (std::size_t k = 0; k < N_BINS; ++k) {
      ASSERT_NEAR(weights[m * N_BINS + k], row[k], 2e-5 * apex) << "band " << m << " bin " << k;
    }
  }
}

TEST(MelWeights, SupportLiesInBins3To243) {
  const std::vector<float> weights = build_mel_weights(16000, 512, N_MELS, 80.0f, 7600.0f);
  std::size_t lowest = N_BINS;
  std::size_t highest = 0;
  for (std::size_t m = 0; m < N_MELS; ++m) {
    std::size_t first = N_BINS;
    std::size_t last = 0;
    std::size_t count = 0;
    for (std::size_t k = 0; k < N_BINS; ++k) {
      const float w = weights[m * N_BINS + k];
      ASSERT_GE(w, 0.0f);
      if (w > 0.0f) {
        first = std::min(first, k);
        last = k;
        ++count;
      }
    }
    EXPECT_GE(count, 2u) << "band " << m;
    EXPECT_EQ(count, last - first + 1) << "band " << m << " has a gap";
    lowest = std::min(lowest, first);
    highest = std::max(highest, last);
    if (m == 0) {
      EXPECT_EQ(first, 3u);
      EXPECT_EQ(last, 5u);
    }
    if (m == N_MELS - 1) {
      EXPECT_EQ(first, 222u);
      EXPECT_EQ(last, 243u);
    }
  }
  EXPECT_EQ(lowest, 3u);
  EXPECT_EQ(highest, 243u);
}

class MelProjection : public ::testing::TestWithParam<Simd> {};

// Rows on which the order of the sum shows: with a spectrum of ones, each result below
// is what the fixed order gives and a plain left-to-right sum (or a fused last bin, or an
// unfused update) would not.
TEST_P(MelProjection, SumsInTheFixedOrder) {
  const float big = 0x1p24f;  // adding 1 to it is a tie that rounds back down
  struct Row {
    const char* what;
    std::vector<std::pair<std::size_t, float>> weights;   // (bin, weight); others zero
    std::vector<std::pair<std::size_t, float>> spectrum;  // (bin, value); others one
    float expected;
  };
  const std::vector<Row> rows = {
      // Lanes pair up as (0 + 1) + (2 + 3): the two ones meet before the big value.
      {"lane pairs", {{0, big}, {2, 1.0f}, {3, 1.0f}}, {}, big + 2.0f},
      // Groups pair up as (1 + 0) + (3 + 2).
      {"group pairs", {{0, big}, {8, 1.0f}, {12, 1.0f}}, {}, big + 2.0f},
      // One running sum per bin position across blocks: bins 0, 16 and 32 share one, so
      // the ones are absorbed by the big value before -big (bin 8) cancels it.
      {"running sums", {{0, big}, {8, -big}, {16, 1.0f}, {32, 1.0f}}, {}, 0.0f},
      // The last bin is added after the lanes are combined...
      {"last bin added last", {{0, big}, {1, 1.0f}, {256, 1.0f}}, {}, big},
      // ... and its product is rounded on its own: (1 + 2^-12)^2 rounds to 1 + 2^-11.
      {"last bin unfused",
       {{0, -1.0f}, {256, 1.0f + 0x1p-12f}},
       {{256, 1.0f + 0x1p-12f}},
       0x1p-11f},
      // Updates are fused: (1 + 2^-12)^2 - 1 keeps its 2^-24 term.
      {"fused update",
       {{0, -1.0f}, {16, 1.0f + 0x1p-12f}},
       {{16, 1.0f + 0x1p-12f}},
       0x1p-11f + 0x1p-24f},
  };
  for (const Row& row : rows) {
    std::vector<float> weights(N_BINS, 0.0f);
    std::vector<float> spectrum(N_BINS, 1.0f);
    for (const auto& [k, w] : row.weights) weights[k] = w;
    for (const auto& [k, v] : row.spectrum) spectrum[k] = v;
    float out = 0.0f;
    project_mel(GetParam(), weights, spectrum, std::span<float>(&out, 1));
    EXPECT_EQ(out, row.expected) << row.what;
  }
}

TEST_P(MelProjection, MatchesPortableBitForBit) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float specials[] = {0.0f,  -0.0f,  1e-40f, -1e-40f, std::numeric_limits<float>::min(),
                            3e38f, -3e38f, 1.0f};
  const std::vector<float> mel = build_mel_weights(16000, 512, N_MELS, 80.0f, 7600.0f);

  // Sizes around the block boundary, and the real matrix with random and special spectra.
  for (const std::size_t n_bins : {17u, 33u, 257u, 513u}) {
    for (int trial = 0; trial < 20; ++trial) {
      const std::size_t n_mels = trial % 2 == 0 ? 64 : 3;
      std::vector<float> weights(n_mels * n_bins);
      std::vector<float> spectrum(n_bins);
      for (auto& w : weights) w = uniform(rng);
      for (auto& s : spectrum) s = uniform(rng);
      if (trial >= 10) {  // sprinkle special values, some of which overflow the sums
        for (int i = 0; i < 40; ++i) {
          spectrum[rng() % n_bins] = specials[rng() % std::size(specials)];
          weights[rng() % weights.size()] = specials[rng() % std::size(specials)];
        }
      }
      if (n_bins == N_BINS && n_mels == N_MELS && trial < 4) weights = mel;
      std::vector<float> expected(n_mels);
      std::vector<float> got(n_mels);
      project_mel(Simd::PORTABLE, weights, spectrum, expected);
      project_mel(GetParam(), weights, spectrum, got);
      for (std::size_t m = 0; m < n_mels; ++m) {
        ASSERT_EQ(value_bits(got[m]), value_bits(expected[m]))
            << "n_bins " << n_bins << " trial " << trial << " band " << m;
      }
    }
  }

  // A NaN in any bin, zero-weight bins included, makes every band NaN; an infinity makes
  // the bands that weigh its bin infinite and all the others NaN (0 * inf).
  for (const float bad : {nan, inf}) {
    for (const std::size_t k : {0u, 2u, 100u, 250u, 256u}) {
      std::vector<float> spectrum(N_BINS, 0.5f);
      spectrum[k] = bad;
      std::vector<float> out(N_MELS);
      project_mel(GetParam(), mel, spectrum, out);
      for (std::size_t m = 0; m < N_MELS; ++m) {
        if (std::isinf(bad) && mel[m * N_BINS + k] > 0.0f) {
          ASSERT_EQ(out[m], inf) << "bin " << k << " band " << m;
        } else {
          ASSERT_TRUE(std::isnan(out[m])) << "bin " << k << " band " << m;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, MelProjection, ::testing::ValuesIn(testing::available_simds()),
                         testing::simd_param_name);

TEST(LogCompress, FloorsAndIgnoresNaN) {
  const float floor = 1e-6f;
  const float silence = std::log(floor);
  EXPECT_EQ(silence, -13.815510749816895f);
  std::vector<float> x = {0.0f,
                          -0.0f,
                          -5.0f,
                          5e-7f,
                          std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(),
                          1.0f,
                          2.5f};
  log_compress(x, floor);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(bits(x[i]), bits(silence)) << i;
  EXPECT_EQ(x[5], std::numeric_limits<float>::infinity());
  EXPECT_EQ(x[6], 0.0f);
  EXPECT_EQ(x[7], std::log(2.5f));
}

TEST(MelProjectionDeathTest, SizeMismatchStops) {
  // "fast" forks without exec, which hangs under qemu-user on the Arm test run.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<float> weights(64 * 257);
  std::vector<float> spectrum(257);
  std::vector<float> out(64);
  std::vector<float> bad_spectrum(256);
  std::vector<float> bad_out(63);
  EXPECT_DEATH(project_mel(Simd::PORTABLE, weights, bad_spectrum, out), "");
  EXPECT_DEATH(project_mel(Simd::PORTABLE, weights, spectrum, bad_out), "");
}

}  // namespace
}  // namespace quelt::frontend
