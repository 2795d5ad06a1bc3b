// File: nn/ops_portable.cc
//
// The portable twin of the SIMD kernels: plain C++ that performs the same operations in
// the same order as the 4-lane vector code, lane for lane. A 4-float vector is `float v[4]`
// here, a fused multiply-add is std::fma, and every other product or sum is rounded on
// its own (the project builds with -ffp-contract=off, so `a * b + c` stays two roundings).
// It runs on machines without a SIMD variant and is the reference that the tests hold
// every other variant to, bit for bit.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/check.h"
#include "nn/ops.h"

namespace quelt::nn::portable {
namespace {

constexpr std::size_t LANES = 4;

// The vector maximum with zero, as the SIMD maximum instruction computes it: a NaN comes
// back as that NaN made quiet (payload and sign kept), -0.0 and negatives give +0.0.
float max_with_zero(float v) {
  if (v > 0.0f) return v;
  if (std::isnan(v)) return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) | 0x00400000u);
  return 0.0f;
}

// (v[0] + v[1]) + (v[2] + v[3]): two rounds of pairwise addition across the lanes.
float pairwise_sum(const float v[LANES]) { return (v[0] + v[1]) + (v[2] + v[3]); }

}  // namespace

void pointwise_conv(const float* x, const float* w, const float* b, std::size_t n_out, float* y) {
  QWW_CHECK(n_out % LANES == 0, "pointwise_conv: n_out must be a multiple of 4");
  for (std::size_t o = 0; o < n_out; ++o) {
    const float* row = w + o * CHANNELS;
    // acc[k][l] is lane l of accumulator vector Ak; Ak sees the inputs 16j + 4k + l.
    float acc[4][LANES] = {};
    for (std::size_t j = 0; j < CHANNELS / 16; ++j) {
      for (std::size_t k = 0; k < 4; ++k) {
        for (std::size_t l = 0; l < LANES; ++l) {
          const std::size_t i = 16 * j + 4 * k + l;
          acc[k][l] = std::fma(row[i], x[i], acc[k][l]);
        }
      }
    }
    float s[LANES];
    for (std::size_t l = 0; l < LANES; ++l) {
      s[l] = (acc[3][l] + acc[2][l]) + (acc[1][l] + acc[0][l]);
    }
    y[o] = pairwise_sum(s) + b[o];
  }
}

void layer_norm(const float* x, const float* scale, const float* shift, std::size_t n, float* y) {
  QWW_CHECK(n % LANES == 0 && n > 0, "layer_norm: n must be a positive multiple of 4");
  float acc[LANES] = {};
  for (std::size_t g = 0; g < n; g += LANES) {
    for (std::size_t l = 0; l < LANES; ++l) acc[l] = acc[l] + x[g + l];
  }
  // A multiplication by the reciprocal, not a division by n.
  const float r = 1.0f / static_cast<float>(n);
  const float mean = r * pairwise_sum(acc);

  float sq[LANES] = {};
  for (std::size_t g = 0; g < n; g += LANES) {
    for (std::size_t l = 0; l < LANES; ++l) {
      const float d = x[g + l] - mean;
      sq[l] = std::fma(d, d, sq[l]);
    }
  }
  const float var = r * pairwise_sum(sq);  // biased: divided by n
  const float inv = 1.0f / std::sqrt(var + LAYER_NORM_EPS);

  for (std::size_t i = 0; i < n; ++i) {
    const float t = (x[i] - mean) * inv;
    y[i] = std::fma(t, scale[i], shift[i]);
  }
}

void relu_in_place(float* x, std::size_t n) {
  QWW_CHECK(n % LANES == 0, "relu_in_place: n must be a multiple of 4");
  for (std::size_t i = 0; i < n; ++i) x[i] = max_with_zero(x[i]);
}

void add_relu(const float* a, const float* b, float* y, std::size_t n) {
  QWW_CHECK(n % LANES == 0, "add_relu: n must be a multiple of 4");
  for (std::size_t i = 0; i < n; ++i) y[i] = max_with_zero(a[i] + b[i]);
}

void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y) {
  constexpr std::size_t C = CHANNELS;
  for (std::size_t c = 0; c < C; ++c) {
    float acc[LANES] = {};
    for (std::size_t m = 0; m < 3; ++m) {
      for (std::size_t l = 0; l < LANES; ++l) {
        const std::size_t k = 4 * m + l;
        acc[l] = std::fma(w_by_tap[k * C + c], taps[k][c], acc[l]);
      }
    }
    const float newest = w_by_tap[12 * C + c] * taps[12][c];
    y[c] = (pairwise_sum(acc) + b[c]) + newest;
  }
}

void depthwise_conv_step(const float* rows, const float* w, const float* b, std::size_t dilation,
                         float* y) {
  QWW_CHECK(dilation == 1 || dilation == 2 || dilation == 4,
            "depthwise_conv_step: dilation must be 1, 2 or 4");
  const std::size_t row_len = history_length(dilation);
  for (std::size_t c = 0; c < CHANNELS; ++c) {
    const float* h = rows + c * row_len;
    const float* wc = w + c * KERNEL_SIZE;
    // Taps 0..11 in three 4-lane steps; tap k meets h[k * dilation].
    float acc[LANES] = {};
    for (std::size_t m = 0; m < 3; ++m) {
      for (std::size_t l = 0; l < LANES; ++l) {
        const std::size_t k = 4 * m + l;
        acc[l] = std::fma(wc[k], h[k * dilation], acc[l]);
      }
    }
    // Tap 12, the newest input, is a separate rounded product added last.
    const float newest = wc[12] * h[12 * dilation];
    y[c] = (pairwise_sum(acc) + b[c]) + newest;
  }
}

}  // namespace quelt::nn::portable
