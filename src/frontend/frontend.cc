// File: frontend/frontend.cc
//
// Frontend construction (window, mel weights, FFT plan), the pre-emphasis filter, the
// magnitude rule and the per-frame sequence.
#include "frontend/frontend.h"

#include <cmath>
#include <cstddef>

#include "common/check.h"

namespace quelt::frontend {
namespace {

using Config = FrontendConfig;

std::array<float, Config::frame_length> hann_window() {
  std::array<float, Config::frame_length> window;
  const auto denominator = static_cast<double>(Config::frame_length);
  for (std::uint64_t i = 0; i < Config::frame_length; ++i) {
    // Periodic: divided by the length, not length - 1, so there is one zero (at i = 0).
    const double angle = (static_cast<double>(i) * TWO_PI) / denominator;
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(angle));
  }
  return window;
}

}  // namespace

Frontend::Frontend(Simd simd)
    : window_(hann_window()),
      mel_weights_(build_mel_weights(Config::sample_rate, Config::n_fft, Config::n_mels,
                                     Config::f_min, Config::f_max)),
      fft_plan_(Config::n_fft),
      mel_ranges_(frontend::mel_block_ranges(mel_weights_, Config::n_bins, Config::n_mels)),
      simd_(simd) {
  QWW_CHECK(simd_available(simd), "frontend variant not available on this machine");
}

float preemphasize(std::span<const float> x, float carry, float preemph, std::span<float> y) {
  QWW_CHECK(y.size() == x.size(), "pre-emphasis output length mismatch");
  float prev = carry;
  for (std::size_t i = 0; i < x.size(); ++i) {
    // Read before writing: y may be x itself.
    const float current = x[i];
    y[i] = current - preemph * prev;
    prev = current;
  }
  return prev;
}

void magnitude_spectrum(std::span<const std::complex<double>> x, std::span<float> spectrum,
                        Simd simd) {
  QWW_CHECK(x.size() >= 2 && spectrum.size() == x.size() / 2 + 1, "spectrum length mismatch");
  const std::size_t nyquist = spectrum.size() - 1;
  std::size_t k = 0;
#if defined(__x86_64__)
  if (simd == Simd::AVX2) {
    // Four bins per vector; std::complex<double> is two doubles, real part first (an
    // array-compatible layout).
    k = nyquist - nyquist % 4;
    avx2::magnitude_bins(reinterpret_cast<const double*>(x.data()), k, spectrum.data());
  }
#endif
  (void)simd;
  for (; k < nyquist; ++k) {
    const double re = x[k].real();
    const double im = x[k].imag();
    const double power = std::fma(im, im, re * re);
    spectrum[k] = static_cast<float>(std::sqrt(power));
  }
  const double re = x[nyquist].real();
  const double im = x[nyquist].imag();
  spectrum[nyquist] = static_cast<float>(std::sqrt(re * re + im * im));
}

void process_frame(const Frontend& frontend, std::span<const float> frame,
                   std::span<std::complex<double>> fft_buffer, std::span<float> spectrum,
                   std::span<float> out) {
  QWW_CHECK(frame.size() == Config::frame_length, "frame length mismatch");
  QWW_CHECK(fft_buffer.size() == Config::n_fft, "FFT input length mismatch");
  QWW_CHECK(spectrum.size() == Config::n_bins, "spectrum length mismatch");
  QWW_CHECK(out.size() == Config::n_mels, "feature length mismatch");

  const float* window = frontend.window().data();
  const std::size_t frame_length = frame.size();
  std::size_t done = 0;
#if defined(__x86_64__)
  if (frontend.simd() == Simd::AVX2) {
    // Four samples per vector; std::complex<double> is two doubles, real part first.
    done = frame_length - frame_length % 4;
    avx2::window_frame(frame.data(), window, done, reinterpret_cast<double*>(fft_buffer.data()));
  }
#endif
  for (std::size_t i = done; i < frame_length; ++i) {
    // The product is rounded to single precision before it is widened.
    const float windowed = frame[i] * window[i];
    fft_buffer[i] = {static_cast<double>(windowed), 0.0};
  }
  for (std::size_t i = frame_length; i < fft_buffer.size(); ++i) fft_buffer[i] = {0.0, 0.0};

  fft_in_place(frontend.fft_plan(), fft_buffer, frontend.simd());
  magnitude_spectrum(fft_buffer, spectrum, frontend.simd());
  project_mel(frontend.simd(), frontend.mel_weights(), frontend.mel_block_ranges(), spectrum, out);
  log_compress(out, Config::log_floor);
}

}  // namespace quelt::frontend
