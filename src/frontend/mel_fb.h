// File: frontend/mel_fb.h
//
// The mel filterbank: the Slaney mel scale (linear below 1000 Hz, logarithmic above), the
// dense band x bin weight matrix of triangular, area-normalised filters, the projection of
// a magnitude spectrum onto the bands, and the floored natural logarithm.
//
// The projection fixes its summation order so that features are the same bit for bit on
// every machine. Per band, sixteen running sums (one per bin position p inside each block
// of 16 bins) are each updated with a fused multiply-add over the blocks that cover all
// bins but the last; the sums are combined lane by lane (l = 0..3, p = 4a + l for group a)
// as ((group 1 + group 0) + (group 3 + group 2)), the four lanes as
// ((lane 0 + lane 1) + (lane 2 + lane 3)), and the product of the last bin, rounded on its
// own, is added at the end. This is the natural shape of four 4-lane vectors, so the
// variants below share one signature and differ only in their namespace:
//   portable - plain C++ with float acc[16], always built (tests compare it with the others);
//   neon     - Advanced SIMD; built on AArch64 only;
//   avx2     - AVX2 + FMA; built on x86-64 only, used when the CPU has both.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cpu.h"

namespace quelt::frontend {

// Constants of the mel scale, single precision.
inline constexpr float F_SP = 200.0f / 3.0f;             // Hz per mel below 1000 Hz
inline constexpr float MIN_LOG_HZ = 1000.0f;             // start of the log region, Hz
inline constexpr float MIN_LOG_MEL = MIN_LOG_HZ / F_SP;  // 15.000001, one step above 15
// ln(6.4) / 27, the log-frequency step per mel above 1000 Hz; both the single-precision
// and the double-precision evaluation round to these bits.
inline constexpr float LOGSTEP = std::bit_cast<float>(std::uint32_t{0x3D8CCDBB});

// Bins per block of the projection's running sums.
inline constexpr std::size_t MEL_BLOCK = 16;

// f / F_SP below 1000 Hz, MIN_LOG_MEL + ln(f / 1000) / LOGSTEP from there on.
float hz_to_mel(float f);
// m * F_SP below MIN_LOG_MEL, expf((m + -MIN_LOG_MEL) * LOGSTEP) * 1000 from there on.
float mel_to_hz(float m);

// The n_mels x (n_fft/2 + 1) weights, row-major (band m, bin k at m * n_bins + k): band m
// is a triangle from hz[m] to hz[m+2] with its apex 2 / (hz[m+2] - hz[m]) at hz[m+1], on
// n_mels + 2 points equally spaced in mel from f_min to f_max.
std::vector<float> build_mel_weights(std::uint32_t sample_rate, std::uint64_t n_fft,
                                     std::uint64_t n_mels, float f_min, float f_max);

// out[m] = sum over k < n_bins of weights[m * n_bins + k] * spectrum[k] for m < n_mels,
// in the order described above; n_bins must be 16 q + 1 for some q >= 1, out must not
// overlap the inputs. The variants check nothing: project_mel(simd, ...) below does.
// Zero weights are multiplied like any other, so a NaN anywhere in the spectrum makes
// every band NaN, and an infinity makes the bands that weigh its bin infinite and all the
// others NaN (0 * inf).
//
// The AVX2 variant's file is compiled with -mavx2 -mfma, so this signature uses raw
// pointers only: an inline function instantiated there (a std::span member, say) could
// be the copy the linker keeps for the whole program and fault on a CPU without AVX2.
//
// project_mel_banded gives the same bits with less work: band m multiplies only the blocks
// [first_block[m], end_block[m]) that hold its non-zero weights (plus, when bands run in
// groups, the other blocks of the group's union). That is exact when every spectrum value
// is finite with its sign bit clear (as a magnitude is) and the band's weights too
// (mel_block_ranges keeps every block of any other band): then no product is negative, a
// sum that starts at +0.0 never becomes -0.0, and each skipped step would add +0.0 * s =
// +0.0 to it, which changes nothing. Otherwise (0 * inf is NaN in every band, for one) it
// writes nothing and returns false, and the caller runs project_mel.
#define QWW_DECLARE_MEL_PROJECTION()                                                       \
  void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,        \
                   std::size_t n_mels, float* out);                                        \
  bool project_mel_banded(const float* weights, const float* spectrum, std::size_t n_bins, \
                          std::size_t n_mels, const std::uint16_t* first_block,            \
                          const std::uint16_t* end_block, float* out);

namespace portable {
QWW_DECLARE_MEL_PROJECTION()
}  // namespace portable
#if defined(__aarch64__)
namespace neon {
QWW_DECLARE_MEL_PROJECTION()
}  // namespace neon
#endif
#if defined(__x86_64__)
namespace avx2 {
QWW_DECLARE_MEL_PROJECTION()
}  // namespace avx2
#endif

#undef QWW_DECLARE_MEL_PROJECTION

// Runs the variant `simd` (which must be available; all give the same bits) with n_bins =
// spectrum.size() and n_mels = out.size(); stops unless n_bins is 16 q + 1 (q >= 1) and
// weights holds n_mels x n_bins values.
void project_mel(Simd simd, std::span<const float> weights, std::span<const float> spectrum,
                 std::span<float> out);

// The blocks of 16 bins that hold band m's non-zero weights: [first[m], end[m]), both
// 0 for a band without any, and every block for a band with a negative, -0.0 or
// non-finite weight. Built once per Frontend from the weight matrix.
struct MelBlockRanges {
  std::vector<std::uint16_t> first;
  std::vector<std::uint16_t> end;
};
MelBlockRanges mel_block_ranges(std::span<const float> weights, std::size_t n_bins,
                                std::size_t n_mels);

// project_mel(simd, ...) with the banded form of the variant when every spectrum value is
// finite, the dense one otherwise; the same bits either way.
void project_mel(Simd simd, std::span<const float> weights, const MelBlockRanges& ranges,
                 std::span<const float> spectrum, std::span<float> out);

// x[m] = ln(max(x[m], floor)) in single precision; a NaN band becomes ln(floor).
void log_compress(std::span<float> x, float floor);

}  // namespace quelt::frontend
