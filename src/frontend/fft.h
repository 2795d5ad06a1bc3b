// File: frontend/fft.h
//
// The forward FFT of the frontend: a plain iterative radix-2 decimation-in-time transform
// over complex double-precision values, unscaled, in place. The plan holds the tables the
// transform reads (twiddles, bit-reversal permutation, and the twiddles regrouped per
// stage); it is built once with the Frontend and never changes, so one plan may serve any
// number of sessions at once.
//
// The arithmetic order is fixed and written out by hand (every product and every sum
// rounded on its own, no fused multiply-add, no std::complex operator*): std::complex
// multiplication has special cases for infinities that would change which inputs give
// NaN, and the spectrum of a non-finite frame must be the same on every machine.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cpu.h"

namespace quelt::frontend {

// 2 pi as the double the window and twiddles are computed with.
inline constexpr double TWO_PI = 6.283185307179586;
// Largest transform: fft_in_place works on a copy of the buffer on the stack (16 KB).
inline constexpr std::uint64_t FFT_MAX_SIZE = 1024;

class FftPlan {
 public:
  // n must be a power of two from 2 to FFT_MAX_SIZE (a programming error otherwise).
  explicit FftPlan(std::uint64_t n);

  std::uint64_t size() const { return n_; }
  // twiddles()[k] = (cos t, sin t) with t = (k * -2 pi) / n, for k < n/2.
  std::span<const std::complex<double>> twiddles() const { return twiddles_; }
  // bit_reversal()[i] = i with its low log2(n) bits reversed, for i < n.
  std::span<const std::uint64_t> bit_reversal() const { return bit_reversal_; }
  // The twiddles of stage m (m = 2, 4, ..., n) in the order its butterflies use them,
  // real and imaginary parts apart: stage_re()[m/2 - 1 + j] = twiddles()[j * n/m].real().
  // Copies, so that the transform reads them contiguously; n - 1 entries each.
  std::span<const double> stage_re() const { return stage_re_; }
  std::span<const double> stage_im() const { return stage_im_; }

 private:
  std::uint64_t n_;
  std::vector<std::complex<double>> twiddles_;
  std::vector<std::uint64_t> bit_reversal_;
  std::vector<double> stage_re_;
  std::vector<double> stage_im_;
};

// X[k] = sum over t of x[t] e^(-2 pi i k t / n), in place and unscaled, with the stage
// loops of `simd` (which must be available): four butterflies per vector for AVX2, two
// per 2-lane vector (SSE2 on x86-64, Advanced SIMD on AArch64) for every other variant;
// the same bits either way. Stops with "FFT input length mismatch" unless buffer holds
// exactly plan.size() entries. Allocates nothing.
void fft_in_place(const FftPlan& plan, std::span<std::complex<double>> buffer, Simd simd);

#if defined(__x86_64__)
namespace avx2 {
// fft_in_place for n >= 8 on the buffer seen as 2n doubles (re, im, re, im, ...), four
// values per vector: the permutation by gathers, every stage four butterflies at a time,
// the same bits. Compiled with -mavx2 in a file of its own; raw pointers only, so no
// inline function of that file can be shared with the rest of the program.
void fft(double* x, const std::uint64_t* reverse, const double* stage_re, const double* stage_im,
         std::size_t n);
}  // namespace avx2
#endif

}  // namespace quelt::frontend
