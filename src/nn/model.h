// File: nn/model.h
//
// The weights of the one network the engine runs. The architecture (widths, block count,
// kernel length, dilations) is fixed as constants in nn/architecture.h; an artefact
// supplies only the 74 weight tensors, which build_model looks up by name, checks against
// the architecture's shapes and converts to 32-bit floats. The finished WakeWordModel is
// read-only: the session takes it over and never writes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "format/artefact.h"
#include "format/errors.h"
#include "nn/architecture.h"

namespace quelt::nn {

// Tensors an artefact must hold: 4 stem, 8 per block, 4 bottleneck, 2 head.
inline constexpr std::size_t N_TENSORS = 4 + 8 * N_BLOCKS + 4 + 2;

// Weights of one residual block, each a flat row-major array of its tensor's shape.
struct ResidualBlock {
  std::vector<float> dw_weight;  // [64, 1, 13]: taps of channel c at c·13, tap 0 first
  std::vector<float> dw_bias;    // [64]
  std::vector<float> ln1_scale;  // [64]
  std::vector<float> ln1_shift;  // [64]
  std::vector<float> pw_weight;  // [64, 64, 1]: inputs of output o at o·64
  std::vector<float> pw_bias;    // [64]
  std::vector<float> ln2_scale;  // [64]
  std::vector<float> ln2_shift;  // [64]
  // Not a tensor of its own: dw_weight tap-major (tap k of channel c at k·64 + c), the
  // layout the depthwise kernel over frames reads. build_model lays it out once, so that
  // every session of the model reads it as it is.
  std::vector<float> dw_weight_by_tap;  // [13, 64]
};

// The network's weights as 32-bit floats. A block's dilation is not stored: it is
// BLOCK_DILATIONS at the block's position.
struct WakeWordModel {
  std::vector<float> stem_weight;  // [64, 64, 1]
  std::vector<float> stem_bias;    // [64]
  std::vector<float> stem_ln_scale;
  std::vector<float> stem_ln_shift;
  std::array<ResidualBlock, N_BLOCKS> blocks;
  std::vector<float> bottleneck_weight;  // [16, 64, 1]
  std::vector<float> bottleneck_bias;    // [16]
  std::vector<float> bottleneck_ln_scale;
  std::vector<float> bottleneck_ln_shift;
  std::vector<float> head_weight;  // [1, 16]
  std::vector<float> head_bias;    // [1]
};

// One tensor the build requests: its full name and the shape it must have.
struct TensorSpec {
  std::string name;
  std::vector<std::uint64_t> shape;
};

// The N_TENSORS tensors in the order in which build_model requests them. Tools and tests
// that write artefacts of this architecture use it too.
std::vector<TensorSpec> required_tensors();

// Exact IEEE 754 binary16 -> binary32 widening: subnormal halves become normal floats,
// infinities stay infinite and a NaN keeps its payload (moved up by 13 bits).
float fp16_to_fp32(std::uint16_t half);

// Looks `name` up (byte for byte), checks its shape and widens its elements to floats.
// MissingTensor or ShapeMismatch; FormatTensorSizeMismatch if a table that did not come
// from the artefact reader holds the wrong number of bytes for the shape.
Result<std::vector<float>, format::CoreError> load_tensor(
    const format::TensorMap& tensors, std::string_view name,
    std::span<const std::uint64_t> expected_shape);

// Loads every tensor of the architecture in request order; the first failure ends the
// build (nothing after it is looked at) and comes back as Core(that error). Tensors the
// build does not ask for are ignored. The table is not changed.
Result<WakeWordModel, format::WakeWordError> build_model(const format::TensorMap& tensors);

}  // namespace quelt::nn
