// File: frontend/fft.h
//
// The forward FFT of the frontend: a plain iterative radix-2 decimation-in-time transform
// over complex double-precision values, unscaled, in place. The plan holds the two tables
// the transform reads (twiddles and bit-reversal permutation); it is built once with the
// Frontend and never changes, so one plan may serve any number of sessions at once.
//
// The arithmetic order is fixed and written out by hand (every product and every sum
// rounded on its own, no fused multiply-add, no std::complex operator*): std::complex
// multiplication has special cases for infinities that would change which inputs give
// NaN, and the spectrum of a non-finite frame must be the same on every machine.
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

namespace quelt::frontend {

// 2 pi as the double the window and twiddles are computed with.
inline constexpr double TWO_PI = 6.283185307179586;

class FftPlan {
 public:
  // n must be a power of two, at least 2 (a programming error otherwise).
  explicit FftPlan(std::uint64_t n);

  std::uint64_t size() const { return n_; }
  // twiddles()[k] = (cos t, sin t) with t = (k * -2 pi) / n, for k < n/2.
  std::span<const std::complex<double>> twiddles() const { return twiddles_; }
  // bit_reversal()[i] = i with its low log2(n) bits reversed, for i < n.
  std::span<const std::uint64_t> bit_reversal() const { return bit_reversal_; }

 private:
  std::uint64_t n_;
  std::vector<std::complex<double>> twiddles_;
  std::vector<std::uint64_t> bit_reversal_;
};

// X[k] = sum over t of x[t] e^(-2 pi i k t / n), in place and unscaled. Stops with
// "FFT input length mismatch" unless buffer holds exactly plan.size() entries.
// Allocates nothing.
void fft_in_place(const FftPlan& plan, std::span<std::complex<double>> buffer);

}  // namespace quelt::frontend
