// File: nn/ops_test.cc
//
// Tests of the float kernels. One parameterised suite runs over every variant built for
// this machine (portable everywhere, NEON on AArch64, AVX2 on x86-64 when the CPU has it):
//   - bit-for-bit agreement with the portable twin on random, wide-range and adversarial
//     inputs (NaN, infinities, -0.0, subnormals, values near the float limit); the
//     depthwise step of every variant runs over frames and is held to the row form
//     (portable::depthwise_conv_step), on rows laid out as frames;
//   - hand-derived answers that pin the order of operations (which steps are fused, which
//     sums pair up, when the bias joins), so that a mistake shared by all variants is
//     caught too;
//   - the documented facts (identity pointwise, constant and ramp layer_norm, single-tap
//     depthwise, relu of -0.0);
//   - a tolerance check against a plain double-precision computation.
#include "nn/ops.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/cpu.h"

namespace quelt::nn {
namespace {

using Floats = std::vector<float>;

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float TWO_24 = 16777216.0f;   // 2^24: adding 1 to it is lost to rounding
constexpr float A = 1.0f + 0x1.0p-12f;  // A * A = 1 + 2^-11 + 2^-24, not a float
constexpr float A_SQ_ROUNDED = 1.0f + 0x1.0p-11f;

// A kernel set as plain function pointers, so that one suite can run over all of them.
struct Variant {
  std::string name;
  void (*pointwise_conv)(const float*, const float*, const float*, std::size_t, float*);
  void (*layer_norm)(const float*, const float*, const float*, std::size_t, float*);
  void (*relu_in_place)(float*, std::size_t);
  void (*add_relu)(const float*, const float*, float*, std::size_t);
  void (*depthwise_frames)(const float* const*, const float*, const float*, float*);
};

// gtest prints the parameter of a failing case with this.
void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

template <typename K>
Variant make_variant(std::string name) {
  return {std::move(name),   &K::pointwise_conv, &K::layer_norm,
          &K::relu_in_place, &K::add_relu,       &K::depthwise_frames};
}

std::vector<Variant> built_variants() {
  std::vector<Variant> v{make_variant<PortableKernels>("Portable")};
#if defined(__aarch64__)
  v.push_back(make_variant<NeonKernels>("Neon"));
#endif
#if defined(__x86_64__)
  if (simd_available(Simd::AVX2)) v.push_back(make_variant<Avx2Kernels>("Avx2"));
#endif
  return v;
}

const Variant& portable_variant() {
  static const Variant v = make_variant<PortableKernels>("Portable");
  return v;
}

// The depthwise step of `v` on histories in row form (64 rows of history_length(d) inputs,
// oldest first; w 64 x 13): the rows laid out as frames, the weights tap-major, and the
// 13 frames the taps meet handed to the frame kernel.
void depthwise_on_rows(const Variant& v, const float* rows, const float* w, const float* b,
                       std::size_t d, float* y) {
  const std::size_t len = history_length(d);
  std::vector<float> frames(len * CHANNELS), w_by_tap(KERNEL_SIZE * CHANNELS);
  for (std::size_t c = 0; c < CHANNELS; ++c) {
    for (std::size_t i = 0; i < len; ++i) frames[i * CHANNELS + c] = rows[c * len + i];
  }
  transpose_depthwise_weights(w, w_by_tap.data());
  const float* taps[KERNEL_SIZE];
  for (std::size_t k = 0; k < KERNEL_SIZE; ++k) taps[k] = frames.data() + k * d * CHANNELS;
  v.depthwise_frames(taps, w_by_tap.data(), b, y);
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }

// Equal bit patterns, except that two NaNs count as equal whatever their payloads (which
// NaN survives an addition of two NaNs depends on the compiler's operand order).
::testing::AssertionResult same_bits(const Floats& got, const Floats& want, const std::string& what,
                                     bool exact_nan = false) {
  for (std::size_t i = 0; i < want.size(); ++i) {
    const bool both_nan = std::isnan(got[i]) && std::isnan(want[i]);
    if (bits(got[i]) != bits(want[i]) && !(both_nan && !exact_nan)) {
      return ::testing::AssertionFailure()
             << what << ": element " << i << " is " << got[i] << " (0x" << std::hex << bits(got[i])
             << "), expected " << want[i] << " (0x" << bits(want[i]) << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

// Values that stress the rules of IEEE arithmetic: signed zeros and infinities; quiet NaNs
// (positive, negative, with a payload) and a signalling one; subnormals; the smallest and
// largest normal floats; values whose products or sums overflow; rounding probes.
const Floats& special_values() {
  static const Floats v = [] {
    Floats s;
    for (std::uint32_t u : {0x00000000u, 0x80000000u, 0x7F800000u, 0xFF800000u, 0x7FC00000u,
                            0xFFC00000u, 0x7FC12345u, 0x7FA00001u, 0x00000001u, 0x80000001u,
                            0x007FFFFFu, 0x00800000u, 0x80800000u, 0x7F7FFFFFu, 0xFF7FFFFFu}) {
      s.push_back(from_bits(u));
    }
    for (float f : {1e38f, -1e38f, 3e38f, 1.0f, -1.0f, A, -A_SQ_ROUNDED, TWO_24, -TWO_24}) {
      s.push_back(f);
    }
    return s;
  }();
  return v;
}

// How an input array is filled.
enum class Fill {
  Normal,      // standard normal: the values a trained network sees
  Wide,        // any finite float, exponents spread evenly: overflow, underflow, cancellation
  FewSpecial,  // normal values with about one special value in 30
  ManySpecial  // half the values special
};

class Inputs {
 public:
  explicit Inputs(std::uint32_t seed) : rng_(seed) {}

  Floats make(std::size_t n, Fill fill) {
    Floats v(n);
    for (float& f : v) f = value(fill);
    return v;
  }

 private:
  float value(Fill fill) {
    switch (fill) {
      case Fill::Normal:
        return normal_(rng_);
      case Fill::Wide: {
        // A random sign, exponent field 0..254 and fraction: finite, including subnormals.
        const std::uint32_t u = static_cast<std::uint32_t>(rng_());
        const std::uint32_t exponent = (u >> 23) % 255u;
        return from_bits((u & 0x807FFFFFu) | (exponent << 23));
      }
      case Fill::FewSpecial:
        return pick(30) ? special() : normal_(rng_);
      case Fill::ManySpecial:
        return pick(2) ? special() : normal_(rng_);
    }
    return 0.0f;
  }
  bool pick(std::uint32_t one_in) { return rng_() % one_in == 0; }
  float special() { return special_values()[rng_() % special_values().size()]; }

  std::mt19937 rng_;
  std::normal_distribution<float> normal_{0.0f, 1.0f};
};

constexpr Fill ALL_FILLS[] = {Fill::Normal, Fill::Wide, Fill::FewSpecial, Fill::ManySpecial};
constexpr const char* FILL_NAMES[] = {"normal", "wide", "few special", "many special"};
constexpr int TRIALS_PER_FILL = 40;
constexpr std::size_t DILATIONS[] = {1, 2, 4};

class OpsVariant : public ::testing::TestWithParam<Variant> {
 protected:
  const Variant& k() const { return GetParam(); }
};

// ---- Bit-for-bit agreement with the portable twin -----------------------------------

// Calls fn(inputs, fill, label) for every kind of fill, TRIALS_PER_FILL times each.
template <typename Fn>
void for_each_trial(std::uint32_t seed, const char* kernel, std::size_t size, Fn fn) {
  Inputs in(seed);
  for (int f = 0; f < 4; ++f) {
    for (int t = 0; t < TRIALS_PER_FILL; ++t) {
      fn(in, ALL_FILLS[f],
         std::string(kernel) + " size " + std::to_string(size) + ", " + FILL_NAMES[f] +
             " inputs, trial " + std::to_string(t));
    }
  }
}

TEST_P(OpsVariant, PointwiseConvMatchesPortableBits) {
  for (const std::size_t n_out : {std::size_t{64}, std::size_t{16}}) {
    for_each_trial(1, "pointwise_conv", n_out, [&](Inputs& in, Fill f, const std::string& what) {
      const Floats x = in.make(CHANNELS, f), w = in.make(n_out * CHANNELS, f);
      const Floats b = in.make(n_out, f);
      Floats got(n_out), want(n_out);
      k().pointwise_conv(x.data(), w.data(), b.data(), n_out, got.data());
      portable_variant().pointwise_conv(x.data(), w.data(), b.data(), n_out, want.data());
      ASSERT_TRUE(same_bits(got, want, what));
    });
  }
}

TEST_P(OpsVariant, LayerNormMatchesPortableBits) {
  for (const std::size_t n : {std::size_t{64}, std::size_t{16}}) {
    for_each_trial(2, "layer_norm", n, [&](Inputs& in, Fill f, const std::string& what) {
      const Floats x = in.make(n, f), scale = in.make(n, f), shift = in.make(n, f);
      Floats got(n), want(n);
      k().layer_norm(x.data(), scale.data(), shift.data(), n, got.data());
      portable_variant().layer_norm(x.data(), scale.data(), shift.data(), n, want.data());
      ASSERT_TRUE(same_bits(got, want, what));
    });
  }
}

TEST_P(OpsVariant, ReluAndAddReluMatchPortableBits) {
  for (const std::size_t n : {std::size_t{64}, std::size_t{16}}) {
    for_each_trial(3, "relu", n, [&](Inputs& in, Fill f, const std::string& what) {
      const Floats a = in.make(n, f), b = in.make(n, f);
      // One NaN source per element: here even the NaN payloads must agree.
      Floats got = a, want = a;
      k().relu_in_place(got.data(), n);
      portable_variant().relu_in_place(want.data(), n);
      ASSERT_TRUE(same_bits(got, want, "relu_in_place, " + what, true));
      k().add_relu(a.data(), b.data(), got.data(), n);
      portable_variant().add_relu(a.data(), b.data(), want.data(), n);
      ASSERT_TRUE(same_bits(got, want, "add_relu, " + what));
    });
  }
}

// The frame kernel against the row form it replaced, which the network no longer runs.
TEST_P(OpsVariant, DepthwiseFramesMatchRowFormBitsForEveryDilation) {
  for (const std::size_t d : DILATIONS) {
    for_each_trial(4, "depthwise_frames dilation", d,
                   [&](Inputs& in, Fill f, const std::string& what) {
                     const Floats rows = in.make(CHANNELS * history_length(d), f);
                     const Floats w = in.make(CHANNELS * KERNEL_SIZE, f);
                     const Floats b = in.make(CHANNELS, f);
                     Floats got(CHANNELS, 42.0f), want(CHANNELS);
                     depthwise_on_rows(k(), rows.data(), w.data(), b.data(), d, got.data());
                     portable::depthwise_conv_step(rows.data(), w.data(), b.data(), d, want.data());
                     ASSERT_TRUE(same_bits(got, want, what));
                   });
  }
}

// ---- Order of operations, from hand-derived answers ---------------------------------
// Sums are probed with exact products and 2^24, against which a 1 is lost to rounding:
// (2^24 + 1) + 1 is 2^24, 2^24 + (1 + 1) is not. Fusing is probed with A * A, which is
// not a float: fused, -(1 + 2^-11) + A * A gives 2^-24; rounded first, it gives 0.

struct Term {
  std::size_t index;  // input of a pointwise row, or depthwise tap
  float w;
  float x = 1.0f;  // the input it meets; every other input is 1
};
struct SumCase {
  std::vector<Term> terms;  // all other weights are 0
  float bias;
  float expected;
};

TEST_P(OpsVariant, PointwiseConvSumsAndFusesInItsFixedOrder) {
  // Input i of a row goes to accumulator (i / 4) % 4, lane i % 4, at step i / 16.
  const SumCase cases[] = {
      {{{0, TWO_24}, {16, 1}, {32, 1}, {48, -TWO_24}}, 0, 0},  // a lane adds in sequence
      {{{0, TWO_24}, {4, 1}, {8, 1}, {12, -TWO_24}}, 0, 1},    // (A3 + A2) + (A1 + A0)
      {{{0, TWO_24}, {4, 1}, {8, -TWO_24}, {12, 1}}, 0, 1},
      {{{0, TWO_24}, {1, 1}, {2, 1}, {3, -TWO_24}}, 0, 1},  // (S0 + S1) + (S2 + S3)
      {{{0, TWO_24}, {1, 1}, {2, -TWO_24}, {3, 1}}, 0, 1},
      {{{0, TWO_24}, {1, -TWO_24}}, 1, 1},  // the bias comes last
      {{{0, TWO_24}}, 1, TWO_24},
      {{{0, -A_SQ_ROUNDED}, {16, A, A}}, 0, 0x1.0p-24f},  // every step fused
  };
  for (const std::size_t n_out : {std::size_t{64}, std::size_t{16}}) {
    for (std::size_t ci = 0; ci < std::size(cases); ++ci) {
      const SumCase& c = cases[ci];
      Floats x(CHANNELS, 1.0f), w(n_out * CHANNELS, 0.0f), y(n_out);
      for (const Term& t : c.terms) {
        x[t.index] = t.x;
        for (std::size_t o = 0; o < n_out; ++o) w[o * CHANNELS + t.index] = t.w;
      }
      const Floats b(n_out, c.bias);
      k().pointwise_conv(x.data(), w.data(), b.data(), n_out, y.data());
      for (std::size_t o = 0; o < n_out; ++o) {
        ASSERT_EQ(bits(y[o]), bits(c.expected)) << "case " << ci << ", output " << o;
      }
    }
  }
}

TEST_P(OpsVariant, DepthwiseConvSumsAndFusesInItsFixedOrder) {
  // Tap k < 12 goes to lane k % 4 at step k / 4; tap 12 is a rounded product added alone
  // after the bias.
  const SumCase cases[] = {
      {{{0, TWO_24}, {4, 1}, {8, -TWO_24}}, 0, 0},          // a lane adds in sequence
      {{{0, TWO_24}, {1, 1}, {2, 1}, {3, -TWO_24}}, 0, 1},  // (a0 + a1) + (a2 + a3)
      {{{0, TWO_24}, {1, 1}, {2, -TWO_24}, {3, 1}}, 0, 1},
      {{{0, TWO_24}, {12, 1}}, 1, TWO_24},  // the bias, then tap 12
      {{{0, TWO_24}, {12, -TWO_24}}, 1, 0},
      {{{0, -A_SQ_ROUNDED}, {4, A, A}}, 0, 0x1.0p-24f},  // taps 0..11 fused
      {{{12, A, A}}, -A_SQ_ROUNDED, 0},                  // tap 12 not
  };
  for (const std::size_t d : DILATIONS) {
    const std::size_t len = history_length(d);
    for (std::size_t ci = 0; ci < std::size(cases); ++ci) {
      const SumCase& c = cases[ci];
      Floats rows(CHANNELS * len, 1.0f), w(CHANNELS * KERNEL_SIZE, 0.0f);
      for (const Term& t : c.terms) {
        for (std::size_t ch = 0; ch < CHANNELS; ++ch) {
          w[ch * KERNEL_SIZE + t.index] = t.w;
          rows[ch * len + t.index * d] = t.x;
        }
      }
      const Floats b(CHANNELS, c.bias);
      Floats y(CHANNELS);
      depthwise_on_rows(k(), rows.data(), w.data(), b.data(), d, y.data());
      for (std::size_t ch = 0; ch < CHANNELS; ++ch) {
        ASSERT_EQ(bits(y[ch]), bits(c.expected))
            << "case " << ci << ", dilation " << d << ", channel " << ch;
      }
    }
  }
}

TEST(DenseHead, AddsRoundedProductsLeftToRightAfterTheBias) {
  const Floats ones(16, 1.0f);
  const float zero = 0.0f, big = TWO_24, minus_a_sq = -A_SQ_ROUNDED;
  // The bias comes first, so every 1 after it is lost against 2^24.
  EXPECT_EQ(dense_head(ones.data(), ones.data(), &big), TWO_24);
  // w = 1, b = 0: the plain left-to-right sum; a pairwise sum would keep the 1s.
  Floats x = ones;
  x[0] = TWO_24;
  EXPECT_EQ(dense_head(x.data(), ones.data(), &zero), TWO_24);
  // Not fused: the rounded A * A cancels the bias exactly.
  Floats xa(16, 0.0f);
  xa[0] = A;
  x[0] = A;
  EXPECT_EQ(bits(dense_head(xa.data(), x.data(), &minus_a_sq)), bits(0.0f));
}

// ---- Documented facts ------------------------------------------------------------------

TEST_P(OpsVariant, PointwiseConvWithIdentityWeightsReturnsTheInput) {
  Inputs in(5);
  Floats x = in.make(CHANNELS, Fill::Wide);
  x[3] = -0.0f;
  x[17] = from_bits(0x00000001);
  for (const std::size_t n_out : {std::size_t{64}, std::size_t{16}}) {
    Floats w(n_out * CHANNELS, 0.0f);
    for (std::size_t o = 0; o < n_out; ++o) w[o * CHANNELS + o] = 1.0f;
    const Floats b(n_out, 0.0f);
    Floats y(n_out);
    k().pointwise_conv(x.data(), w.data(), b.data(), n_out, y.data());
    for (std::size_t o = 0; o < n_out; ++o) {
      const float expected = x[o] == 0.0f ? 0.0f : x[o];  // -0.0 comes back as +0.0
      ASSERT_EQ(bits(y[o]), bits(expected)) << "output " << o << " of " << n_out;
    }
  }
}

TEST_P(OpsVariant, LayerNormOfConstantInputReturnsTheShift) {
  Inputs in(6);
  for (const std::size_t n : {std::size_t{64}, std::size_t{16}}) {
    const Floats x(n, 1.0f);
    const Floats scale = in.make(n, Fill::Normal);
    const Floats shift = in.make(n, Fill::Normal);
    Floats y(n);
    k().layer_norm(x.data(), scale.data(), shift.data(), n, y.data());
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(y[i]), bits(shift[i])) << i;
  }
}

TEST_P(OpsVariant, LayerNormOfRampHasExactMeanAndVariance) {
  // x = 0..15: the mean is exactly 7.5 and the biased variance exactly 21.25.
  Floats x(16);
  for (std::size_t i = 0; i < 16; ++i) x[i] = static_cast<float>(i);
  const float inv = 1.0f / std::sqrt(21.25f + 1e-5f);
  const Floats ones(16, 1.0f), zeros(16, 0.0f);
  Floats y(16);
  k().layer_norm(x.data(), ones.data(), zeros.data(), 16, y.data());
  for (std::size_t i = 0; i < 16; ++i) {
    ASSERT_EQ(bits(y[i]), bits((x[i] - 7.5f) * inv)) << i;
  }

  // shift + t * scale is one fused step.
  Inputs in(7);
  const Floats scale = in.make(16, Fill::Normal);
  const Floats shift = in.make(16, Fill::Normal);
  k().layer_norm(x.data(), scale.data(), shift.data(), 16, y.data());
  for (std::size_t i = 0; i < 16; ++i) {
    ASSERT_EQ(bits(y[i]), bits(std::fma((x[i] - 7.5f) * inv, scale[i], shift[i]))) << i;
  }
}

TEST_P(OpsVariant, DepthwiseTapKMeetsTheInputKTimesDilationBack) {
  Inputs in(8);
  for (const std::size_t d : DILATIONS) {
    const std::size_t len = history_length(d);
    Floats rows(CHANNELS * len);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>(i + 1);
    const Floats b(CHANNELS, 0.0f);
    Floats y(CHANNELS);
    for (std::size_t tap = 0; tap < KERNEL_SIZE; ++tap) {
      Floats w(CHANNELS * KERNEL_SIZE, 0.0f);
      for (std::size_t ch = 0; ch < CHANNELS; ++ch) w[ch * KERNEL_SIZE + tap] = 1;
      depthwise_on_rows(k(), rows.data(), w.data(), b.data(), d, y.data());
      for (std::size_t ch = 0; ch < CHANNELS; ++ch) {
        // Tap 12 meets the newest input, tap 0 the one 12 * d frames older.
        ASSERT_EQ(y[ch], rows[ch * len + tap * d])
            << "dilation " << d << ", tap " << tap << ", channel " << ch;
      }
    }
  }
}

TEST_P(OpsVariant, ReluClampsNegativesAndZeroSignAndKeepsNaN) {
  // -0.0, -1, -inf, -min subnormal, +0, 2.5, +inf, +min subnormal, three quiet NaNs, a
  // signalling NaN, -1e38. A NaN comes back as itself made quiet, as the vector maximum
  // returns it.
  const std::uint32_t in[] = {0x80000000, 0xBF800000, 0xFF800000, 0x80000001,
                              0x00000000, 0x40200000, 0x7F800000, 0x00000001,
                              0x7FC12345, 0xFFC00000, 0x7FC00000, 0x7FA00001,
                              0xFE967699, 0xBF800000, 0xBF800000, 0xBF800000};
  const std::uint32_t out[] = {
      0,          0,          0,          0,          0, 0x40200000, 0x7F800000, 0x00000001,
      0x7FC12345, 0xFFC00000, 0x7FC00000, 0x7FE00001, 0, 0,          0,          0};
  Floats x, expected;
  for (std::size_t i = 0; i < 16; ++i) {
    x.push_back(from_bits(in[i]));
    expected.push_back(from_bits(out[i]));
  }
  k().relu_in_place(x.data(), x.size());
  EXPECT_TRUE(same_bits(x, expected, "relu_in_place", true));

  // add_relu rounds the sum before the comparison: -0 + -0, inf - inf, an overflow, a
  // lost 2^-25, cancellation, a negative sum, NaN + 0, 0 + (-subnormal).
  const Floats a = {-0.0f, INF, 3e38f, 1.0f, -1.0f, 1.0f, from_bits(0x7FC00000), 0.0f};
  const Floats b = {-0.0f, -INF, 3e38f, 0x1.0p-25f, 1.0f, -2.0f, 0.0f, from_bits(0x80000001)};
  Floats y(a.size());
  k().add_relu(a.data(), b.data(), y.data(), a.size());
  const Floats sums = {0.0f, NAN, INF, 1.0f, 0.0f, 0.0f, NAN, 0.0f};
  EXPECT_TRUE(same_bits(y, sums, "add_relu"));
}

// ---- Against a plain double-precision computation --------------------------------------

double dbl(float f) { return static_cast<double>(f); }

// b + sum of w[i * w_stride] * x[i * x_stride] for i < n in double precision; `magnitude`
// receives the sum of the absolute terms, which scales the tolerance.
double dot(const float* w, std::size_t w_stride, const float* x, std::size_t x_stride,
           std::size_t n, float b, double& magnitude) {
  double sum = dbl(b);
  magnitude = std::abs(sum);
  for (std::size_t i = 0; i < n; ++i) {
    const double p = dbl(w[i * w_stride]) * dbl(x[i * x_stride]);
    sum += p;
    magnitude += std::abs(p);
  }
  return sum;
}

void expect_close(float got, double want, double magnitude, const std::string& what) {
  EXPECT_LE(std::abs(dbl(got) - want), 1e-6 * magnitude) << what << ": " << got << " vs " << want;
}

TEST_P(OpsVariant, KernelsAgreeWithDoublePrecision) {
  Inputs in(9);
  double mag = 0;
  for (int trial = 0; trial < 10; ++trial) {
    const std::string t = " trial " + std::to_string(trial);
    const std::size_t n = trial % 2 ? 16 : 64;  // n_out of pointwise_conv, n of layer_norm
    const Floats x = in.make(CHANNELS, Fill::Normal), w = in.make(n * CHANNELS, Fill::Normal);
    const Floats b = in.make(n, Fill::Normal);
    Floats y(n);
    k().pointwise_conv(x.data(), w.data(), b.data(), n, y.data());
    for (std::size_t o = 0; o < n; ++o) {
      const double want = dot(w.data() + o * CHANNELS, 1, x.data(), 1, CHANNELS, b[o], mag);
      expect_close(y[o], want, mag, "pointwise_conv" + t);
    }

    Floats xn = in.make(n, Fill::Normal);
    for (float& v : xn) v = 3.0f * v + 5.0f;  // an offset mean, as real activations have
    const Floats scale = in.make(n, Fill::Normal), shift = in.make(n, Fill::Normal);
    k().layer_norm(xn.data(), scale.data(), shift.data(), n, y.data());
    double mean = 0, var = 0;
    for (float v : xn) mean += dbl(v) / static_cast<double>(n);
    for (float v : xn) var += (dbl(v) - mean) * (dbl(v) - mean) / static_cast<double>(n);
    const double inv = 1.0 / std::sqrt(var + dbl(LAYER_NORM_EPS));
    for (std::size_t i = 0; i < n; ++i) {
      const double ti = (dbl(xn[i]) - mean) * inv;
      // The float mean and variance each carry a few roundings, which inv amplifies.
      expect_close(y[i], dbl(shift[i]) + ti * dbl(scale[i]),
                   10.0 * (std::abs(ti * dbl(scale[i])) + std::abs(dbl(shift[i])) + 1.0),
                   "layer_norm" + t);
    }

    const std::size_t d = DILATIONS[trial % 3], len = history_length(d);
    const Floats rows = in.make(CHANNELS * len, Fill::Normal);
    const Floats dw = in.make(CHANNELS * KERNEL_SIZE, Fill::Normal);
    const Floats db = in.make(CHANNELS, Fill::Normal);
    Floats dy(CHANNELS);
    depthwise_on_rows(k(), rows.data(), dw.data(), db.data(), d, dy.data());
    for (std::size_t ch = 0; ch < CHANNELS; ++ch) {
      // A causal convolution: tap k weighs the input 12 - k steps of d before the newest,
      // which is the last of the row.
      const float* oldest = rows.data() + ch * len + (len - 1) - 12 * d;
      const double want = dot(dw.data() + ch * KERNEL_SIZE, 1, oldest, d, KERNEL_SIZE, db[ch], mag);
      expect_close(dy[ch], want, mag, "depthwise_frames" + t);
    }

    const double want = dot(w.data(), 1, x.data(), 1, 16, b[0], mag);
    expect_close(dense_head(x.data(), w.data(), b.data()), want, mag, "dense_head" + t);
  }
}

INSTANTIATE_TEST_SUITE_P(AllBuilt, OpsVariant, ::testing::ValuesIn(built_variants()),
                         [](const ::testing::TestParamInfo<Variant>& param) {
                           return param.param.name;
                         });

}  // namespace
}  // namespace quelt::nn
