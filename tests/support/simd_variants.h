// File: tests/support/simd_variants.h
//
// The kernel variants this build and this CPU can run, portable first, for the tests that
// hold every variant to the portable one bit for bit.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/cpu.h"

namespace quelt {

// gtest prints a failing case's Simd parameter with this (found by argument lookup).
inline void PrintTo(Simd simd, std::ostream* os) { *os << simd_name(simd); }

namespace testing {

inline std::vector<Simd> available_simds() {
  std::vector<Simd> v;
  for (const Simd s : {Simd::PORTABLE, Simd::NEON, Simd::AVX2}) {
    if (simd_available(s)) v.push_back(s);
  }
  return v;
}

// A TEST_P name suffix: "portable", "neon" or "avx2".
inline std::string simd_param_name(const ::testing::TestParamInfo<Simd>& info) {
  return simd_name(info.param);
}

}  // namespace testing
}  // namespace quelt
