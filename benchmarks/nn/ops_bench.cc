// File: nn/ops_bench.cc
//
// Speed of the float kernels, per call and for the 55 calls of one network frame, for
// every variant built on this machine. The frame figure is the budget that matters: the
// engine runs it once per 10 ms of audio.
#include <cstddef>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/cpu.h"
#include "nn/ops.h"

namespace quelt::nn {
namespace {

// Random weights and activations, sized like one block of the network.
struct Data {
  Data() {
    std::mt19937 rng(7);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (std::vector<float>* v : {&x, &w, &b, &scale, &shift, &frames, &dw}) {
      for (float& f : *v) f = normal(rng);
    }
  }
  // The 13 frames that the taps of a block with `dilation` meet.
  void tap_frames(std::size_t dilation) {
    for (std::size_t k = 0; k < KERNEL_SIZE; ++k) taps[k] = frames.data() + k * dilation * CHANNELS;
  }
  std::vector<float> x = std::vector<float>(64), y = std::vector<float>(64),
                     t = std::vector<float>(64);
  std::vector<float> w = std::vector<float>(64 * 64), b = std::vector<float>(64);
  std::vector<float> scale = std::vector<float>(64), shift = std::vector<float>(64);
  std::vector<float> frames = std::vector<float>(history_length(4) * CHANNELS);
  std::vector<float> dw = std::vector<float>(KERNEL_SIZE * CHANNELS);  // tap-major
  const float* taps[KERNEL_SIZE] = {};
};

template <typename K>
void pointwise_64(benchmark::State& state) {
  Data d;
  for (auto _ : state) {
    K::pointwise_conv(d.x.data(), d.w.data(), d.b.data(), 64, d.y.data());
    benchmark::DoNotOptimize(d.y.data());
  }
}

template <typename K>
void layer_norm_64(benchmark::State& state) {
  Data d;
  for (auto _ : state) {
    K::layer_norm(d.x.data(), d.scale.data(), d.shift.data(), 64, d.y.data());
    benchmark::DoNotOptimize(d.y.data());
  }
}

template <typename K>
void depthwise(benchmark::State& state) {
  Data d;
  d.tap_frames(4);
  for (auto _ : state) {
    K::depthwise_frames(d.taps, d.dw.data(), d.b.data(), d.y.data());
    benchmark::DoNotOptimize(d.y.data());
  }
}

// The kernel calls of one frame in network order (history updates excluded).
template <typename K>
void frame(benchmark::State& state) {
  Data d;
  for (auto _ : state) {
    K::pointwise_conv(d.x.data(), d.w.data(), d.b.data(), 64, d.y.data());
    K::layer_norm(d.y.data(), d.scale.data(), d.shift.data(), 64, d.t.data());
    K::relu_in_place(d.t.data(), 64);
    for (const std::size_t dilation : BLOCK_DILATIONS) {
      d.tap_frames(dilation);
      K::depthwise_frames(d.taps, d.dw.data(), d.b.data(), d.y.data());
      K::layer_norm(d.y.data(), d.scale.data(), d.shift.data(), 64, d.t.data());
      K::relu_in_place(d.t.data(), 64);
      K::pointwise_conv(d.t.data(), d.w.data(), d.b.data(), 64, d.y.data());
      K::layer_norm(d.y.data(), d.scale.data(), d.shift.data(), 64, d.t.data());
      K::add_relu(d.t.data(), d.x.data(), d.y.data(), 64);
    }
    K::pointwise_conv(d.y.data(), d.w.data(), d.b.data(), 16, d.t.data());
    K::layer_norm(d.t.data(), d.scale.data(), d.shift.data(), 16, d.y.data());
    K::relu_in_place(d.y.data(), 16);
    benchmark::DoNotOptimize(dense_head(d.y.data(), d.w.data(), d.b.data()));
  }
}

#define QWW_KERNEL_BENCHMARKS(K) \
  BENCHMARK(pointwise_64<K>);    \
  BENCHMARK(layer_norm_64<K>);   \
  BENCHMARK(depthwise<K>);       \
  BENCHMARK(frame<K>)->Unit(benchmark::kMicrosecond);

QWW_KERNEL_BENCHMARKS(PortableKernels)
#if defined(__aarch64__)
QWW_KERNEL_BENCHMARKS(NeonKernels)
#endif

#if defined(__x86_64__)
// Registered only where the CPU can run them.
const bool avx2_registered = [] {
  if (!simd_available(Simd::AVX2)) return false;
  benchmark::RegisterBenchmark("pointwise_64<Avx2Kernels>", pointwise_64<Avx2Kernels>);
  benchmark::RegisterBenchmark("layer_norm_64<Avx2Kernels>", layer_norm_64<Avx2Kernels>);
  benchmark::RegisterBenchmark("depthwise<Avx2Kernels>", depthwise<Avx2Kernels>);
  benchmark::RegisterBenchmark("frame<Avx2Kernels>", frame<Avx2Kernels>)
      ->Unit(benchmark::kMicrosecond);
  return true;
}();
#endif

}  // namespace
}  // namespace quelt::nn

BENCHMARK_MAIN();
