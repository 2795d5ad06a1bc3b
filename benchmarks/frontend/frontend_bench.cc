// File: frontend/frontend_bench.cc
//
// Speed of the frontend: one whole frame (process_frame), and its two heavy parts, the
// 512-point FFT and the 64 x 257 mel projection, for every variant this machine runs.
// process_frame runs once per 10 ms of audio, so its figure is the one to budget.
#include <complex>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "frontend/frontend.h"

namespace quelt::frontend {
namespace {

std::vector<float> noise(std::size_t n, float scale) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, scale);
  std::vector<float> v(n);
  for (float& f : v) f = normal(rng);
  return v;
}

void process_frame_bench(benchmark::State& state) {
  const Frontend frontend;
  const std::vector<float> frame = noise(400, 0.1f);
  std::vector<std::complex<double>> fft(512);
  std::vector<float> spectrum(257);
  std::vector<float> features(64);
  for (auto _ : state) {
    process_frame(frontend, frame, fft, spectrum, features);
    benchmark::DoNotOptimize(features.data());
  }
}

void fft_bench(benchmark::State& state, Simd simd) {
  const FftPlan plan(512);
  const std::vector<float> samples = noise(512, 0.1f);
  std::vector<std::complex<double>> input(512);
  for (std::size_t i = 0; i < 512; ++i) input[i] = {static_cast<double>(samples[i]), 0.0};
  std::vector<std::complex<double>> buffer(512);
  for (auto _ : state) {
    buffer = input;
    fft_in_place(plan, buffer, simd);
    benchmark::DoNotOptimize(buffer.data());
  }
}

void mel_projection_bench(benchmark::State& state, Simd simd) {
  const std::vector<float> weights = build_mel_weights(16000, 512, 64, 80.0f, 7600.0f);
  const std::vector<float> spectrum = noise(257, 1.0f);
  std::vector<float> out(64);
  for (auto _ : state) {
    project_mel(simd, weights, spectrum, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void frontend_build_bench(benchmark::State& state) {
  for (auto _ : state) {
    Frontend frontend;
    benchmark::DoNotOptimize(&frontend);
  }
}

BENCHMARK(process_frame_bench)->Unit(benchmark::kMicrosecond);
BENCHMARK(frontend_build_bench)->Unit(benchmark::kMicrosecond);

// Registered only where the CPU can run them.
const bool registered = [] {
  for (const Simd simd : {Simd::PORTABLE, Simd::NEON, Simd::AVX2}) {
    if (!simd_available(simd)) continue;
    const std::string name = simd_name(simd);
    benchmark::RegisterBenchmark(("fft/" + name).c_str(), fft_bench, simd)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("mel_projection/" + name).c_str(), mel_projection_bench, simd)
        ->Unit(benchmark::kMicrosecond);
  }
  return true;
}();

}  // namespace
}  // namespace quelt::frontend

BENCHMARK_MAIN();
