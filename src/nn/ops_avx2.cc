// File: nn/ops_avx2.cc
//
// The kernels in AVX2 + FMA intrinsics for x86-64 development machines, giving the
// portable twin's results bit for bit (nn/ops_portable.cc). Only this file is compiled
// with -mavx2 -mfma, and it is called only where simd_available(Simd::AVX2).
//
// Eight-lane registers do not change any output's order of operations; they hold either
// the 16 independent accumulators of one output (pointwise: lanes 0-7 are A0 and A1,
// lanes 8-15 A2 and A3, each accumulator still fed in the same sequence), or two 4-lane
// vectors side by side in the two 128-bit halves (two pointwise outputs), or eight
// independent outputs (the depthwise step: one channel per lane). Reductions whose lanes
// run in sequence (the layer_norm sums) stay 4 lanes wide, exactly as the twin does.
// Additions are commutative bit for bit for every non-NaN result, so `a + b` and `b + a`
// may be used interchangeably.
//
// _mm256_max_ps differs from the 4-lane maximum of the twin: with a NaN operand it
// returns its second operand unchanged (not made quiet), and of two zeros it returns the
// second. relu_lanes() orders the operands and adds +0.0 so that NaN and -0.0 come out
// as the twin gives them.
//
// Nothing here is an inline function that another file also instantiates (intrinsics
// are always inlined), so no AVX2 code can leak into the rest of the library.
#if !defined(__AVX2__) || !defined(__FMA__)
#error "nn/ops_avx2.cc must be compiled with -mavx2 -mfma"
#endif

#include <immintrin.h>

#include <cmath>
#include <cstddef>

#include "common/check.h"
#include "nn/ops.h"

namespace quelt::nn::avx2 {
namespace {

constexpr std::size_t LANES = 4;

// Horizontal pairwise sums of eight 4-lane vectors packed two per register: p04 holds the
// vectors of outputs 0 and 4 in its low and high halves, p15 those of 1 and 5, and so on.
// Returns {(v0 + v1) + (v2 + v3)} for outputs 0..7, in order.
__m256 pairwise_sums8(__m256 p04, __m256 p15, __m256 p26, __m256 p37) {
  const __m256 h0145 = _mm256_hadd_ps(p04, p15);  // {o0 s01, o0 s23, o1 s01, o1 s23 | o4, o5}
  const __m256 h2367 = _mm256_hadd_ps(p26, p37);  // {o2..., o3... | o6..., o7...}
  return _mm256_hadd_ps(h0145, h2367);            // {o0, o1, o2, o3 | o4, o5, o6, o7}
}

// (v0 + v1) + (v2 + v3) of a 4-lane vector.
float pairwise_sum(__m128 v) {
  const __m128 h = _mm_hadd_ps(v, v);  // {v0 + v1, v2 + v3, ...}
  return _mm_cvtss_f32(_mm_hadd_ps(h, h));
}

// The twin's max(v, 0) on eight lanes. _mm256_max_ps(0, v) returns v when v is NaN and
// v itself when v is -0.0 (of two zeros, the second operand); adding +0.0 then turns
// -0.0 into +0.0 and makes a NaN quiet, and leaves every other value as it is.
__m256 relu_lanes(__m256 v) {
  const __m256 zero = _mm256_setzero_ps();
  return _mm256_add_ps(_mm256_max_ps(zero, v), zero);
}

// The 64 inputs of a pointwise convolution, loaded once per call and kept in registers:
// x[i] holds inputs 8i .. 8i + 7.
struct Inputs {
  __m256 v[CHANNELS / 8];
};

// The 4-lane sum S = (A3 + A2) + (A1 + A0) of one output row, for outputs `row0` (low
// half of the result) and `row1` (high half). The 16 accumulators of a row are the lanes
// of lo (A0, A1) and hi (A2, A3). Always inlined, so that the inputs stay in registers
// and each weight is read straight into its fused multiply-add.
__attribute__((always_inline)) inline __m256 pointwise_pair(const Inputs& x, const float* row0,
                                                            const float* row1) {
  __m256 lo0 = _mm256_setzero_ps();
  __m256 hi0 = _mm256_setzero_ps();
  __m256 lo1 = _mm256_setzero_ps();
  __m256 hi1 = _mm256_setzero_ps();
#pragma GCC unroll 4
  for (std::size_t j = 0; j < CHANNELS; j += 16) {
    const __m256 x_lo = x.v[j / 8];
    const __m256 x_hi = x.v[j / 8 + 1];
    lo0 = _mm256_fmadd_ps(_mm256_loadu_ps(row0 + j), x_lo, lo0);
    hi0 = _mm256_fmadd_ps(_mm256_loadu_ps(row0 + j + 8), x_hi, hi0);
    lo1 = _mm256_fmadd_ps(_mm256_loadu_ps(row1 + j), x_lo, lo1);
    hi1 = _mm256_fmadd_ps(_mm256_loadu_ps(row1 + j + 8), x_hi, hi1);
  }
  // {A0 of row0 | A0 of row1} + {A1 of row0 | A1 of row1}, and the same for A2, A3.
  const __m256 a01 =
      _mm256_add_ps(_mm256_permute2f128_ps(lo0, lo1, 0x20), _mm256_permute2f128_ps(lo0, lo1, 0x31));
  const __m256 a23 =
      _mm256_add_ps(_mm256_permute2f128_ps(hi0, hi1, 0x20), _mm256_permute2f128_ps(hi0, hi1, 0x31));
  return _mm256_add_ps(a23, a01);
}

// Eight outputs: rows o..o+3 from `w0`, rows o+4..o+7 from `w4`.
__attribute__((always_inline)) inline __m256 pointwise_eight(const Inputs& x, const float* w0,
                                                             const float* w4) {
  constexpr std::size_t R = CHANNELS;
  return pairwise_sums8(pointwise_pair(x, w0, w4), pointwise_pair(x, w0 + R, w4 + R),
                        pointwise_pair(x, w0 + 2 * R, w4 + 2 * R),
                        pointwise_pair(x, w0 + 3 * R, w4 + 3 * R));
}

}  // namespace

void pointwise_conv(const float* x, const float* w, const float* b, std::size_t n_out, float* y) {
  QWW_CHECK(n_out % LANES == 0, "pointwise_conv: n_out must be a multiple of 4");
  constexpr std::size_t R = CHANNELS;
  Inputs in;
#pragma GCC unroll 8
  for (std::size_t i = 0; i < R / 8; ++i) in.v[i] = _mm256_loadu_ps(x + 8 * i);
  std::size_t o = 0;
  for (; o + 8 <= n_out; o += 8) {
    const __m256 sums = pointwise_eight(in, w + o * R, w + (o + 4) * R);
    _mm256_storeu_ps(y + o, _mm256_add_ps(sums, _mm256_loadu_ps(b + o)));
  }
  if (o < n_out) {
    // Four rows left: compute them in both halves and keep the low one.
    const __m256 sums = pointwise_eight(in, w + o * R, w + o * R);
    _mm_storeu_ps(y + o, _mm_add_ps(_mm256_castps256_ps128(sums), _mm_loadu_ps(b + o)));
  }
}

void layer_norm(const float* x, const float* scale, const float* shift, std::size_t n, float* y) {
  QWW_CHECK(n % LANES == 0 && n > 0, "layer_norm: n must be a positive multiple of 4");
  // The two sums run each lane through every group in sequence: 4 lanes wide.
  __m128 acc = _mm_setzero_ps();
  for (std::size_t g = 0; g < n; g += LANES) acc = _mm_add_ps(acc, _mm_loadu_ps(x + g));
  const float r = 1.0f / static_cast<float>(n);
  const float mean = r * pairwise_sum(acc);

  const __m128 mean4 = _mm_set1_ps(mean);
  __m128 sq = _mm_setzero_ps();
  for (std::size_t g = 0; g < n; g += LANES) {
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(x + g), mean4);
    sq = _mm_fmadd_ps(d, d, sq);
  }
  const float var = r * pairwise_sum(sq);
  const float inv = 1.0f / std::sqrt(var + LAYER_NORM_EPS);

  // Element-wise from here on: eight at a time, then a group of four if n calls for it.
  const __m256 mean8 = _mm256_set1_ps(mean);
  const __m256 inv8 = _mm256_set1_ps(inv);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 t = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(x + i), mean8), inv8);
    _mm256_storeu_ps(y + i,
                     _mm256_fmadd_ps(t, _mm256_loadu_ps(scale + i), _mm256_loadu_ps(shift + i)));
  }
  if (i < n) {
    const __m128 t = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(x + i), mean4), _mm_set1_ps(inv));
    _mm_storeu_ps(y + i, _mm_fmadd_ps(t, _mm_loadu_ps(scale + i), _mm_loadu_ps(shift + i)));
  }
}

void relu_in_place(float* x, std::size_t n) {
  QWW_CHECK(n % LANES == 0, "relu_in_place: n must be a multiple of 4");
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, relu_lanes(_mm256_loadu_ps(x + i)));
  if (i < n) {
    const __m128 zero = _mm_setzero_ps();
    _mm_storeu_ps(x + i, _mm_add_ps(_mm_max_ps(zero, _mm_loadu_ps(x + i)), zero));
  }
}

void add_relu(const float* a, const float* b, float* y, std::size_t n) {
  QWW_CHECK(n % LANES == 0, "add_relu: n must be a multiple of 4");
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(y + i,
                     relu_lanes(_mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i))));
  }
  if (i < n) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 sum = _mm_add_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
    _mm_storeu_ps(y + i, _mm_add_ps(_mm_max_ps(zero, sum), zero));
  }
}

void depthwise_frames(const float* const* taps, const float* w_by_tap, const float* b, float* y) {
  constexpr std::size_t C = CHANNELS;
  static_assert(C % 8 == 0);
  for (std::size_t c = 0; c < C; c += 8) {
    // Eight channels per vector, the four tap accumulators of each channel in four
    // registers, written out so that they stay there: tap k = 4m + l feeds accumulator l,
    // for m = 0, 1, 2 in turn.
    const auto tap = [&](std::size_t k, __m256 acc) {
      return _mm256_fmadd_ps(_mm256_loadu_ps(w_by_tap + k * C + c), _mm256_loadu_ps(taps[k] + c),
                             acc);
    };
    __m256 a0 = tap(0, _mm256_setzero_ps());
    __m256 a1 = tap(1, _mm256_setzero_ps());
    __m256 a2 = tap(2, _mm256_setzero_ps());
    __m256 a3 = tap(3, _mm256_setzero_ps());
    a0 = tap(4, a0);
    a1 = tap(5, a1);
    a2 = tap(6, a2);
    a3 = tap(7, a3);
    a0 = tap(8, a0);
    a1 = tap(9, a1);
    a2 = tap(10, a2);
    a3 = tap(11, a3);
    const __m256 sum = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
    const __m256 newest =
        _mm256_mul_ps(_mm256_loadu_ps(w_by_tap + 12 * C + c), _mm256_loadu_ps(taps[12] + c));
    _mm256_storeu_ps(y + c, _mm256_add_ps(_mm256_add_ps(sum, _mm256_loadu_ps(b + c)), newest));
  }
}

}  // namespace quelt::nn::avx2
