// File: nn/streaming.cc
//
// The incremental forward pass (stem, eight residual blocks, bottleneck), the rolling
// pool with its running sum, the score, and the warm-up on silence.
#include "nn/streaming.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/check.h"
#include "nn/ops.h"

namespace quelt::nn {

BlockHistory::BlockHistory(std::size_t dilation)
    : frames_(history_length(dilation) * CHANNELS, 0.0f),
      dilation_(dilation),
      row_length_(history_length(dilation)),
      newest_(history_length(dilation) - 1) {}

const float* BlockHistory::frame(std::size_t i) const {
  std::size_t slot = newest_ + 1 + i;  // the oldest frame sits in the slot after the newest
  if (slot >= row_length_) slot -= row_length_;
  return frames_.data() + slot * CHANNELS;
}

void BlockHistory::tap_frames(const float* (&taps)[KERNEL_SIZE]) const {
  for (std::size_t k = 0; k < KERNEL_SIZE; ++k) taps[k] = frame(k * dilation_);
}

void BlockHistory::push(const float* x) {
  // The new frame takes the oldest frame's slot; every row moves by one at once.
  newest_ = newest_ + 1 == row_length_ ? 0 : newest_ + 1;
  std::copy(x, x + CHANNELS, frames_.begin() + static_cast<std::ptrdiff_t>(newest_ * CHANNELS));
}

void BlockHistory::clear() {
  std::fill(frames_.begin(), frames_.end(), 0.0f);
  newest_ = row_length_ - 1;
}

StreamingState::StreamingState(Simd simd_variant) : simd(simd_variant) {
  QWW_CHECK(simd_available(simd), "kernel variant not available on this machine");
  for (std::size_t b = 0; b < N_BLOCKS; ++b) histories[b] = BlockHistory(BLOCK_DILATIONS[b]);
}

void StreamingState::clear() {
  for (BlockHistory& h : histories) h.clear();
}

namespace {

template <typename K>
void step_with(const WakeWordModel& model, StreamingState& state, Features features,
               Embedding embedding) {
  float* current = state.activation.data();
  float* block_output = state.block_output.data();
  float* first = state.first_temporary.data();
  float* second = state.second_temporary.data();
  float* depthwise = state.depthwise_output.data();

  // Stem: 1x1 convolution, layer norm, ReLU.
  K::pointwise_conv(features.data(), model.stem_weight.data(), model.stem_bias.data(), CHANNELS,
                    current);
  K::layer_norm(current, model.stem_ln_scale.data(), model.stem_ln_shift.data(), CHANNELS, first);
  K::relu_in_place(first, CHANNELS);
  std::swap(current, first);

  for (std::size_t b = 0; b < N_BLOCKS; ++b) {
    const ResidualBlock& block = model.blocks[b];
    BlockHistory& history = state.histories[b];
    history.push(current);
    const float* taps[KERNEL_SIZE];
    history.tap_frames(taps);
    K::depthwise_frames(taps, block.dw_weight_by_tap.data(), block.dw_bias.data(), depthwise);
    K::layer_norm(depthwise, block.ln1_scale.data(), block.ln1_shift.data(), CHANNELS, first);
    K::relu_in_place(first, CHANNELS);
    K::pointwise_conv(first, block.pw_weight.data(), block.pw_bias.data(), CHANNELS, second);
    K::layer_norm(second, block.ln2_scale.data(), block.ln2_shift.data(), CHANNELS, first);
    K::add_relu(first, current, block_output, CHANNELS);
    std::swap(current, block_output);
  }

  float* bottleneck = state.bottleneck_output.data();
  K::pointwise_conv(current, model.bottleneck_weight.data(), model.bottleneck_bias.data(),
                    BOTTLENECK_CHANNELS, bottleneck);
  K::layer_norm(bottleneck, model.bottleneck_ln_scale.data(), model.bottleneck_ln_shift.data(),
                BOTTLENECK_CHANNELS, embedding.data());
  K::relu_in_place(embedding.data(), BOTTLENECK_CHANNELS);
}

}  // namespace

void network_step(const WakeWordModel& model, StreamingState& state, Features features,
                  Embedding embedding) {
  switch (state.simd) {
#if defined(__aarch64__)
    case Simd::NEON:
      return step_with<NeonKernels>(model, state, features, embedding);
#endif
#if defined(__x86_64__)
    case Simd::AVX2:
      return step_with<Avx2Kernels>(model, state, features, embedding);
#endif
    default:
      return step_with<PortableKernels>(model, state, features, embedding);
  }
}

RollingPool::RollingPool(std::uint64_t size)
    : window_size(size), ring(static_cast<std::size_t>(size) * BOTTLENECK_CHANNELS, 0.0f) {}

void RollingPool::clear() {
  std::fill(ring.begin(), ring.end(), 0.0f);
  sum.fill(0.0f);
  write_pos = 0;
  count = 0;
}

std::span<const float, BOTTLENECK_CHANNELS> RollingPool::slot(std::uint64_t i) const {
  return std::span<const float, BOTTLENECK_CHANNELS>(
      ring.data() + static_cast<std::size_t>(i) * BOTTLENECK_CHANNELS, BOTTLENECK_CHANNELS);
}

namespace {

// mean[k] = sum[k] / count, one true division per value.
void pooled_mean(const RollingPool& pool, float* mean) {
  const auto n = static_cast<float>(pool.count);
  for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) mean[k] = pool.sum[k] / n;
}

}  // namespace

float pool_push(RollingPool& pool, std::span<const float, BOTTLENECK_CHANNELS> embedding,
                const WakeWordModel& model) {
  float* slot = pool.ring.data() + static_cast<std::size_t>(pool.write_pos) * BOTTLENECK_CHANNELS;
  if (pool.count == pool.window_size) {
    // Full: the slot about to be overwritten holds the oldest embedding.
    for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) pool.sum[k] = pool.sum[k] - slot[k];
  } else {
    ++pool.count;
  }
  for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) {
    slot[k] = embedding[k];
    pool.sum[k] = embedding[k] + pool.sum[k];
  }
  pool.write_pos = (pool.write_pos + 1) % pool.window_size;
  pooled_mean(pool, pool.mean.data());
  return dense_head(pool.mean.data(), model.head_weight.data(), model.head_bias.data());
}

float pool_score(const RollingPool& pool, const WakeWordModel& model) {
  if (pool.count == 0) return 0.5f;
  std::array<float, BOTTLENECK_CHANNELS> mean;
  pooled_mean(pool, mean.data());
  return score_of_logit(dense_head(mean.data(), model.head_weight.data(), model.head_bias.data()));
}

float score_of_logit(float logit) { return 1.0f / (std::exp(-logit) + 1.0f); }

void warm_up(const WakeWordModel& model, StreamingState& state, RollingPool& pool,
             Embedding embedding, float log_floor) {
  std::array<float, N_FEATURES> silence;
  silence.fill(std::log(log_floor));
  for (std::uint64_t i = 0; i < pool.window_size; ++i) {
    network_step(model, state, silence, embedding);
  }
  for (std::uint64_t i = 0; i < pool.window_size; ++i) {
    std::copy(embedding.begin(), embedding.end(),
              pool.ring.begin() + static_cast<std::ptrdiff_t>(i * BOTTLENECK_CHANNELS));
  }
  const auto n = static_cast<float>(pool.window_size);
  for (std::size_t k = 0; k < BOTTLENECK_CHANNELS; ++k) pool.sum[k] = embedding[k] * n;
  pool.write_pos = 0;
  pool.count = pool.window_size;
}

bool has_architecture_sizes(const WakeWordModel& m) {
  const std::size_t C = CHANNELS, B = BOTTLENECK_CHANNELS;
  bool ok = m.stem_weight.size() == C * N_FEATURES && m.stem_bias.size() == C &&
            m.stem_ln_scale.size() == C && m.stem_ln_shift.size() == C &&
            m.bottleneck_weight.size() == B * C && m.bottleneck_bias.size() == B &&
            m.bottleneck_ln_scale.size() == B && m.bottleneck_ln_shift.size() == B &&
            m.head_weight.size() == B * HEAD_OUTPUTS && m.head_bias.size() == HEAD_OUTPUTS;
  for (const ResidualBlock& b : m.blocks) {
    ok = ok && b.dw_weight.size() == C * KERNEL_SIZE &&
         b.dw_weight_by_tap.size() == KERNEL_SIZE * C && b.dw_bias.size() == C &&
         b.ln1_scale.size() == C && b.ln1_shift.size() == C && b.pw_weight.size() == C * C &&
         b.pw_bias.size() == C && b.ln2_scale.size() == C && b.ln2_shift.size() == C;
  }
  return ok;
}

}  // namespace quelt::nn
