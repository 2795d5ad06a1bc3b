// File: tests/frontend/frontend_test.cc
//
// The frontend as the session uses it: the window's exact values, pre-emphasis over a
// split stream, process_frame's exact cases (silence, impulse, non-finite samples), the
// whole frame against an independent float64 computation and every variant against the
// portable one, its size checks, and that it allocates nothing.
#include "frontend/frontend.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/simd_variants.h"

// Counts every allocation of the test binary, so a test can tell that a call made none.
namespace {
std::atomic<std::uint64_t> allocations{0};
}  // namespace

// malloc and free pair up here; GCC cannot see that across the replaced operators.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quelt::frontend {
namespace {

using Complex = std::complex<double>;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

const float SILENCE = -13.815510749816895f;  // ln(1e-6) in single precision

// The per-frame work areas a session owns.
struct WorkAreas {
  std::vector<Complex> fft = std::vector<Complex>(512);
  std::vector<float> spectrum = std::vector<float>(257);
  std::vector<float> features = std::vector<float>(64);

  void run(const Frontend& frontend, const std::vector<float>& frame) {
    process_frame(frontend, frame, fft, spectrum, features);
  }
};

TEST(Frontend, PeriodicHannWindow) {
  const Frontend frontend;
  const std::span<const float> w = frontend.window();
  EXPECT_EQ(bits(w[0]), bits(0.0f));
  EXPECT_EQ(w[200], 1.0f);
  for (std::size_t i = 1; i < 400; ++i) {
    ASSERT_EQ(bits(w[400 - i]), bits(w[i])) << i;
    const long double exact =
        0.5L - 0.5L * std::cos(2.0L * std::numbers::pi_v<long double> * i / 400.0L);
    // Rounded once from double: within one float ulp of the exact value.
    ASSERT_NEAR(w[i], static_cast<double>(exact), 6e-8) << i;
  }
}

TEST(Preemphasis, FirstSampleAndConstantInput) {
  const std::vector<float> ones(5, 1.0f);
  std::vector<float> y(5);
  EXPECT_EQ(preemphasize(ones, 0.0f, 0.97f, y), 1.0f);
  EXPECT_EQ(y[0], 1.0f);
  for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(y[i], 0.029999971f) << i;

  // No samples: nothing written, the carry unchanged.
  EXPECT_EQ(preemphasize({}, 0.25f, 0.97f, {}), 0.25f);
}

TEST(Preemphasis, ProductIsRoundedBeforeTheSubtraction) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  int witnesses = 0;
  for (int i = 0; i < 10000; ++i) {
    const float prev = uniform(rng);
    const float x = uniform(rng);
    float y = 0.0f;
    preemphasize(std::span<const float>(&x, 1), prev, 0.97f, std::span<float>(&y, 1));
    const float product = 0.97f * prev;
    ASSERT_EQ(bits(y), bits(x - product));
    if (std::fma(-0.97f, prev, x) != x - product) ++witnesses;
  }
  EXPECT_GT(witnesses, 0);  // the sample did tell the two roundings apart
}

TEST(Preemphasis, AnySplitOfTheStreamGivesTheSameSamples) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(1000);
  for (auto& v : x) v = uniform(rng);
  std::vector<float> whole(x.size());
  const float whole_carry = preemphasize(x, 0.0f, 0.97f, whole);
  EXPECT_EQ(whole_carry, x.back());

  for (const std::size_t chunk : {1u, 7u, 159u, 160u, 399u, 400u, 401u, 999u}) {
    std::vector<float> split(x.size());
    float carry = 0.0f;
    for (std::size_t start = 0; start < x.size(); start += chunk) {
      const std::size_t n = std::min(chunk, x.size() - start);
      carry = preemphasize(std::span(x).subspan(start, n), carry, 0.97f,
                           std::span(split).subspan(start, n));
      carry = preemphasize({}, carry, 0.97f, {});  // empty pushes in between change nothing
    }
    EXPECT_EQ(carry, whole_carry) << "chunk " << chunk;
    for (std::size_t i = 0; i < x.size(); ++i) {
      ASSERT_EQ(bits(split[i]), bits(whole[i])) << "chunk " << chunk << " sample " << i;
    }
  }

  // In place, as a session may filter its own buffer.
  std::vector<float> in_place = x;
  preemphasize(in_place, 0.0f, 0.97f, in_place);
  for (std::size_t i = 0; i < x.size(); ++i) ASSERT_EQ(bits(in_place[i]), bits(whole[i])) << i;
}

TEST(ProcessFrame, SilenceGivesTheFloor) {
  const Frontend frontend;
  WorkAreas work;
  work.run(frontend, std::vector<float>(400, 0.0f));
  for (const float s : work.spectrum) EXPECT_EQ(s, 0.0f);
  for (const float f : work.features) EXPECT_EQ(bits(f), bits(SILENCE));
  EXPECT_EQ(bits(std::log(1e-6f)), bits(SILENCE));
}

TEST(ProcessFrame, ImpulseAtTheWindowPeakHasAFlatSpectrum) {
  const Frontend frontend;
  WorkAreas work;
  std::vector<float> frame(400, 0.0f);
  frame[200] = 1.0f;
  work.run(frontend, frame);
  for (std::size_t k = 0; k < 257; ++k) ASSERT_EQ(work.spectrum[k], 1.0f) << k;

  // The window's zero at i = 0 hides the first sample of every frame.
  frame.assign(400, 0.0f);
  frame[0] = 1000.0f;
  work.run(frontend, frame);
  for (const float f : work.features) EXPECT_EQ(bits(f), bits(SILENCE));
}

TEST(ProcessFrame, NonFiniteSampleGivesTheFloorEverywhere) {
  const Frontend frontend;
  WorkAreas work;
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
  for (const float bad :
       {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity()}) {
    for (const std::size_t position : {1u, 200u, 399u}) {
      std::vector<float> frame(400);
      for (auto& v : frame) v = uniform(rng);
      frame[position] = bad;
      work.run(frontend, frame);
      for (const float s : work.spectrum) ASSERT_FALSE(std::isfinite(s));
      for (const float f : work.features) ASSERT_EQ(bits(f), bits(SILENCE));
    }
  }
}

// The whole frame in float64 from first principles: window, DFT, Slaney filterbank
// (hz_to_mel's branches with exact constants), log.
std::vector<double> float64_features(const std::vector<float>& frame) {
  const double pi = std::numbers::pi;
  std::vector<double> spectrum(257);
  for (std::size_t k = 0; k < 257; ++k) {
    double re = 0.0;
    double im = 0.0;
    for (std::size_t t = 0; t < 400; ++t) {
      const double x = static_cast<double>(frame[t]) *
                       (0.5 - 0.5 * std::cos(2.0 * pi * static_cast<double>(t) / 400.0));
      const double angle = -2.0 * pi * static_cast<double>((k * t) % 512) / 512.0;
      re += x * std::cos(angle);
      im += x * std::sin(angle);
    }
    spectrum[k] = std::hypot(re, im);
  }
  auto to_mel = [](double f) {
    return f < 1000.0 ? f * 3.0 / 200.0 : 15.0 + std::log(f / 1000.0) * 27.0 / std::log(6.4);
  };
  auto to_hz = [](double m) {
    return m < 15.0 ? m * 200.0 / 3.0 : 1000.0 * std::pow(6.4, (m - 15.0) / 27.0);
  };
  std::vector<double> features(64);
  for (std::size_t m = 0; m < 64; ++m) {
    const double span = to_mel(7600.0) - to_mel(80.0);
    const double left = to_hz(to_mel(80.0) + span * static_cast<double>(m) / 65.0);
    const double centre = to_hz(to_mel(80.0) + span * static_cast<double>(m + 1) / 65.0);
    const double right = to_hz(to_mel(80.0) + span * static_cast<double>(m + 2) / 65.0);
    double energy = 0.0;
    for (std::size_t k = 0; k < 257; ++k) {
      const double f = 31.25 * static_cast<double>(k);
      const double tri =
          std::max(0.0, std::min((f - left) / (centre - left), (right - f) / (right - centre)));
      energy += 2.0 / (right - left) * tri * spectrum[k];
    }
    features[m] = std::log(std::max(energy, 1e-6));
  }
  return features;
}

TEST(ProcessFrame, MatchesFloat64Computation) {
  const Frontend frontend;
  WorkAreas work;
  std::mt19937 rng(6);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  for (int trial = 0; trial < 3; ++trial) {
    std::vector<float> frame(400);
    for (std::size_t t = 0; t < 400; ++t) {
      // Noise plus a tone, scaled down each trial to approach the floor.
      const float tone = 0.5f * std::sin(0.3f * static_cast<float>(t));
      frame[t] = (noise(rng) + tone) * std::pow(10.0f, -2.0f * static_cast<float>(trial));
    }
    work.run(frontend, frame);
    const std::vector<double> expected = float64_features(frame);
    for (std::size_t m = 0; m < 64; ++m) {
      // Log features: an absolute tolerance is a relative one on the band energy.
      ASSERT_NEAR(work.features[m], expected[m], 1e-4) << "trial " << trial << " band " << m;
    }
  }
}

// Every variant of the whole frame (windowing, FFT, magnitude, mel projection) gives the
// portable bits, on tones and noise at every level and on frames with non-finite samples.
TEST(ProcessFrame, EveryVariantGivesThePortableBits) {
  const Frontend portable(Simd::PORTABLE);
  std::mt19937 rng(8);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  for (const Simd simd : testing::available_simds()) {
    const Frontend frontend(simd);
    EXPECT_EQ(frontend.simd(), simd);
    for (int trial = 0; trial < 12; ++trial) {
      std::vector<float> frame(400);
      const float level = std::pow(10.0f, -static_cast<float>(trial % 6));
      for (std::size_t t = 0; t < 400; ++t) {
        frame[t] =
            level * (noise(rng) +
                     std::sin(0.01f * static_cast<float>(static_cast<std::size_t>(trial) * t)));
      }
      if (trial >= 10) frame[rng() % 400] = std::numeric_limits<float>::infinity();
      WorkAreas got, want;
      got.run(frontend, frame);
      want.run(portable, frame);
      for (std::size_t m = 0; m < 64; ++m) {
        ASSERT_EQ(bits(got.features[m]), bits(want.features[m]))
            << simd_name(simd) << " trial " << trial << " band " << m;
      }
    }
  }
}

TEST(ProcessFrame, AllocatesNothingAndSurvivesAMove) {
  Frontend built;
  WorkAreas work;
  std::vector<float> frame(400);
  for (std::size_t t = 0; t < 400; ++t) frame[t] = std::sin(0.05f * static_cast<float>(t));
  work.run(built, frame);
  const std::vector<float> before = work.features;

  const Frontend moved(std::move(built));
  EXPECT_EQ(moved.simd(), best_simd());
  const std::uint64_t start = allocations.load();
  for (int i = 0; i < 100; ++i) work.run(moved, frame);
  EXPECT_EQ(allocations.load(), start);
  for (std::size_t m = 0; m < 64; ++m) EXPECT_EQ(bits(work.features[m]), bits(before[m]));
}

TEST(ProcessFrameDeathTest, SizeMismatchStops) {
  // "fast" forks without exec, which hangs under qemu-user on the Arm test run.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Frontend frontend;
  std::vector<float> frame(400);
  std::vector<Complex> fft(512);
  std::vector<float> spectrum(257);
  std::vector<float> out(64);
  std::vector<float> short_frame(399);
  std::vector<Complex> short_fft(511);
  std::vector<float> long_spectrum(258);
  std::vector<float> short_out(63);
  EXPECT_DEATH(process_frame(frontend, short_frame, fft, spectrum, out), "");
  EXPECT_DEATH(process_frame(frontend, frame, short_fft, spectrum, out), "");
  EXPECT_DEATH(process_frame(frontend, frame, fft, long_spectrum, out), "");
  EXPECT_DEATH(process_frame(frontend, frame, fft, spectrum, short_out), "");
  std::vector<float> y(3);
  EXPECT_DEATH(preemphasize(frame, 0.0f, 0.97f, y), "");
}

}  // namespace
}  // namespace quelt::frontend
