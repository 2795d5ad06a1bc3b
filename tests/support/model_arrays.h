// File: tests/support/model_arrays.h
//
// A built model's weight arrays in the order of the tensor table, listed independently of
// the build, so that tests can compare two models array by array.
#pragma once

#include <vector>

#include "nn/model.h"

namespace quelt::testing {

inline std::vector<const std::vector<float>*> model_arrays(const nn::WakeWordModel& m) {
  std::vector<const std::vector<float>*> f = {&m.stem_weight, &m.stem_bias, &m.stem_ln_scale,
                                              &m.stem_ln_shift};
  for (const nn::ResidualBlock& b : m.blocks) {
    for (const auto* p : {&b.dw_weight, &b.dw_bias, &b.ln1_scale, &b.ln1_shift, &b.pw_weight,
                          &b.pw_bias, &b.ln2_scale, &b.ln2_shift}) {
      f.push_back(p);
    }
  }
  for (const auto* p : {&m.bottleneck_weight, &m.bottleneck_bias, &m.bottleneck_ln_scale,
                        &m.bottleneck_ln_shift, &m.head_weight, &m.head_bias}) {
    f.push_back(p);
  }
  return f;
}

}  // namespace quelt::testing
