// File: nn/architecture.h
//
// The one network the engine runs, as constants: widths, block count, kernel length and
// dilations. The kernels (nn/ops.h) and the model and its streaming pass share them; an
// artefact supplies only the weights.
#pragma once

#include <array>
#include <cstddef>

namespace quelt::nn {

// Log-mel features per 10 ms frame (the frontend's n_mels).
inline constexpr std::size_t N_FEATURES = 64;
// Width of the stem and of every residual block.
inline constexpr std::size_t CHANNELS = 64;
inline constexpr std::size_t N_BLOCKS = 8;
// Taps of every depthwise convolution.
inline constexpr std::size_t KERNEL_SIZE = 13;
// Dilation of block 0 ... block 7.
inline constexpr std::array<std::size_t, N_BLOCKS> BLOCK_DILATIONS = {1, 2, 4, 4, 4, 2, 2, 1};
// Width of the bottleneck, and so of the frame embedding.
inline constexpr std::size_t BOTTLENECK_CHANNELS = 16;
// The head yields one logit.
inline constexpr std::size_t HEAD_OUTPUTS = 1;

// Every pointwise convolution (stem, blocks, bottleneck) has CHANNELS inputs.
static_assert(N_FEATURES == CHANNELS);

// Inputs that the depthwise convolution of a block with dilation d keeps per channel: the
// current one and the 12·d before it (tap 0 meets the oldest).
constexpr std::size_t history_length(std::size_t dilation) {
  return (KERNEL_SIZE - 1) * dilation + 1;
}

}  // namespace quelt::nn
