// File: tests/nn/streaming_test.cc
//
// The streaming forward pass against an independent computation: the same network run
// over a whole feature sequence at once in double precision (causal dilated convolutions
// with zero padding, layer norms, pooling with the warm-up's silence slots). Agreement
// over hundreds of frames shows that histories, dilations and tap order are right. Also:
// the sliding history equals plain row moving value for value; every kernel variant gives
// the portable embeddings and those of a step written out with the row form of the
// depthwise step on row-moved histories, bit for bit; the receptive field is exactly 241
// frames; and the pool's running sum, eviction, score and warm-up.
#include "nn/streaming.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "nn/ops.h"
#include "support/random_model.h"
#include "support/simd_variants.h"

namespace quelt::nn {
namespace {

using Frame = std::array<float, N_FEATURES>;
using Vec = std::vector<double>;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Equal bits, or both NaN (payloads may differ, see nn/ops.h).
bool same(float a, float b) { return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b); }

// Log-mel-like features: values in [-14, 2] with a slow drift, so that consecutive frames
// are related but not equal.
std::vector<Frame> random_features(std::size_t n, std::uint64_t seed) {
  testing::SplitMix64 rng(seed);
  std::vector<Frame> out(n);
  for (std::size_t t = 0; t < n; ++t) {
    const float drift = 3.0f * std::sin(static_cast<float>(t) * 0.05f);
    for (float& v : out[t]) v = -6.0f + drift + 8.0f * rng.uniform_pm1();
  }
  return out;
}

// ---- Whole-sequence reference in double precision -------------------------------------

Vec pointwise(const std::vector<float>& w, const std::vector<float>& b, const Vec& x) {
  Vec y(b.size());
  for (std::size_t o = 0; o < y.size(); ++o) {
    double acc = b[o];
    for (std::size_t i = 0; i < x.size(); ++i) acc += double{w[o * x.size() + i]} * x[i];
    y[o] = acc;
  }
  return y;
}

Vec layer_norm(const Vec& x, const std::vector<float>& scale, const std::vector<float>& shift) {
  double mean = 0, var = 0;
  for (const double v : x) mean += v;
  mean /= static_cast<double>(x.size());
  for (const double v : x) var += (v - mean) * (v - mean);
  var /= static_cast<double>(x.size());
  Vec y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    y[i] = (x[i] - mean) / std::sqrt(var + 1e-5) * double{scale[i]} + double{shift[i]};
  }
  return y;
}

void relu(Vec& x) {
  for (double& v : x) v = std::max(v, 0.0);
}

// Embeddings of every frame of `features`, the network applied to the whole sequence
// with zero inputs before its first frame.
std::vector<Vec> reference_embeddings(const WakeWordModel& m, const std::vector<Frame>& features) {
  const std::size_t T = features.size();
  std::vector<Vec> act(T);
  for (std::size_t t = 0; t < T; ++t) {
    act[t] = layer_norm(
        pointwise(m.stem_weight, m.stem_bias, Vec(features[t].begin(), features[t].end())),
        m.stem_ln_scale, m.stem_ln_shift);
    relu(act[t]);
  }
  for (std::size_t b = 0; b < N_BLOCKS; ++b) {
    const ResidualBlock& blk = m.blocks[b];
    const std::size_t D = BLOCK_DILATIONS[b];
    std::vector<Vec> next(T);
    for (std::size_t t = 0; t < T; ++t) {
      Vec dw(CHANNELS);
      for (std::size_t c = 0; c < CHANNELS; ++c) {
        double acc = blk.dw_bias[c];
        for (std::size_t k = 0; k < KERNEL_SIZE; ++k) {
          const std::size_t back = (KERNEL_SIZE - 1 - k) * D;  // tap k: (12 - k)·D frames ago
          if (back <= t) acc += double{blk.dw_weight[c * KERNEL_SIZE + k]} * act[t - back][c];
        }
        dw[c] = acc;
      }
      Vec h = layer_norm(dw, blk.ln1_scale, blk.ln1_shift);
      relu(h);
      h = layer_norm(pointwise(blk.pw_weight, blk.pw_bias, h), blk.ln2_scale, blk.ln2_shift);
      for (std::size_t c = 0; c < CHANNELS; ++c) h[c] += act[t][c];
      relu(h);
      next[t] = std::move(h);
    }
    act = std::move(next);
  }
  std::vector<Vec> emb(T);
  for (std::size_t t = 0; t < T; ++t) {
    emb[t] = layer_norm(pointwise(m.bottleneck_weight, m.bottleneck_bias, act[t]),
                        m.bottleneck_ln_scale, m.bottleneck_ln_shift);
    relu(emb[t]);
  }
  return emb;
}

double head(const WakeWordModel& m, const Vec& mean) {
  double logit = m.head_bias[0];
  for (std::size_t i = 0; i < BOTTLENECK_CHANNELS; ++i) logit += double{m.head_weight[i]} * mean[i];
  return logit;
}

// Logits of every real frame. With a warm start, `window` silence frames run first and
// the pool starts full of the last silence embedding; real frames replace those slots one
// per frame.
Vec reference_logits(const WakeWordModel& m, const std::vector<Frame>& features, std::size_t window,
                     bool warm_start) {
  std::vector<Frame> all;
  const std::size_t lead = warm_start ? window : 0;
  Frame silence;
  silence.fill(std::log(1e-6f));
  all.assign(lead, silence);
  all.insert(all.end(), features.begin(), features.end());
  const std::vector<Vec> emb = reference_embeddings(m, all);

  Vec logits;
  for (std::size_t t = 0; t < features.size(); ++t) {
    Vec sum(BOTTLENECK_CHANNELS, 0.0);
    const std::size_t first = t + 1 >= window ? t + 1 - window : 0;
    for (std::size_t j = first; j <= t; ++j) {
      for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) sum[k] += emb[lead + j][k];
    }
    std::size_t held = t - first + 1;
    if (warm_start && held < window) {
      for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) {
        sum[k] += static_cast<double>(window - held) * emb[lead - 1][k];
      }
      held = window;
    }
    for (double& v : sum) v /= static_cast<double>(held);
    logits.push_back(head(m, sum));
  }
  return logits;
}

// ---- Tests --------------------------------------------------------------------------------

TEST(BlockHistory, MatchesMovingRowsValueForValue) {
  for (const std::size_t d : {std::size_t{1}, std::size_t{2}, std::size_t{4}}) {
    const std::size_t len = history_length(d);
    BlockHistory h(d);
    ASSERT_EQ(h.row_length(), 12 * d + 1);
    std::vector<float> rows(CHANNELS * len, 0.0f);  // the plain description
    testing::SplitMix64 rng(d);
    // Enough frames to run out of slack several times.
    for (int frame = 0; frame < 700; ++frame) {
      if (frame == 400) {  // clear mid-way: back to zeros, same behaviour afterwards
        h.clear();
        std::fill(rows.begin(), rows.end(), 0.0f);
      }
      std::array<float, CHANNELS> x;
      for (float& v : x) v = rng.uniform_pm1();
      h.push(x.data());
      for (std::size_t c = 0; c < CHANNELS; ++c) {
        float* row = rows.data() + c * len;
        std::copy(row + 1, row + len, row);
        row[len - 1] = x[c];
      }
      for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(bits(h.at(i / len, i % len)), bits(rows[i])) << "d=" << d << " frame " << frame;
      }
    }
  }
}

// The key cross-check: the streaming network against the whole-sequence computation.
TEST(NetworkStep, AgreesWithWholeSequenceDoubleReference) {
  const WakeWordModel model = testing::random_model(21);
  const std::vector<Frame> features = random_features(600, 5);
  for (const bool warm : {true, false}) {
    const std::uint64_t window = 200;
    StreamingState state;
    RollingPool pool(window);
    std::array<float, BOTTLENECK_CHANNELS> emb{};
    if (warm) warm_up(model, state, pool, emb, 1e-6f);
    const Vec expected = reference_logits(model, features, window, warm);

    double max_err = 0, lo = 1e30, hi = -1e30;
    for (std::size_t t = 0; t < features.size(); ++t) {
      network_step(model, state, features[t], emb);
      const float logit = pool_push(pool, emb, model);
      max_err = std::max(max_err, std::fabs(double{logit} - expected[t]));
      lo = std::min(lo, expected[t]);
      hi = std::max(hi, expected[t]);
    }
    EXPECT_LT(max_err, 5e-5) << "warm_start " << warm;
    // The logits move enough for the comparison to mean something.
    EXPECT_GT(hi - lo, 0.1) << "warm_start " << warm;
  }
}

TEST(NetworkStep, EveryVariantMatchesPortableBitForBit) {
  const WakeWordModel model = testing::random_model(4);
  const std::vector<Frame> features = random_features(300, 9);
  for (const Simd simd : testing::available_simds()) {
    StreamingState a(simd), b(Simd::PORTABLE);
    std::array<float, BOTTLENECK_CHANNELS> ea{}, eb{};
    for (std::size_t t = 0; t < features.size(); ++t) {
      network_step(model, a, features[t], ea);
      network_step(model, b, features[t], eb);
      for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) {
        ASSERT_EQ(bits(ea[k]), bits(eb[k])) << simd_name(simd) << ", frame " << t;
      }
    }
  }
}

// One network step written out with the portable kernels and the row form of the
// depthwise step on row-moved histories: the form the frame-major step replaces.
struct RowStep {
  RowStep() {
    for (std::size_t b = 0; b < N_BLOCKS; ++b)
      rows[b].assign(CHANNELS * history_length(BLOCK_DILATIONS[b]), 0.0f);
  }
  void step(const WakeWordModel& m, const Frame& f, std::array<float, BOTTLENECK_CHANNELS>& e) {
    using P = PortableKernels;
    constexpr std::size_t C = CHANNELS;
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
      portable::depthwise_conv_step(rows[b].data(), blk.dw_weight.data(), blk.dw_bias.data(), d,
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

// The frame-major histories and the tap-major weights against row-moved histories and the
// model's own tensors, bit for bit (NaN payloads aside), across a switch to another model
// on the same state (the state holds no weights of its own) and a clear.
TEST(NetworkStep, MatchesTheRowFormAcrossAModelSwitch) {
  const WakeWordModel a = testing::random_model(31);
  const WakeWordModel b = testing::random_model(32);
  for (const Simd simd : testing::available_simds()) {
    testing::SplitMix64 rng(5);
    StreamingState state(simd);
    RowStep reference;
    for (int t = 0; t < 400; ++t) {
      const WakeWordModel& m = t < 250 ? a : b;
      Frame f;
      for (float& v : f) v = -13.8f + 10.0f * (rng.uniform_pm1() + 1.0f);
      std::array<float, BOTTLENECK_CHANNELS> got, want;
      network_step(m, state, f, got);
      reference.step(m, f, want);
      for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_TRUE(same(got[k], want[k])) << simd_name(simd) << ", frame " << t << " value " << k;
      }
      if (t == 320) {  // clear mid-way: both back to zero histories
        state.clear();
        reference = RowStep();
      }
    }
  }
}

// An embedding depends on the current frame and the 240 before it, no more: two states
// with different pasts agree from the 241st common frame on, and not before.
TEST(NetworkStep, ReceptiveFieldIs241Frames) {
  const WakeWordModel model = testing::random_model(8);
  const std::vector<Frame> common = random_features(260, 1);
  const std::vector<Frame> past = random_features(150, 2);
  StreamingState fresh, used, cleared;
  std::array<float, BOTTLENECK_CHANNELS> e_fresh{}, e_used{}, e_cleared{};
  for (const Frame& f : past) {
    network_step(model, used, f, e_used);
    network_step(model, cleared, f, e_cleared);
  }
  cleared.clear();
  for (std::size_t t = 0; t < common.size(); ++t) {
    network_step(model, fresh, common[t], e_fresh);
    network_step(model, used, common[t], e_used);
    network_step(model, cleared, common[t], e_cleared);
    // A cleared state is a fresh one.
    for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) {
      ASSERT_EQ(bits(e_fresh[k]), bits(e_cleared[k])) << "frame " << t;
    }
    bool same = true;
    for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k)
      same &= bits(e_fresh[k]) == bits(e_used[k]);
    EXPECT_EQ(same, t >= 240) << "frame " << t;
  }
}

TEST(RollingPool, EmptyFirstAndFullBehaviour) {
  const WakeWordModel model = testing::random_model(2);
  RollingPool pool(7);
  EXPECT_EQ(bits(pool_score(pool, model)), bits(0.5f));

  testing::SplitMix64 rng(3);
  std::vector<std::array<float, BOTTLENECK_CHANNELS>> pushed;
  for (int frame = 0; frame < 40; ++frame) {
    std::array<float, BOTTLENECK_CHANNELS> e;
    for (float& v : e) v = std::fabs(rng.uniform_pm1());
    pushed.push_back(e);
    const float logit = pool_push(pool, e, model);
    // The score read afterwards is the frame's own score, bit for bit.
    EXPECT_EQ(bits(pool_score(pool, model)), bits(score_of_logit(logit)));
    if (frame == 0) {
      // One embedding: the mean is that embedding exactly.
      EXPECT_EQ(bits(logit),
                bits(dense_head(e.data(), model.head_weight.data(), model.head_bias.data())));
    }
    EXPECT_EQ(pool.count, std::min<std::uint64_t>(frame + 1, 7));
    EXPECT_EQ(pool.write_pos, static_cast<std::uint64_t>(frame + 1) % 7);
    // The running sum stays the sum of the last seven embeddings.
    for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) {
      double exact = 0;
      for (std::size_t j = pushed.size() >= 7 ? pushed.size() - 7 : 0; j < pushed.size(); ++j) {
        exact += double{pushed[j][k]};
      }
      EXPECT_NEAR(pool.sum[k], exact, 1e-5) << "frame " << frame;
      EXPECT_EQ(bits(pool.mean[k]), bits(pool.sum[k] / static_cast<float>(pool.count)));
    }
  }
  pool.clear();
  EXPECT_EQ(pool.count, 0u);
  EXPECT_EQ(pool.write_pos, 0u);
  EXPECT_EQ(bits(pool_score(pool, model)), bits(0.5f));
}

TEST(RollingPool, WarmUpPrimesNetworkAndPoolWithSilence) {
  EXPECT_EQ(bits(std::log(1e-6f)), bits(-13.815510749816895f));
  const WakeWordModel model = testing::random_model(12);
  const std::uint64_t window = 30;

  StreamingState warmed, manual;
  RollingPool pool(window);
  std::array<float, BOTTLENECK_CHANNELS> e_warm{}, e_manual{};
  warm_up(model, warmed, pool, e_warm, 1e-6f);
  Frame silence;
  silence.fill(-13.815510749816895f);
  for (std::uint64_t i = 0; i < window; ++i) network_step(model, manual, silence, e_manual);
  EXPECT_EQ(std::memcmp(e_warm.data(), e_manual.data(), sizeof e_warm), 0);

  EXPECT_EQ(pool.count, window);
  EXPECT_EQ(pool.write_pos, 0u);
  for (std::uint64_t i = 0; i < window; ++i) {
    EXPECT_EQ(std::memcmp(pool.slot(i).data(), e_warm.data(), sizeof e_warm), 0) << i;
  }
  for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) {
    EXPECT_EQ(bits(pool.sum[k]), bits(e_warm[k] * static_cast<float>(window)));
  }
  // The next real frame evicts slot 0, one of the silence copies.
  const std::vector<Frame> f = random_features(1, 4);
  network_step(model, warmed, f[0], e_warm);
  network_step(model, manual, f[0], e_manual);
  EXPECT_EQ(std::memcmp(e_warm.data(), e_manual.data(), sizeof e_warm), 0);
  pool_push(pool, e_warm, model);
  EXPECT_EQ(pool.count, window);
  EXPECT_EQ(pool.write_pos, 1u);
}

TEST(ScoreOfLogit, SigmoidInSinglePrecision) {
  EXPECT_EQ(bits(score_of_logit(0.0f)), bits(0.5f));
  EXPECT_EQ(bits(score_of_logit(-200.0f)), bits(0.0f));  // expf overflows to inf
  EXPECT_EQ(bits(score_of_logit(200.0f)), bits(1.0f));
  EXPECT_TRUE(std::isnan(score_of_logit(std::nanf(""))));
  EXPECT_EQ(bits(score_of_logit(2.0f)), bits(1.0f / (std::exp(-2.0f) + 1.0f)));
}

TEST(Model, ArchitectureSizeCheck) {
  WakeWordModel model = testing::random_model(1);
  EXPECT_TRUE(has_architecture_sizes(model));
  model.blocks[6].pw_bias.pop_back();
  EXPECT_FALSE(has_architecture_sizes(model));
  EXPECT_FALSE(has_architecture_sizes(WakeWordModel{}));
}

}  // namespace
}  // namespace quelt::nn
