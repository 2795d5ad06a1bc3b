// File: tests/common/cpu_test.cc
//
// The variant choice: the portable variant runs everywhere, NEON exactly on AArch64, AVX2
// only on x86-64 (and there exactly when the CPU has AVX2 and FMA), and best_simd() is
// always one this machine runs.
#include "common/cpu.h"

#include <string>

#include <gtest/gtest.h>

namespace quelt {
namespace {

TEST(Simd, BestIsAvailableAndTheWidestBuilt) {
  EXPECT_TRUE(simd_available(Simd::PORTABLE));
  EXPECT_TRUE(simd_available(best_simd()));
#if defined(__aarch64__)
  EXPECT_TRUE(simd_available(Simd::NEON));
  EXPECT_FALSE(simd_available(Simd::AVX2));
  EXPECT_EQ(best_simd(), Simd::NEON);
#elif defined(__x86_64__)
  EXPECT_FALSE(simd_available(Simd::NEON));
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  EXPECT_EQ(simd_available(Simd::AVX2), avx2);
  EXPECT_EQ(best_simd(), avx2 ? Simd::AVX2 : Simd::PORTABLE);
#endif
  EXPECT_EQ(std::string(simd_name(Simd::AVX2)), "avx2");
}

}  // namespace
}  // namespace quelt
