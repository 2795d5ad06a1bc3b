// File: engine/threshold.h
//
// The one rule for detection thresholds: a number in [0, 1]. Session::set_threshold takes
// any float; the C interface, the Python module and the command-line tool check the
// caller's value with is_valid_threshold first, each reporting a refusal its own way.
#pragma once

#include <bit>
#include <cstdint>

namespace quelt::engine {

// NaN and the infinities are refused by bit pattern (their magnitude lies above the
// largest finite float), which holds whatever the floating-point environment does with
// comparisons; -0.0 compares equal to 0.0 and is accepted.
constexpr bool is_valid_threshold(float threshold) {
  if ((std::bit_cast<std::uint32_t>(threshold) & 0x7FFFFFFFu) > 0x7F7FFFFFu) return false;
  return threshold >= 0.0f && threshold <= 1.0f;
}

}  // namespace quelt::engine
