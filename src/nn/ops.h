// File: nn/ops.h
//
// The single-precision kernels of the network step. Each fixes its order of operations so
// that scores are reproducible bit for bit on every machine: "fused" is one multiply-add
// with a single rounding (vfmaq_f32 / std::fma), everything else rounds after each
// operation.
//
// Variants share one signature and differ only in their namespace:
//   portable  - plain C++ that keeps the SIMD lane order (float acc[4] for a 4-lane vector);
//               always built, so tests can compare it with the others.
//   neon      - Advanced SIMD intrinsics; built on AArch64 only.
//   avx2      - AVX2 + FMA intrinsics; built on x86-64 only, run only where
//               simd_available(Simd::AVX2). Gives the portable results bit for bit.
// The structs PortableKernels, NeonKernels and Avx2Kernels wrap the same functions as
// static members, so that the network step can be a template over a kernel set; the
// StreamingState's Simd value picks the set (common/cpu.h).
//
// The depthwise step runs over frame-major histories: a block keeps its recent inputs as a
// ring of whole frames (64 channel values each), so that the values that tap k of eight
// (or four) neighbouring channels meets lie side by side. The step then runs channels
// across the vector lanes with no gathers and no horizontal sums, and one kernel serves
// every dilation: the caller hands it the 13 frames the taps meet. Each channel's result
// is computed exactly as the row form portable::depthwise_conv_step computes it: four tap
// accumulators acc[l] (l = 0..3) start at zero and take, for m = 0, 1, 2 in turn, the fused
// step acc[l] += w[4m + l] * h[4m + l]; then
//   y[c] = (((acc[0] + acc[1]) + (acc[2] + acc[3])) + b[c]) + (w[12] * h[12]),
// the last product rounded on its own. Only the lanes hold different channels instead of
// different taps, so the results agree bit for bit.
//
// Bit for bit means every result that is not a NaN. Which payload a NaN carries when two
// NaNs meet in one addition depends on the operand order the compiler picks for a
// commutative operation, so NaN results agree in being NaN, not in their payload.
#pragma once

#include <cstddef>

#include "nn/architecture.h"

namespace quelt::nn {

// Added inside the square root of layer_norm; the float nearest 1e-5 (bits 0x3727C5AC).
inline constexpr float LAYER_NORM_EPS = 1e-5f;

#define QWW_DECLARE_KERNELS()                                                            \
  /* y[o] = W[o]·x + b[o] for o < n_out; W row-major [n_out, 64]; x and y distinct;     \
     n_out a multiple of 4. */                                                           \
  void pointwise_conv(const float* x, const float* w, const float* b, std::size_t n_out, \
                      float* y);                                                         \
  /* y = (x - mean) / sqrt(var + eps) * scale + shift; n a multiple of 4; y distinct. */ \
  void layer_norm(const float* x, const float* scale, const float* shift, std::size_t n, \
                  float* y);                                                             \
  /* x = max(x, 0); NaN stays NaN, -0.0 becomes +0.0; n a multiple of 4. */              \
  void relu_in_place(float* x, std::size_t n);                                           \
  /* y = max(a + b, 0), the sum rounded first; n a multiple of 4. */                     \
  void add_relu(const float* a, const float* b, float* y, std::size_t n);                \
  /* The depthwise step, y[c] for c < 64: taps[k] points to the 64 inputs that tap k     \
     meets (tap 12 the newest); w_by_tap tap-major (13 x 64, see                         \
     transpose_depthwise_weights); b 64 biases. y must not overlap the inputs. */        \
  void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y);

// Static members forwarding to the kernels of namespace `ns`.
#define QWW_DEFINE_KERNEL_SET(Name, ns)                                                           \
  struct Name {                                                                                   \
    static void pointwise_conv(const float* x, const float* w, const float* b, std::size_t n_out, \
                               float* y) {                                                        \
      ns::pointwise_conv(x, w, b, n_out, y);                                                      \
    }                                                                                             \
    static void layer_norm(const float* x, const float* scale, const float* shift, std::size_t n, \
                           float* y) {                                                            \
      ns::layer_norm(x, scale, shift, n, y);                                                      \
    }                                                                                             \
    static void relu_in_place(float* x, std::size_t n) { ns::relu_in_place(x, n); }               \
    static void add_relu(const float* a, const float* b, float* y, std::size_t n) {               \
      ns::add_relu(a, b, y, n);                                                                   \
    }                                                                                             \
    static void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, \
                                 float* y) {                                                      \
      ns::depthwise_frames(taps, w_by_tap, b, y);                                                 \
    }                                                                                             \
  };

namespace portable {
QWW_DECLARE_KERNELS()
// The depthwise step in row form, the reference the tests hold depthwise_frames to (the
// network does not run it): one output per channel of a causal 13-tap depthwise
// convolution with dilation d in {1, 2, 4}. rows: 64 rows of history_length(d) inputs
// each, oldest first; w: 64 x 13 taps; tap k meets rows[c][k * d].
void depthwise_conv_step(const float* rows, const float* w, const float* b, std::size_t dilation,
                         float* y);
}  // namespace portable
QWW_DEFINE_KERNEL_SET(PortableKernels, portable)

#if defined(__aarch64__)
namespace neon {
QWW_DECLARE_KERNELS()
}  // namespace neon
QWW_DEFINE_KERNEL_SET(NeonKernels, neon)
#endif

#if defined(__x86_64__)
namespace avx2 {
QWW_DECLARE_KERNELS()
}  // namespace avx2
// Call only when simd_available(Simd::AVX2): the code uses AVX2 and FMA instructions.
QWW_DEFINE_KERNEL_SET(Avx2Kernels, avx2)
#endif

#undef QWW_DEFINE_KERNEL_SET
#undef QWW_DECLARE_KERNELS

// w_by_tap[k * 64 + c] = w[c * 13 + k]: a block's depthwise weights tap-major, the layout
// depthwise_frames reads.
void transpose_depthwise_weights(const float* w, float* w_by_tap);

// logit = b[0] + w[0]*x[0] + ... + w[15]*x[15], left to right, each product rounded
// before its addition. Scalar on every machine.
float dense_head(const float* x, const float* w, const float* b);

}  // namespace quelt::nn
