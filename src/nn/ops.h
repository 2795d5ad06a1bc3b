// File: nn/ops.h
//
// The six single-precision kernels of the network step. Each fixes its order of
// operations so that scores are reproducible bit for bit on every machine:
// "fused" is one multiply-add with a single rounding (vfmaq_f32 / std::fma), everything
// else rounds after each operation.
//
// Variants share one signature and differ only in their namespace:
//   portable  - plain C++ that keeps the SIMD lane order (float acc[4] for a 4-lane vector);
//               always built, so tests can compare it with the others.
//   neon      - Advanced SIMD intrinsics; built on AArch64 only.
//   avx2      - AVX2 + FMA intrinsics; built on x86-64 only, usable when
//               avx2_fma_supported() says so. Gives the portable results bit for bit.
// `kernels` names the variant that the engine uses on this machine, chosen at compile time.
// The structs PortableKernels, NeonKernels and Avx2Kernels wrap the same functions as
// static members, so that the network step can be a template over a kernel set and pick
// the variant once per session rather than once per call.
//
// Bit for bit means every result that is not a NaN. Which payload a NaN carries when two
// NaNs meet in one addition depends on the operand order the compiler picks for a
// commutative operation, so NaN results agree in being NaN, not in their payload.
#pragma once

#include <cstddef>

namespace quelt::nn {

// Input width of every pointwise convolution (stem, blocks, bottleneck).
inline constexpr std::size_t POINTWISE_IN = 64;
// Taps of every depthwise convolution.
inline constexpr std::size_t DEPTHWISE_TAPS = 13;
// Channels of the depthwise convolution.
inline constexpr std::size_t DEPTHWISE_CHANNELS = 64;
// Added inside the square root of layer_norm; the float nearest 1e-5 (bits 0x3727C5AC).
inline constexpr float LAYER_NORM_EPS = 1e-5f;

// Inputs a history row holds for dilation d: the current one and 12 * d older ones.
constexpr std::size_t depthwise_row_len(std::size_t dilation) {
  return (DEPTHWISE_TAPS - 1) * dilation + 1;
}

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
  /* One output per channel of a causal 13-tap depthwise convolution with dilation       \
     d in {1, 2, 4}. rows: 64 rows of 12*d + 1 inputs each, oldest first; w: 64 x 13     \
     taps; tap k meets rows[c][k * d]. */                                                \
  void depthwise_conv_step(const float* rows, const float* w, const float* b,            \
                           std::size_t dilation, float* y);

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
    static void depthwise_conv_step(const float* rows, const float* w, const float* b,            \
                                    std::size_t dilation, float* y) {                             \
      ns::depthwise_conv_step(rows, w, b, dilation, y);                                           \
    }                                                                                             \
  };

namespace portable {
QWW_DECLARE_KERNELS()
}  // namespace portable
QWW_DEFINE_KERNEL_SET(PortableKernels, portable)

#if defined(__aarch64__)
namespace neon {
QWW_DECLARE_KERNELS()
}  // namespace neon
QWW_DEFINE_KERNEL_SET(NeonKernels, neon)
namespace kernels = neon;
#else
namespace kernels = portable;
#endif

#if defined(__x86_64__)
namespace avx2 {
QWW_DECLARE_KERNELS()
}  // namespace avx2
// Call only when avx2_fma_supported() is true: the code uses AVX2 and FMA instructions.
QWW_DEFINE_KERNEL_SET(Avx2Kernels, avx2)
#endif

#undef QWW_DEFINE_KERNEL_SET
#undef QWW_DECLARE_KERNELS

// True when this CPU can run the avx2 variant (x86-64 with AVX2 and FMA); false on every
// other machine. On AArch64 NEON is baseline and needs no check.
bool avx2_fma_supported();

// logit = b[0] + w[0]*x[0] + ... + w[15]*x[15], left to right, each product rounded
// before its addition. Scalar on every machine.
float dense_head(const float* x, const float* w, const float* b);

}  // namespace quelt::nn
