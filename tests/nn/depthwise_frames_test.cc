// File: nn/depthwise_frames_test.cc
//
// The frame-major histories and their depthwise kernel against the row form they replace:
//   - every variant of depthwise_frames gives what depthwise_conv_step gives on the same
//     inputs laid out as moving rows, bit for bit, for each dilation, on ordinary and on
//     adversarial values (infinities, -0.0, subnormals, huge products, NaN);
//   - the whole network step equals a step written out from the row kernels of nn/ops.h
//     on row-moved histories, bit for bit, over hundreds of frames and across a switch to
//     another model on the same state (the state holds no weights of its own).
#include "nn/depthwise_frames.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "nn/streaming.h"
#include "support/random_model.h"

namespace quelt::nn {
namespace {

constexpr std::size_t C = CHANNELS;
constexpr std::size_t K = KERNEL_SIZE;

using FramesFn = void (*)(const float* const*, const float*, const float*, float*);

std::vector<std::pair<const char*, FramesFn>> variants() {
  std::vector<std::pair<const char*, FramesFn>> v = {{"portable", &portable::depthwise_frames}};
#if defined(__aarch64__)
  v.emplace_back("neon", &neon::depthwise_frames);
#endif
#if defined(__x86_64__)
  if (avx2_fma_supported()) v.emplace_back("avx2", &avx2::depthwise_frames);
#endif
  return v;
}

// Equal bits, or both NaN (payloads may differ, see nn/ops.h).
bool same(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

float pick(testing::SplitMix64& rng, bool adversarial) {
  if (!adversarial) return rng.uniform_pm1() * 4.0f;
  static constexpr float SPECIAL[] = {0.0f,
                                      -0.0f,
                                      std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::denorm_min(),
                                      1e-30f,
                                      3e38f,
                                      -3e38f,
                                      1.0f,
                                      -1.0f};
  const std::uint64_t r = rng.next() % 24;
  if (r < std::size(SPECIAL)) return SPECIAL[r];
  if (r == 23 && rng.next() % 8 == 0) return std::numeric_limits<float>::quiet_NaN();
  return rng.uniform_pm1() * 1e3f;
}

TEST(DepthwiseFrames, EveryVariantMatchesTheRowKernel) {
  for (const bool adversarial : {false, true}) {
    for (const std::size_t d : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
      const std::size_t len = history_length(d);
      testing::SplitMix64 rng(d * 10 + adversarial);
      for (int trial = 0; trial < 50; ++trial) {
        std::vector<float> frames(len * C), w(C * K), b(C);
        for (float& v : frames) v = pick(rng, adversarial);
        for (float& v : w) v = pick(rng, adversarial);
        for (float& v : b) v = pick(rng, adversarial);
        // Row c, value i = frame i, channel c: the layout depthwise_conv_step reads.
        std::vector<float> rows(C * len);
        for (std::size_t c = 0; c < C; ++c) {
          for (std::size_t i = 0; i < len; ++i) rows[c * len + i] = frames[i * C + c];
        }
        std::vector<float> want(C);
        portable::depthwise_conv_step(rows.data(), w.data(), b.data(), d, want.data());

        std::vector<float> w_by_tap(K * C);
        transpose_depthwise_weights(w.data(), w_by_tap.data());
        const float* taps[K];
        for (std::size_t k = 0; k < K; ++k) taps[k] = frames.data() + k * d * C;
        for (const auto& [name, fn] : variants()) {
          std::vector<float> got(C, 42.0f);
          fn(taps, w_by_tap.data(), b.data(), got.data());
          for (std::size_t c = 0; c < C; ++c) {
            ASSERT_TRUE(same(got[c], want[c]))
                << name << " d=" << d << " trial " << trial << " channel " << c << ": " << got[c]
                << " vs " << want[c];
          }
        }
      }
    }
  }
}

// One network step written out with the row kernels on row-moved histories: the form the
// frame-major step replaces.
struct RowStep {
  RowStep() {
    for (std::size_t b = 0; b < N_BLOCKS; ++b)
      rows[b].assign(C * history_length(BLOCK_DILATIONS[b]), 0.0f);
  }
  void step(const WakeWordModel& m, const std::array<float, N_FEATURES>& f,
            std::array<float, BOTTLENECK_CHANNELS>& e) {
    using P = PortableKernels;
    std::array<float, C> cur, out, t1, t2, dw;
    P::pointwise_conv(f.data(), m.stem_weight.data(), m.stem_bias.data(), C, t2.data());
    P::layer_norm(t2.data(), m.stem_ln_scale.data(), m.stem_ln_shift.data(), C, cur.data());
    P::relu_in_place(cur.data(), C);
    for (std::size_t b = 0; b < N_BLOCKS; ++b) {
      const ResidualBlock& blk = m.blocks[b];
      const std::size_t d = BLOCK_DILATIONS[b], len = history_length(d);
      for (std::size_t c = 0; c < C; ++c) {
        float* row = rows[b].data() + c * len;
        std::copy(row + 1, row + len, row);
        row[len - 1] = cur[c];
      }
      P::depthwise_conv_step(rows[b].data(), blk.dw_weight.data(), blk.dw_bias.data(), d,
                             dw.data());
      P::layer_norm(dw.data(), blk.ln1_scale.data(), blk.ln1_shift.data(), C, t1.data());
      P::relu_in_place(t1.data(), C);
      P::pointwise_conv(t1.data(), blk.pw_weight.data(), blk.pw_bias.data(), C, t2.data());
      P::layer_norm(t2.data(), blk.ln2_scale.data(), blk.ln2_shift.data(), C, t1.data());
      P::add_relu(t1.data(), cur.data(), out.data(), C);
      cur = out;
    }
    std::array<float, BOTTLENECK_CHANNELS> bn;
    P::pointwise_conv(cur.data(), m.bottleneck_weight.data(), m.bottleneck_bias.data(),
                      BOTTLENECK_CHANNELS, bn.data());
    P::layer_norm(bn.data(), m.bottleneck_ln_scale.data(), m.bottleneck_ln_shift.data(),
                  BOTTLENECK_CHANNELS, e.data());
    P::relu_in_place(e.data(), BOTTLENECK_CHANNELS);
  }
  std::array<std::vector<float>, N_BLOCKS> rows;
};

TEST(DepthwiseFrames, NetworkStepMatchesRowFormAcrossAModelSwitch) {
  const WakeWordModel a = testing::random_model(31);
  const WakeWordModel b = testing::random_model(32);
  testing::SplitMix64 rng(5);
  std::vector<NetworkStepFn> steps = {select_network_step(), &network_step<PortableKernels>};
  for (const NetworkStepFn step : steps) {
    StreamingState state;
    RowStep reference;
    for (int t = 0; t < 400; ++t) {
      // Model a first, then b on the same state: the histories carry over, the weights
      // must not.
      const WakeWordModel& m = t < 250 ? a : b;
      std::array<float, N_FEATURES> f;
      for (float& v : f) v = -13.8f + 10.0f * (rng.uniform_pm1() + 1.0f);
      std::array<float, BOTTLENECK_CHANNELS> got, want;
      step(m, state, f, got);
      reference.step(m, f, want);
      for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_TRUE(same(got[k], want[k])) << "frame " << t << " value " << k;
      }
      if (t == 320) {  // clear mid-way: both back to zero histories
        state.clear();
        reference = RowStep();
      }
    }
  }
}

}  // namespace
}  // namespace quelt::nn
