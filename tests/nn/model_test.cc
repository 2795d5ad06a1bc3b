// File: tests/nn/model_test.cc
//
// The model build: exact fp16 widening (checked against a double-precision evaluation of
// every finite half), tensor lookup and shape checks, the first-error rule of the build,
// the tap-major copy of the depthwise weights, and that fp16 and fp32 storage of the same
// values give the same model bit for bit.
#include "nn/model.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_arrays.h"
#include "support/random_model.h"

namespace quelt::nn {
namespace {

using format::TensorDtype;
using format::TensorMap;
namespace errors = format::errors;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

void expect_bit_identical(const WakeWordModel& a, const WakeWordModel& b) {
  const auto fa = testing::model_arrays(a);
  const auto fb = testing::model_arrays(b);
  ASSERT_EQ(fa.size(), fb.size());
  for (std::size_t t = 0; t < fa.size(); ++t) {
    ASSERT_EQ(fa[t]->size(), fb[t]->size()) << "tensor " << t;
    for (std::size_t i = 0; i < fa[t]->size(); ++i) {
      ASSERT_EQ(bits((*fa[t])[i]), bits((*fb[t])[i])) << "tensor " << t << " element " << i;
    }
  }
}

std::string build_error_name(const TensorMap& table) {
  auto built = build_model(table);
  EXPECT_FALSE(built.has_value());
  if (built.has_value()) return "";
  const format::CoreError& e = built.error().core;
  if (const auto* m = std::get_if<errors::MissingTensor>(&e)) return "missing " + m->name;
  if (const auto* s = std::get_if<errors::ShapeMismatch>(&e)) return "shape " + s->name;
  return "other";
}

TEST(Fp16ToFp32, DocumentedValues) {
  EXPECT_EQ(bits(fp16_to_fp32(0x0001)), 0x33800000u);  // 2^-24, smallest subnormal
  EXPECT_EQ(bits(fp16_to_fp32(0x8001)), 0xB3800000u);
  EXPECT_EQ(bits(fp16_to_fp32(0x03FF)), bits(1023.0f * 0x1p-24f));  // largest subnormal
  EXPECT_EQ(bits(fp16_to_fp32(0x0400)), bits(0x1p-14f));            // smallest normal
  EXPECT_EQ(bits(fp16_to_fp32(0x0000)), 0x00000000u);
  EXPECT_EQ(bits(fp16_to_fp32(0x8000)), 0x80000000u);  // -0.0
  EXPECT_EQ(bits(fp16_to_fp32(0x3C00)), bits(1.0f));
  EXPECT_EQ(bits(fp16_to_fp32(0x7BFF)), bits(65504.0f));
  EXPECT_EQ(bits(fp16_to_fp32(0x7C00)), 0x7F800000u);  // +inf
  EXPECT_EQ(bits(fp16_to_fp32(0xFC00)), 0xFF800000u);  // -inf
  EXPECT_EQ(bits(fp16_to_fp32(0x7E00)), 0x7FC00000u);  // quiet NaN
  // A signalling NaN and a negative NaN keep their payloads, moved up by 13 bits.
  EXPECT_EQ(bits(fp16_to_fp32(0x7C01)), 0x7F802000u);
  EXPECT_EQ(bits(fp16_to_fp32(0xFE55)), 0xFFCAA000u);
}

TEST(Fp16ToFp32, EveryHalfMatchesItsExactValue) {
  for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
    const auto half = static_cast<std::uint16_t>(h);
    const std::uint32_t sign = h >> 15, exponent = (h >> 10) & 0x1F, fraction = h & 0x3FF;
    const float got = fp16_to_fp32(half);
    if (exponent == 0x1F) {
      const std::uint32_t expected = (sign << 31) | 0x7F800000u | (fraction << 13);
      ASSERT_EQ(bits(got), expected) << std::hex << h;
      continue;
    }
    // value = (-1)^s * (implicit + fraction / 1024) * 2^(e - 15), subnormals with e = 1 and
    // no implicit bit; exact in double and in float.
    const double significand = (exponent == 0 ? 0.0 : 1.0) + fraction / 1024.0;
    double value = std::ldexp(significand, static_cast<int>(exponent == 0 ? 1 : exponent) - 15);
    if (sign) value = -value;
    ASSERT_EQ(bits(got), bits(static_cast<float>(value))) << std::hex << h;
  }
}

TEST(RequiredTensors, NamesAndShapes) {
  const auto specs = required_tensors();
  ASSERT_EQ(specs.size(), 74u);
  std::set<std::string> names;
  for (const auto& s : specs) names.insert(s.name);
  EXPECT_EQ(names.size(), 74u);
  EXPECT_EQ(specs.front().name, "stem_conv.weight");
  EXPECT_EQ(specs[4].name, "blocks.0.dw_conv.conv.weight");
  EXPECT_EQ(specs[4].shape, (std::vector<std::uint64_t>{64, 1, 13}));
  EXPECT_EQ(specs[4 + 3 * 8 + 3].name, "blocks.3.ln1.ln.bias");
  EXPECT_EQ(specs[4 + 7 * 8 + 7].name, "blocks.7.ln2.ln.bias");
  EXPECT_EQ(specs[72].name, "head.weight");
  EXPECT_EQ(specs[72].shape, (std::vector<std::uint64_t>{1, 16}));
  EXPECT_EQ(specs[73].name, "head.bias");
}

TEST(LoadTensor, DecodesLittleEndianFp32AndFp16) {
  TensorMap table;
  table["a"] = {TensorDtype::Fp32, {2}, {0x00, 0x00, 0x80, 0x3F, 0x01, 0x00, 0xC0, 0xFF}};
  table["b"] = {TensorDtype::Fp16, {1, 3}, {0x00, 0x3C, 0x01, 0x00, 0x00, 0xFC}};
  const std::vector<std::uint64_t> shape_a = {2}, shape_b = {1, 3};
  auto a = load_tensor(table, "a", shape_a);
  ASSERT_TRUE(a.has_value());
  ASSERT_EQ(a.value().size(), 2u);
  EXPECT_EQ(bits(a.value()[0]), 0x3F800000u);
  EXPECT_EQ(bits(a.value()[1]), 0xFFC00001u);  // NaN bits pass through unchanged
  auto b = load_tensor(table, "b", shape_b);
  ASSERT_TRUE(b.has_value());
  ASSERT_EQ(b.value().size(), 3u);
  EXPECT_EQ(bits(b.value()[0]), bits(1.0f));
  EXPECT_EQ(bits(b.value()[1]), 0x33800000u);
  EXPECT_EQ(bits(b.value()[2]), 0xFF800000u);
}

TEST(LoadTensor, ReportsMissingWrongShapeAndWrongSize) {
  const std::vector<std::uint64_t> shape = {64, 64, 1};
  TensorMap table;
  auto missing = load_tensor(table, "stem_conv.weight", shape);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(std::get<errors::MissingTensor>(missing.error()).name, "stem_conv.weight");

  // Case matters: a name that differs only in letter case is missing.
  table["Stem_conv.weight"] = {TensorDtype::Fp32, shape, std::vector<std::uint8_t>(64 * 64 * 4)};
  EXPECT_TRUE(std::holds_alternative<errors::MissingTensor>(
      load_tensor(table, "stem_conv.weight", shape).error()));

  // Rank counts: [64, 64] and [64, 64, 1, 1] both differ from [64, 64, 1].
  for (const std::vector<std::uint64_t>& declared :
       {std::vector<std::uint64_t>{64, 64}, std::vector<std::uint64_t>{64, 64, 1, 1},
        std::vector<std::uint64_t>{}, std::vector<std::uint64_t>{64, 1, 64}}) {
    table["stem_conv.weight"] = {TensorDtype::Fp32, declared,
                                 std::vector<std::uint8_t>(64 * 64 * 4)};
    auto r = load_tensor(table, "stem_conv.weight", shape);
    ASSERT_FALSE(r.has_value());
    const auto& e = std::get<errors::ShapeMismatch>(r.error());
    EXPECT_EQ(e.name, "stem_conv.weight");
    EXPECT_EQ(e.actual, declared);
    EXPECT_EQ(e.expected, shape);
  }

  // A hand-built table whose bytes do not fit the shape is refused, not over-read.
  table["stem_conv.weight"] = {TensorDtype::Fp16, shape, std::vector<std::uint8_t>(64 * 64 * 4)};
  auto r = load_tensor(table, "stem_conv.weight", shape);
  ASSERT_FALSE(r.has_value());
  const auto& e = std::get<errors::FormatTensorSizeMismatch>(r.error());
  EXPECT_EQ(e.declared, 64u * 64 * 4);
  EXPECT_EQ(e.computed, 64u * 64 * 2);
}

TEST(BuildModel, KeepsEveryValueInTableOrderAndIgnoresExtras) {
  const auto values = testing::random_model_values(7);
  TensorMap table = testing::to_tensor_map(values, TensorDtype::Fp32);
  table["blocks.8.pw_conv.weight"] = {TensorDtype::Fp32, {1}, {0, 0, 0, 0}};
  table["unrelated"] = {TensorDtype::Fp16, {}, {0, 0}};
  auto built = build_model(table);
  ASSERT_TRUE(built.has_value());
  const auto fields = testing::model_arrays(built.value());
  ASSERT_EQ(fields.size(), values.size());
  for (std::size_t t = 0; t < values.size(); ++t) {
    ASSERT_EQ(*fields[t], values[t].values) << values[t].name;
  }
}

TEST(BuildModel, LaysOutEachBlocksDepthwiseWeightsTapMajor) {
  const auto values = testing::random_model_values(5);
  auto built = build_model(testing::to_tensor_map(values, TensorDtype::Fp32));
  ASSERT_TRUE(built.has_value());
  for (std::size_t b = 0; b < N_BLOCKS; ++b) {
    const ResidualBlock& block = built.value().blocks[b];
    ASSERT_EQ(block.dw_weight_by_tap.size(), KERNEL_SIZE * CHANNELS);
    for (std::size_t c = 0; c < CHANNELS; ++c) {
      for (std::size_t k = 0; k < KERNEL_SIZE; ++k) {
        ASSERT_EQ(bits(block.dw_weight_by_tap[k * CHANNELS + c]),
                  bits(block.dw_weight[c * KERNEL_SIZE + k]))
            << "block " << b << " channel " << c << " tap " << k;
      }
    }
  }
}

TEST(BuildModel, Fp16AndFp32StorageGiveTheSameModel) {
  const auto values = testing::random_model_values(11);
  auto from32 = build_model(testing::to_tensor_map(values, TensorDtype::Fp32));
  auto from16 = build_model(testing::to_tensor_map(values, TensorDtype::Fp16));
  ASSERT_TRUE(from32.has_value());
  ASSERT_TRUE(from16.has_value());
  expect_bit_identical(from32.value(), from16.value());

  // Dtypes may differ from tensor to tensor.
  TensorMap mixed = testing::to_tensor_map(values, TensorDtype::Fp32);
  bool odd = false;
  for (const auto& t : values) {
    if ((odd = !odd))
      mixed[t.name] = testing::make_raw_tensor(t.shape, t.values, TensorDtype::Fp16);
  }
  auto from_mixed = build_model(mixed);
  ASSERT_TRUE(from_mixed.has_value());
  expect_bit_identical(from32.value(), from_mixed.value());
}

TEST(BuildModel, ReportsTheFirstFailureInRequestOrder) {
  const auto values = testing::random_model_values(3);
  const TensorMap full = testing::to_tensor_map(values, TensorDtype::Fp32);

  EXPECT_EQ(build_error_name({}), "missing stem_conv.weight");

  TensorMap t = full;
  t.erase("stem_conv.weight");
  t.erase("head.bias");
  EXPECT_EQ(build_error_name(t), "missing stem_conv.weight");

  // Block 5 lacks pw_conv.bias; later tensors are broken too but are never looked at.
  t = full;
  t.erase("blocks.5.pw_conv.bias");
  t["blocks.6.dw_conv.conv.weight"].shape = {64, 13};
  t.erase("blocks.7.ln1.ln.weight");
  t.erase("bottleneck_conv.weight");
  EXPECT_EQ(build_error_name(t), "missing blocks.5.pw_conv.bias");

  t = full;
  t["head.weight"] = {TensorDtype::Fp32, {16}, std::vector<std::uint8_t>(64)};
  auto built = build_model(t);
  ASSERT_FALSE(built.has_value());
  const auto& e = std::get<errors::ShapeMismatch>(built.error().core);
  EXPECT_EQ(e.name, "head.weight");
  EXPECT_EQ(e.actual, (std::vector<std::uint64_t>{16}));
  EXPECT_EQ(e.expected, (std::vector<std::uint64_t>{1, 16}));

  // A shape error early wins over a missing tensor later.
  t = full;
  t["stem_ln.ln.bias"].shape = {1, 64};
  t.erase("head.bias");
  EXPECT_EQ(build_error_name(t), "shape stem_ln.ln.bias");
}

}  // namespace
}  // namespace quelt::nn
