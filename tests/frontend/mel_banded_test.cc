// File: tests/frontend/mel_banded_test.cc
//
// The banded mel projection (only the blocks that hold a band's non-zero weights) against
// the dense one, bit for bit, for every variant this machine runs: on magnitude spectra of
// every kind (silence, subnormals, huge values whose products overflow), on spectra it
// must refuse (NaN, infinities, negative values, -0.0), and on weight matrices with
// negative and -0.0 weights, where skipping would not be exact and the ranges must keep
// every block. Also the ranges of the real filterbank: narrow, and nothing outside them.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "frontend/frontend.h"
#include "frontend/mel_fb.h"

namespace quelt::frontend {
namespace {

constexpr std::size_t BINS = 257;
constexpr std::size_t MELS = 64;

using Banded = bool (*)(const float*, const float*, std::size_t, std::size_t, const std::uint16_t*,
                        const std::uint16_t*, float*);

std::vector<std::pair<Simd, Banded>> variants() {
  std::vector<std::pair<Simd, Banded>> v = {{Simd::PORTABLE, &portable::project_mel_banded}};
#if defined(__aarch64__)
  v.emplace_back(Simd::NEON, &neon::project_mel_banded);
#endif
#if defined(__x86_64__)
  if (simd_available(Simd::AVX2)) v.emplace_back(Simd::AVX2, &avx2::project_mel_banded);
#endif
  return v;
}

// Equal bits, or both NaN.
bool same(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// Banded (through the dispatcher) against dense, for every variant.
void expect_same_as_dense(const std::vector<float>& weights, const std::vector<float>& spectrum,
                          const char* what) {
  const MelBlockRanges ranges = mel_block_ranges(weights, BINS, MELS);
  for (const auto& [kernel, banded] : variants()) {
    std::vector<float> dense(MELS), got(MELS, 42.0f);
    project_mel(kernel, weights, spectrum, dense);
    project_mel(kernel, weights, ranges, spectrum, got);
    for (std::size_t m = 0; m < MELS; ++m) {
      ASSERT_TRUE(same(got[m], dense[m])) << what << ", " << simd_name(kernel) << ", band " << m
                                          << ": " << got[m] << " vs " << dense[m];
    }
  }
}

std::vector<float> filterbank() { return build_mel_weights(16000, 512, MELS, 80.0f, 7600.0f); }

TEST(MelBanded, MagnitudeSpectraGiveTheDenseBits) {
  const std::vector<float> weights = filterbank();
  std::mt19937 rng(41);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float specials[] = {0.0f, std::numeric_limits<float>::denorm_min(), 1e-30f, 1e30f,
                            std::numeric_limits<float>::max()};
  for (int trial = 0; trial < 40; ++trial) {
    std::vector<float> spectrum(BINS);
    for (float& v : spectrum) v = unit(rng) * std::pow(10.0f, static_cast<float>(trial % 9) - 4.0f);
    if (trial % 4 == 1) spectrum.assign(BINS, 0.0f);  // silence
    for (int i = 0; i < trial; ++i) spectrum[rng() % BINS] = specials[rng() % std::size(specials)];
    expect_same_as_dense(weights, spectrum, "magnitudes");
  }
}

TEST(MelBanded, RefusesWhatItCannotSkipExactly) {
  const std::vector<float> weights = filterbank();
  const MelBlockRanges ranges = mel_block_ranges(weights, BINS, MELS);
  const float refused[] = {std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity(), -1.0f, -0.0f};
  for (const float bad : refused) {
    for (const std::size_t at : {std::size_t{0}, std::size_t{100}, BINS - 1}) {
      std::vector<float> spectrum(BINS, 0.5f);
      spectrum[at] = bad;
      for (const auto& [kernel, banded] : variants()) {
        std::vector<float> out(MELS, 42.0f);
        EXPECT_FALSE(banded(weights.data(), spectrum.data(), BINS, MELS, ranges.first.data(),
                            ranges.end.data(), out.data()))
            << simd_name(kernel) << " value " << bad << " at " << at;
        EXPECT_EQ(out, std::vector<float>(MELS, 42.0f));  // nothing written
      }
      expect_same_as_dense(weights, spectrum, "refused value");
    }
  }
  // A plain magnitude spectrum takes the banded path.
  const std::vector<float> spectrum(BINS, 0.5f);
  for (const auto& [kernel, banded] : variants()) {
    std::vector<float> out(MELS);
    EXPECT_TRUE(banded(weights.data(), spectrum.data(), BINS, MELS, ranges.first.data(),
                       ranges.end.data(), out.data()));
  }
}

// Negative and -0.0 weights with tiny spectrum values: products that round to -0.0 would
// make skipping inexact, so those bands keep every block.
TEST(MelBanded, SignedWeightsKeepEveryBlock) {
  std::mt19937 rng(43);
  std::uniform_real_distribution<float> signed_unit(-1.0f, 1.0f);
  std::vector<float> weights = filterbank();
  for (std::size_t m = 0; m < MELS; m += 3) {
    weights[m * BINS + rng() % BINS] =
        (m % 2 == 0) ? -0.0f : -(1.0f + std::fabs(signed_unit(rng))) * 1e-30f;
  }
  const MelBlockRanges ranges = mel_block_ranges(weights, BINS, MELS);
  for (std::size_t m = 0; m < MELS; m += 3) {
    EXPECT_EQ(ranges.first[m], 0u) << "band " << m;
    EXPECT_EQ(ranges.end[m], (BINS - 1) / MEL_BLOCK) << "band " << m;
  }
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<float> spectrum(BINS);
    for (float& v : spectrum) v = std::fabs(signed_unit(rng)) * 1e-20f;
    expect_same_as_dense(weights, spectrum, "signed weights");
  }
}

TEST(MelBanded, RangesOfTheFilterbankAreNarrowAndComplete) {
  const Frontend fe;
  const std::vector<float> weights(fe.mel_weights().begin(), fe.mel_weights().end());
  const MelBlockRanges& ranges = fe.mel_block_ranges();
  std::size_t blocks = 0;
  for (std::size_t m = 0; m < MELS; ++m) {
    ASSERT_LT(ranges.first[m], ranges.end[m]) << "band " << m;  // every band has weights
    blocks += ranges.end[m] - ranges.first[m];
    for (std::size_t k = 0; k + 1 < BINS; ++k) {
      const std::size_t b = k / MEL_BLOCK;
      if (b < ranges.first[m] || b >= ranges.end[m]) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(weights[m * BINS + k]), 0u)
            << "band " << m << " bin " << k;
      }
    }
  }
  // Triangles span a few blocks each: far less than the dense 64 x 16.
  EXPECT_LT(blocks, MELS * 3);
  // A row of zeros has no blocks at all.
  std::vector<float> zero_row = weights;
  std::fill(zero_row.begin(), zero_row.begin() + BINS, 0.0f);
  const MelBlockRanges z = mel_block_ranges(zero_row, BINS, MELS);
  EXPECT_EQ(z.first[0], 0u);
  EXPECT_EQ(z.end[0], 0u);
  expect_same_as_dense(zero_row, std::vector<float>(BINS, 1.0f), "zero band");
}

}  // namespace
}  // namespace quelt::frontend
