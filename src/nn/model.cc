// File: nn/model.cc
//
// The model build: tensor names and shapes of the fixed architecture, the fp32/fp16
// element decoding, and the assembly of a WakeWordModel in request order.
#include "nn/model.h"

#include <algorithm>
#include <bit>
#include <string>
#include <utility>

#include "nn/ops.h"

namespace quelt::nn {
namespace {

using format::CoreError;
namespace errors = format::errors;

constexpr std::uint64_t C = CHANNELS;
constexpr std::uint64_t B = BOTTLENECK_CHANNELS;

// Suffixes of a block's tensors, in request order (the order of ResidualBlock's fields).
constexpr std::array<std::string_view, 8> BLOCK_SUFFIXES = {
    "dw_conv.conv.weight", "dw_conv.conv.bias", "ln1.ln.weight", "ln1.ln.bias",
    "pw_conv.weight",      "pw_conv.bias",      "ln2.ln.weight", "ln2.ln.bias"};

// The model's arrays in the order in which required_tensors() names them.
std::array<std::vector<float>*, N_TENSORS> fields_in_request_order(WakeWordModel& m) {
  std::array<std::vector<float>*, N_TENSORS> f{};
  std::size_t i = 0;
  f[i++] = &m.stem_weight;
  f[i++] = &m.stem_bias;
  f[i++] = &m.stem_ln_scale;
  f[i++] = &m.stem_ln_shift;
  for (ResidualBlock& b : m.blocks) {
    f[i++] = &b.dw_weight;
    f[i++] = &b.dw_bias;
    f[i++] = &b.ln1_scale;
    f[i++] = &b.ln1_shift;
    f[i++] = &b.pw_weight;
    f[i++] = &b.pw_bias;
    f[i++] = &b.ln2_scale;
    f[i++] = &b.ln2_shift;
  }
  f[i++] = &m.bottleneck_weight;
  f[i++] = &m.bottleneck_bias;
  f[i++] = &m.bottleneck_ln_scale;
  f[i++] = &m.bottleneck_ln_shift;
  f[i++] = &m.head_weight;
  f[i++] = &m.head_bias;
  return f;
}

std::uint16_t read_u16_le(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t read_u32_le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::vector<TensorSpec> required_tensors() {
  std::vector<TensorSpec> specs;
  specs.reserve(N_TENSORS);
  specs.push_back({"stem_conv.weight", {C, N_FEATURES, 1}});
  specs.push_back({"stem_conv.bias", {C}});
  specs.push_back({"stem_ln.ln.weight", {C}});
  specs.push_back({"stem_ln.ln.bias", {C}});
  for (std::size_t i = 0; i < N_BLOCKS; ++i) {
    const std::string prefix = "blocks." + std::to_string(i) + ".";
    const std::array<std::vector<std::uint64_t>, 8> shapes = {
        std::vector<std::uint64_t>{C, 1, KERNEL_SIZE}, {C}, {C}, {C}, {C, C, 1}, {C}, {C}, {C}};
    for (std::size_t s = 0; s < BLOCK_SUFFIXES.size(); ++s) {
      specs.push_back({prefix + std::string(BLOCK_SUFFIXES[s]), shapes[s]});
    }
  }
  specs.push_back({"bottleneck_conv.weight", {B, C, 1}});
  specs.push_back({"bottleneck_conv.bias", {B}});
  specs.push_back({"bottleneck_ln.ln.weight", {B}});
  specs.push_back({"bottleneck_ln.ln.bias", {B}});
  specs.push_back({"head.weight", {HEAD_OUTPUTS, B}});
  specs.push_back({"head.bias", {HEAD_OUTPUTS}});
  return specs;
}

float fp16_to_fp32(std::uint16_t half) {
  const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
  const std::uint32_t exponent = (half >> 10) & 0x1Fu;
  std::uint32_t fraction = half & 0x3FFu;
  std::uint32_t bits;
  if (exponent == 0x1F) {
    // Infinity or NaN: all-ones exponent, the fraction (NaN payload) moved up unchanged.
    bits = sign | 0x7F800000u | (fraction << 13);
  } else if (exponent != 0) {
    // Normal: re-bias the exponent from 15 to 127 (adding 112 << 23 = 0x38000000).
    bits = sign | ((static_cast<std::uint32_t>(half & 0x7FFFu) << 13) + 0x38000000u);
  } else if (fraction == 0) {
    bits = sign;  // signed zero
  } else {
    // Subnormal half, fraction x 2^-24: normalise until the implicit bit (bit 10) is set.
    // Each shift lowers the binary32 exponent by one from 113 (= 127 - 14).
    std::uint32_t exp32 = 113;
    while ((fraction & 0x400u) == 0) {
      fraction <<= 1;
      --exp32;
    }
    bits = sign | (exp32 << 23) | ((fraction & 0x3FFu) << 13);
  }
  return std::bit_cast<float>(bits);
}

Result<std::vector<float>, CoreError> load_tensor(const format::TensorMap& tensors,
                                                  std::string_view name,
                                                  std::span<const std::uint64_t> expected_shape) {
  const auto it = tensors.find(std::string(name));
  if (it == tensors.end()) {
    return Unexpected{CoreError{errors::MissingTensor{std::string(name)}}};
  }
  const format::RawTensor& raw = it->second;
  if (!std::equal(raw.shape.begin(), raw.shape.end(), expected_shape.begin(),
                  expected_shape.end())) {
    return Unexpected{CoreError{errors::ShapeMismatch{
        std::string(name), raw.shape,
        std::vector<std::uint64_t>(expected_shape.begin(), expected_shape.end())}}};
  }
  // The expected shapes are small constants, so their element count cannot overflow.
  std::uint64_t count = 1;
  for (const std::uint64_t d : expected_shape) count *= d;
  const std::uint64_t element_size = raw.dtype == format::TensorDtype::Fp32 ? 4 : 2;
  // The artefact reader guarantees this; a hand-built table might not, and reading past
  // the bytes would be far worse than refusing.
  if (raw.data.size() != count * element_size) {
    return Unexpected{CoreError{errors::FormatTensorSizeMismatch{std::string(name), raw.data.size(),
                                                                 count * element_size}}};
  }

  std::vector<float> values(count);
  const std::uint8_t* p = raw.data.data();
  if (raw.dtype == format::TensorDtype::Fp32) {
    for (float& v : values) {
      v = std::bit_cast<float>(read_u32_le(p));
      p += 4;
    }
  } else {
    for (float& v : values) {
      v = fp16_to_fp32(read_u16_le(p));
      p += 2;
    }
  }
  return values;
}

Result<WakeWordModel, format::WakeWordError> build_model(const format::TensorMap& tensors) {
  WakeWordModel model;
  const std::vector<TensorSpec> specs = required_tensors();
  const auto fields = fields_in_request_order(model);
  for (std::size_t i = 0; i < N_TENSORS; ++i) {
    auto loaded = load_tensor(tensors, specs[i].name, specs[i].shape);
    // Returning drops `model` and with it every tensor converted so far.
    if (!loaded.has_value()) return Unexpected{format::WakeWordError{std::move(loaded).error()}};
    *fields[i] = std::move(loaded).value();
  }
  for (ResidualBlock& block : model.blocks) {
    block.dw_weight_by_tap.resize(KERNEL_SIZE * CHANNELS);
    transpose_depthwise_weights(block.dw_weight.data(), block.dw_weight_by_tap.data());
  }
  return model;
}

}  // namespace quelt::nn
