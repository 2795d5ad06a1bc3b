// File: tests/engine/threshold_test.cc
//
// The threshold rule all three doors share, at its edges: both ends and the floats just
// beyond them, the signed zeros and the smallest subnormals, the infinities and NaNs
// with their sign and payload bits set.
#include "engine/threshold.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace quelt::engine {
namespace {

TEST(Threshold, AcceptsExactlyTheClosedUnitInterval) {
  constexpr float INF = std::numeric_limits<float>::infinity();
  constexpr float TINY = std::numeric_limits<float>::denorm_min();
  for (const float accepted : {0.0f, -0.0f, TINY, 0.9f, 1.0f, std::nextafter(1.0f, 0.0f)}) {
    EXPECT_TRUE(is_valid_threshold(accepted)) << accepted;
  }
  for (const float refused : {-TINY, std::nextafter(1.0f, 2.0f), 1.5f, -1.0f, INF, -INF,
                              std::numeric_limits<float>::max(), std::bit_cast<float>(0x7FC00000u),
                              std::bit_cast<float>(0xFFC00000u), std::bit_cast<float>(0x7F800001u),
                              std::bit_cast<float>(0xFFFFFFFFu)}) {
    EXPECT_FALSE(is_valid_threshold(refused)) << std::bit_cast<std::uint32_t>(refused);
  }
}

}  // namespace
}  // namespace quelt::engine
