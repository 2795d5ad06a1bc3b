// File: nn/ops_neon.cc
//
// The kernels in Advanced SIMD intrinsics, four floats per vector, for AArch64 where NEON
// is baseline. The order of operations is the one the portable twin spells out lane by
// lane (nn/ops_portable.cc): fused steps are vfmaq_f32, every other product and sum is its
// own vmulq_f32 / vaddq_f32 (never vmlaq_f32, whose rounding is not fixed), and horizontal
// sums are pairwise: (v0 + v1) + (v2 + v3).
#if !defined(__ARM_NEON)
#error "nn/ops_neon.cc needs Advanced SIMD (NEON); build it for AArch64 only"
#endif

#include <arm_neon.h>

#include <cmath>
#include <cstddef>

#include "common/check.h"
#include "nn/ops.h"

namespace quelt::nn::neon {
namespace {

constexpr std::size_t LANES = 4;

// {(a0 + a1) + (a2 + a3), (b0 + b1) + (b2 + b3), (c...), (d...)}: four horizontal sums
// in one go. Each pairwise add rounds each pair, as the scalar formula does.
float32x4_t pairwise_sums(float32x4_t a, float32x4_t b, float32x4_t c, float32x4_t d) {
  return vpaddq_f32(vpaddq_f32(a, b), vpaddq_f32(c, d));
}

// (v0 + v1) + (v2 + v3) as a scalar.
float pairwise_sum(float32x4_t v) { return vpadds_f32(vget_low_f32(vpaddq_f32(v, v))); }

// The 64 inputs of a pointwise convolution, loaded once per call and kept in registers
// (AArch64 has 32): v[i] holds inputs 4i .. 4i + 3.
struct Inputs {
  float32x4_t v[CHANNELS / LANES];
};

// The sum S = (A3 + A2) + (A1 + A0) of one output row's four accumulators. Always
// inlined and unrolled, so that the inputs stay in registers and only the weights are
// loaded.
__attribute__((always_inline)) inline float32x4_t pointwise_row(const Inputs& x, const float* row) {
  float32x4_t a0 = vdupq_n_f32(0.0f);
  float32x4_t a1 = vdupq_n_f32(0.0f);
  float32x4_t a2 = vdupq_n_f32(0.0f);
  float32x4_t a3 = vdupq_n_f32(0.0f);
#pragma GCC unroll 4
  for (std::size_t j = 0; j < CHANNELS; j += 16) {
    a0 = vfmaq_f32(a0, vld1q_f32(row + j), x.v[j / 4]);
    a1 = vfmaq_f32(a1, vld1q_f32(row + j + 4), x.v[j / 4 + 1]);
    a2 = vfmaq_f32(a2, vld1q_f32(row + j + 8), x.v[j / 4 + 2]);
    a3 = vfmaq_f32(a3, vld1q_f32(row + j + 12), x.v[j / 4 + 3]);
  }
  return vaddq_f32(vaddq_f32(a3, a2), vaddq_f32(a1, a0));
}

}  // namespace

void pointwise_conv(const float* x, const float* w, const float* b, std::size_t n_out, float* y) {
  QWW_CHECK(n_out % LANES == 0, "pointwise_conv: n_out must be a multiple of 4");
  Inputs in;
#pragma GCC unroll 16
  for (std::size_t i = 0; i < CHANNELS / LANES; ++i) in.v[i] = vld1q_f32(x + LANES * i);
  // Four output rows at a time, so that their final horizontal sums share the pairwise
  // adds; every row keeps its own order.
  for (std::size_t o = 0; o < n_out; o += LANES) {
    const float* row = w + o * CHANNELS;
    const float32x4_t sums =
        pairwise_sums(pointwise_row(in, row), pointwise_row(in, row + CHANNELS),
                      pointwise_row(in, row + 2 * CHANNELS), pointwise_row(in, row + 3 * CHANNELS));
    vst1q_f32(y + o, vaddq_f32(sums, vld1q_f32(b + o)));
  }
}

void layer_norm(const float* x, const float* scale, const float* shift, std::size_t n, float* y) {
  QWW_CHECK(n % LANES == 0 && n > 0, "layer_norm: n must be a positive multiple of 4");
  float32x4_t acc = vdupq_n_f32(0.0f);
  for (std::size_t g = 0; g < n; g += LANES) acc = vaddq_f32(acc, vld1q_f32(x + g));
  // A multiplication by the reciprocal, not a division by n.
  const float r = 1.0f / static_cast<float>(n);
  const float mean = r * pairwise_sum(acc);

  const float32x4_t mean_v = vdupq_n_f32(mean);
  float32x4_t sq = vdupq_n_f32(0.0f);
  for (std::size_t g = 0; g < n; g += LANES) {
    const float32x4_t d = vsubq_f32(vld1q_f32(x + g), mean_v);
    sq = vfmaq_f32(sq, d, d);
  }
  const float var = r * pairwise_sum(sq);  // biased: divided by n
  // Correctly rounded square root and a true division, not the reciprocal estimates.
  const float inv = 1.0f / std::sqrt(var + LAYER_NORM_EPS);

  const float32x4_t inv_v = vdupq_n_f32(inv);
  for (std::size_t g = 0; g < n; g += LANES) {
    const float32x4_t t = vmulq_f32(vsubq_f32(vld1q_f32(x + g), mean_v), inv_v);
    vst1q_f32(y + g, vfmaq_f32(vld1q_f32(shift + g), t, vld1q_f32(scale + g)));
  }
}

// vmaxq_f32 returns a NaN operand (made quiet) and ranks +0.0 above -0.0, which is what
// the relu rules want: NaN stays NaN, -0.0 becomes +0.0.
void relu_in_place(float* x, std::size_t n) {
  QWW_CHECK(n % LANES == 0, "relu_in_place: n must be a multiple of 4");
  const float32x4_t zero = vdupq_n_f32(0.0f);
  for (std::size_t i = 0; i < n; i += LANES) vst1q_f32(x + i, vmaxq_f32(vld1q_f32(x + i), zero));
}

void add_relu(const float* a, const float* b, float* y, std::size_t n) {
  QWW_CHECK(n % LANES == 0, "add_relu: n must be a multiple of 4");
  const float32x4_t zero = vdupq_n_f32(0.0f);
  for (std::size_t i = 0; i < n; i += LANES) {
    vst1q_f32(y + i, vmaxq_f32(vaddq_f32(vld1q_f32(a + i), vld1q_f32(b + i)), zero));
  }
}

void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y) {
  constexpr std::size_t C = CHANNELS;
  static_assert(C % LANES == 0);
  // The tap pointers in locals, so that they stay in registers across the stores to y.
  const float* t[KERNEL_SIZE];
  for (std::size_t k = 0; k < KERNEL_SIZE; ++k) t[k] = taps[k];
  for (std::size_t c = 0; c < C; c += LANES) {
    // Four channels per vector, the four tap accumulators of each channel in four
    // registers, written out so that they stay there: tap k = 4m + l feeds accumulator l,
    // for m = 0, 1, 2 in turn.
    const auto tap = [&](std::size_t k, float32x4_t acc) {
      return vfmaq_f32(acc, vld1q_f32(w_by_tap + k * C + c), vld1q_f32(t[k] + c));
    };
    float32x4_t a0 = tap(0, vdupq_n_f32(0.0f));
    float32x4_t a1 = tap(1, vdupq_n_f32(0.0f));
    float32x4_t a2 = tap(2, vdupq_n_f32(0.0f));
    float32x4_t a3 = tap(3, vdupq_n_f32(0.0f));
    a0 = tap(4, a0);
    a1 = tap(5, a1);
    a2 = tap(6, a2);
    a3 = tap(7, a3);
    a0 = tap(8, a0);
    a1 = tap(9, a1);
    a2 = tap(10, a2);
    a3 = tap(11, a3);
    const float32x4_t sum = vaddq_f32(vaddq_f32(a0, a1), vaddq_f32(a2, a3));
    const float32x4_t newest = vmulq_f32(vld1q_f32(w_by_tap + 12 * C + c), vld1q_f32(t[12] + c));
    vst1q_f32(y + c, vaddq_f32(vaddq_f32(sum, vld1q_f32(b + c)), newest));
  }
}

}  // namespace quelt::nn::neon
