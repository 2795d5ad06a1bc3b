// File: frontend/frontend.h
//
// The audio frontend: turns a 25 ms frame of pre-emphasised 16 kHz samples into 64 log-mel
// features. A Frontend holds what never changes after construction (the periodic Hann
// window, the mel weight matrix, the FFT plan and the variant of the vector code, see
// common/cpu.h); the configuration is a set of constants. The caller owns the
// per-frame work areas and the stream state (the pre-emphasis carry and the sample
// buffer), so one Frontend serves any number of streams and process_frame allocates
// nothing.
//
// Per frame: window the 400 samples, zero-pad to 512, FFT, magnitude of bins 0..256,
// project onto 64 mel bands, ln(max(energy, 1e-6)). No DC removal, dithering, scaling
// or normalisation.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/cpu.h"
#include "frontend/fft.h"
#include "frontend/mel_fb.h"

namespace quelt::frontend {

// The frontend's fixed configuration: nothing can change it, so every size below is a
// compile-time constant and the buffers sized from it are std::arrays.
struct FrontendConfig {
  static constexpr std::uint32_t sample_rate = 16000;  // samples per second
  static constexpr std::uint64_t frame_length = 400;   // samples per frame (25 ms)
  static constexpr std::uint64_t hop_length = 160;     // samples between frame starts (10 ms)
  static constexpr std::uint64_t n_fft = 512;          // FFT size; frames are zero-padded to it
  static constexpr std::uint64_t n_mels = 64;          // mel bands, the length of a feature vector
  static constexpr float preemph = 0.97f;              // bits 0x3F7851EC
  static constexpr float f_min = 80.0f;                // lower edge of band 0, Hz
  static constexpr float f_max = 7600.0f;              // upper edge of the last band, Hz
  static constexpr float log_floor = 1e-6f;  // bits 0x358637BD; the feature of silence is ln of it
  // n_fft/2 + 1, the length of the magnitude spectrum.
  static constexpr std::uint64_t n_bins = n_fft / 2 + 1;
};

// What the tables and the transform need of the configuration.
static_assert(FrontendConfig::n_fft >= 2 * MEL_BLOCK &&
                  (FrontendConfig::n_fft & (FrontendConfig::n_fft - 1)) == 0 &&
                  FrontendConfig::n_fft <= FFT_MAX_SIZE,
              "n_fft must be a power of two from 32 to FFT_MAX_SIZE (the projection works in "
              "blocks of 16 bins)");
static_assert(FrontendConfig::frame_length >= 1 &&
                  FrontendConfig::frame_length <= FrontendConfig::n_fft,
              "frame_length must be between 1 and n_fft");
static_assert(FrontendConfig::hop_length >= 1 &&
                  FrontendConfig::hop_length <= FrontendConfig::frame_length,
              "hop_length must be between 1 and frame_length");
static_assert(FrontendConfig::n_mels >= 1, "n_mels must be > 0");
static_assert(FrontendConfig::f_min >= 0.0f && FrontendConfig::f_min < FrontendConfig::f_max,
              "the mel filterbank needs 0 <= f_min < f_max");
static_assert(FrontendConfig::log_floor > 0.0f, "log_floor must be > 0");

class Frontend {  // built once, read-only afterwards; movable
 public:
  // Builds the window, the mel weights and the FFT plan, in that order. `simd` must be
  // available on this machine (simd_available); every variant gives the same bits.
  explicit Frontend(Simd simd = best_simd());

  // w[i] = 0.5 - 0.5 cos(2 pi i / frame_length), periodic, so w[0] is 0 and the window is
  // symmetric about frame_length / 2 (where it is exactly 1).
  std::span<const float, FrontendConfig::frame_length> window() const { return window_; }
  // n_mels x n_bins, row-major: mel_weights()[m * n_bins + k] weighs bin k in band m.
  std::span<const float> mel_weights() const { return mel_weights_; }
  const FftPlan& fft_plan() const { return fft_plan_; }
  // The blocks of bins that hold each band's non-zero weights (the banded projection).
  const MelBlockRanges& mel_block_ranges() const { return mel_ranges_; }
  // The variant of the windowing, the FFT, the magnitude and the mel projection.
  Simd simd() const { return simd_; }

 private:
  std::array<float, FrontendConfig::frame_length> window_;
  // 64 KB: kept on the heap, so that a Session stays small enough to be built and moved on
  // a thread with a small stack.
  std::vector<float> mel_weights_;
  FftPlan fft_plan_;
  MelBlockRanges mel_ranges_;
  Simd simd_;
};

// Pre-emphasis over a continuous stream: y[i] = x[i] - preemph * prev (product rounded,
// then the subtraction; no fma), prev = carry for i = 0 and x[i-1] afterwards. Returns the
// new carry: x[n-1], or `carry` unchanged when x is empty. y.size() == x.size(); y may be
// x itself (in place), but must not overlap it otherwise.
float preemphasize(std::span<const float> x, float carry, float preemph, std::span<float> y);

// spectrum[k] = |X[k]| rounded once to single precision, for k < spectrum.size(), which
// must be n/2 + 1 for the n entries of x. Bins below n/2 take re*re (rounded) then
// im*im + that in one fused multiply-add; bin n/2 adds the two rounded squares. A NaN
// or infinite part gives NaN or infinity. Four bins per vector for Simd::AVX2 (which must
// then be available), one at a time otherwise; the same bits either way.
void magnitude_spectrum(std::span<const std::complex<double>> x, std::span<float> spectrum,
                        Simd simd);

#if defined(__x86_64__)
namespace avx2 {
// spectrum[k] for k < count (a multiple of 4) from the interleaved (re, im) pairs of x,
// by the fused rule of the bins below n/2. In spectrum_avx2.cc, compiled with -mavx2 -mfma.
void magnitude_bins(const double* x, std::size_t count, float* spectrum);
// out[2i] = frame[i] * window[i] rounded to single precision and widened, out[2i + 1] =
// 0.0, for i < count (a multiple of 4): the windowing step of process_frame.
void window_frame(const float* frame, const float* window, std::size_t count, double* out);
}  // namespace avx2
#endif

// Fills out (64) with the frame's log-mel features. Sizes are QWW_CHECKed
// ("FFT input length mismatch" for the FFT buffer). Allocates nothing.
void process_frame(const Frontend& frontend, std::span<const float> frame,
                   std::span<std::complex<double>> fft_buffer, std::span<float> spectrum,
                   std::span<float> out);

}  // namespace quelt::frontend
