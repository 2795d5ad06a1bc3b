// File: benchmarks/engine/heap_bench.cc
//
// Heap bytes held by one engine, counted by the replaced operator new of heap_counter.cc
// and cross-checked with the C library's own statistics (mallinfo2), and what the parts
// of a session hold on their own. Also the peak during creation (the artefact, its
// decrypted payload and the tensor table exist for a moment beside the model) and the
// allocations of a stream of pushes, which must be none.
//
// Counters: held_bytes (what the engine keeps), peak_bytes (high-water mark above the
// starting point during creation), malloc_bytes (mallinfo2's view of held_bytes), and
// push_allocs (operator new calls during 10 s of 1 s pushes, i16 and f32). For the engine
// also object_bytes, sizeof(Session): the fixed-size buffers it holds in itself, which a
// C handle or a Python object adds to held_bytes.
#include <cstdint>
#include <optional>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_audio.h"
#include "engine/load.h"
#include "engine/session.h"
#include "frontend/frontend.h"
#include "heap_counter.h"
#include "nn/streaming.h"
#include "random_artefact.h"
#include "support/random_model.h"

namespace quelt::bench {
namespace {

constexpr std::uint64_t SEED = 11;

void set_bytes(benchmark::State& state, const char* name, std::uint64_t bytes) {
  state.counters[name] = benchmark::Counter(
      static_cast<double>(bytes), benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}

// Live bytes that `make` leaves behind (the object it returns is kept until the end).
template <typename Make>
void held_by(benchmark::State& state, Make make) {
  for (auto _ : state) {
    const std::uint64_t before = heap_counts().live_bytes;
    const std::uint64_t malloc_before = malloc_heap_bytes();
    reset_peak();
    auto object = make();
    const HeapCounts after = heap_counts();
    set_bytes(state, "held_bytes", after.live_bytes - before);
    set_bytes(state, "peak_bytes", after.peak_bytes - before);
    set_bytes(state, "malloc_bytes", malloc_heap_bytes() - malloc_before);
    benchmark::DoNotOptimize(object);
  }
}

void engine_heap(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = testing::random_model_artefact(SEED, false);
  held_by(state, [&] { return engine::create_session(bytes); });
  set_bytes(state, "object_bytes", sizeof(engine::Session));

  // Nothing per frame: 10 s of pushes of both kinds on a fresh engine.
  engine::Session session = engine::create_session(bytes).value();
  std::vector<std::int16_t> pcm16(SAMPLE_RATE);
  std::vector<float> pcm32(SAMPLE_RATE);
  AudioGenerator audio(9);
  const std::uint64_t before = heap_counts().allocations;
  for (int s = 0; s < 5; ++s) {
    audio.fill(std::span<std::int16_t>(pcm16));
    audio.fill(std::span<float>(pcm32));
    benchmark::DoNotOptimize(session.push_pcm_i16(pcm16));
    benchmark::DoNotOptimize(session.push_pcm_f32(pcm32));
  }
  state.counters["push_allocs"] = static_cast<double>(heap_counts().allocations - before);
}

void model_heap(benchmark::State& state) {
  held_by(state, [] { return testing::random_model(SEED); });
}

void frontend_heap(benchmark::State& state) {
  held_by(state, [] { return frontend::Frontend(); });
}

void streaming_state_heap(benchmark::State& state) {
  held_by(state, [] { return nn::StreamingState(); });
}

void pool_heap(benchmark::State& state) {
  held_by(state, [] { return nn::RollingPool(200); });
}

BENCHMARK(engine_heap)->Iterations(3);
BENCHMARK(model_heap)->Iterations(3);
BENCHMARK(frontend_heap)->Iterations(3);
BENCHMARK(streaming_state_heap)->Iterations(3);
BENCHMARK(pool_heap)->Iterations(3);

}  // namespace
}  // namespace quelt::bench

BENCHMARK_MAIN();
