// File: nn/streaming.h
//
// The network run one 10 ms frame at a time. Each residual block keeps the recent inputs
// of its causal dilated depthwise convolution (StreamingState), so a frame costs one step
// of every layer and the network is never re-run over past frames. The frame embeddings
// go into a RollingPool of the last window_size frames, whose mean the head turns into a
// logit.
//
// The kernel variant is fixed when a StreamingState is built (common/cpu.h): network_step
// switches on it once per frame, and within the step every kernel call is direct.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cpu.h"
#include "nn/model.h"

namespace quelt::nn {

// The recent inputs of one block's depthwise convolution: conceptually 64 rows (one per
// channel) of 12·d + 1 values, oldest first, newest last, every frame moving each row one
// place towards its start and appending the new input.
//
// Stored frame-major instead, as a ring of 12·d + 1 frames of 64 values: a new frame
// overwrites the oldest one (one 256-byte copy, nothing moves), and tap k of every
// channel reads the frame 12·d - k·d frames old, which tap_frames() points to. The values
// are those of the moving rows, value for value (at() reads them in row terms), and the
// kernel over frames (depthwise_frames, nn/ops.h) computes what the row form computes on
// the rows, bit for bit.
class BlockHistory {
 public:
  BlockHistory() = default;
  explicit BlockHistory(std::size_t dilation);

  std::size_t row_length() const { return row_length_; }
  // Row c's value i (0 = oldest), as the row-moving description would hold it.
  float at(std::size_t c, std::size_t i) const { return frame(i)[c]; }
  // The 64 inputs of frame i of the history (0 = oldest, row_length() - 1 = newest).
  const float* frame(std::size_t i) const;
  // taps[k] = frame(k · dilation), for the 13 taps (tap 12 meets the newest frame).
  void tap_frames(const float* (&taps)[KERNEL_SIZE]) const;

  // Drops the oldest frame and appends x (64 values, one per channel).
  void push(const float* x);
  // All values to zero, as after construction.
  void clear();

 private:
  std::vector<float> frames_;  // row_length_ frames of CHANNELS values
  std::size_t dilation_ = 0;
  std::size_t row_length_ = 0;
  std::size_t newest_ = 0;  // slot of the newest frame; the oldest is the slot after it
};

// The network's memory between frames, sized at construction, and the kernel variant
// that steps it.
struct StreamingState {
  // `simd` must be available on this machine (simd_available).
  explicit StreamingState(Simd simd = best_simd());
  // Every history value to zero (sizes kept); the scratch vectors carry nothing.
  void clear();

  Simd simd;
  std::array<BlockHistory, N_BLOCKS> histories;
  // Scratch of one step. The current activation and the block output swap roles after
  // every block (the step swaps pointers to them; nothing is copied).
  alignas(64) std::array<float, CHANNELS> activation{};
  alignas(64) std::array<float, CHANNELS> block_output{};
  alignas(64) std::array<float, CHANNELS> depthwise_output{};
  alignas(64) std::array<float, CHANNELS> first_temporary{};
  alignas(64) std::array<float, CHANNELS> second_temporary{};
  alignas(64) std::array<float, BOTTLENECK_CHANNELS> bottleneck_output{};
};

using Features = std::span<const float, N_FEATURES>;
using Embedding = std::span<float, BOTTLENECK_CHANNELS>;

// Advances every layer by one frame with the state's kernel variant and overwrites
// `embedding` (each value >= 0 or NaN). `model` must have the architecture's sizes
// (build_model guarantees it). Every variant gives the same bits.
void network_step(const WakeWordModel& model, StreamingState& state, Features features,
                  Embedding embedding);

// The last window_size frame embeddings and their running sum.
struct RollingPool {
  // window_size >= 1 (the session checks it).
  explicit RollingPool(std::uint64_t window_size);
  // Ring and sum to zero, write_pos and count to 0.
  void clear();
  // Slot i of the ring (BOTTLENECK_CHANNELS values).
  std::span<const float, BOTTLENECK_CHANNELS> slot(std::uint64_t i) const;

  std::uint64_t window_size;
  std::vector<float> ring;  // window_size slots of BOTTLENECK_CHANNELS values
  std::array<float, BOTTLENECK_CHANNELS> sum{};
  std::array<float, BOTTLENECK_CHANNELS> mean{};  // pooled mean of the latest frame
  std::uint64_t write_pos = 0;                    // slot the next embedding overwrites
  std::uint64_t count = 0;                        // embeddings held, up to window_size
};

// Puts the embedding into the pool (evicting the oldest once full), updates the running
// sum and the mean, and returns the head's logit of the mean.
float pool_push(RollingPool& pool, std::span<const float, BOTTLENECK_CHANNELS> embedding,
                const WakeWordModel& model);

// The score of the pool's current mean, 0.5 exactly while it is empty. Read-only; equals
// the score of the latest pool_push bit for bit.
float pool_score(const RollingPool& pool, const WakeWordModel& model);

// 1 / (expf(-logit) + 1) in single precision.
float score_of_logit(float logit);

// Primes network and pool with silence: runs network_step window_size times on 64
// features of logf(log_floor) (the log-mel value of a silent frame) and fills every pool
// slot with the last embedding, which is left in `embedding`.
void warm_up(const WakeWordModel& model, StreamingState& state, RollingPool& pool,
             Embedding embedding, float log_floor);

// True when every array of `model` has the architecture's size; network_step and the
// pool read exactly that many values.
bool has_architecture_sizes(const WakeWordModel& model);

}  // namespace quelt::nn
