// File: benchmarks/engine/soak_bench.cc
//
// The long run: 24 hours of varied audio (8.64 million frames) through one engine, in
// chunks of every size from 1 sample to 1 s, i16 and f32 mixed, the way a device that
// listens all day would feed it, with the threshold at 0 for one minute an hour so that
// detections happen whatever the model. Checked along the way, once per simulated hour:
//   - the heap stays flat: the bytes held through operator new equal those held right
//     after creation (a push may hold its result list for a moment, nothing more);
//   - the pool's running sum (updated by one addition and one subtraction per frame, never
//     recomputed) agrees with a fresh double-precision sum of the embeddings in its ring.
// The drift tolerance is DRIFT_TOLERANCE times the fresh sum (plus the same absolute
// amount, for a sum near zero); a run past it, or a heap that grew, is reported as an
// error. Figures: drift_abs and drift_rel at the end, drift_max over the hourly checks,
// heap_growth (bytes), peak_extra (bytes above the start held during any push).
//
// Usage: soak_bench [--hours=N] [benchmark flags]   (default 24 hours; not part of CI)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_audio.h"
#include "engine/session.h"
#include "heap_counter.h"
#include "nn/streaming.h"
#include "support/random_model.h"

namespace quelt::bench {
namespace {

constexpr std::uint64_t FRAMES_PER_HOUR = 3600 * 100;
constexpr double DRIFT_TOLERANCE = 1e-2;

struct Drift {
  double abs = 0.0;  // largest |running - fresh| over the 16 values
  double rel = 0.0;  // the same divided by max(1, |fresh|) of that value
};

Drift pool_drift(const nn::RollingPool& pool) {
  Drift d;
  for (std::size_t k = 0; k < nn::BOTTLENECK_CHANNELS; ++k) {
    double fresh = 0.0;
    for (std::uint64_t i = 0; i < pool.count; ++i) fresh += static_cast<double>(pool.slot(i)[k]);
    const double diff = std::fabs(static_cast<double>(pool.sum[k]) - fresh);
    d.abs = std::max(d.abs, diff);
    d.rel = std::max(d.rel, diff / std::max(1.0, std::fabs(fresh)));
  }
  return d;
}

// A chunk size: mostly what audio callbacks deliver (10 ms to 256 ms), sometimes tiny,
// sometimes a whole second.
std::size_t chunk_size(AudioGenerator& rng) {
  switch (rng.below(8)) {
    case 0:
      return 1 + rng.below(16);
    case 1:
      return SAMPLE_RATE;
    default:
      return 160 + rng.below(4096 - 160);
  }
}

void soak(benchmark::State& state, std::uint64_t hours) {
  for (auto _ : state) {
    engine::Session session(testing::random_model(11), engine::SessionConfig{});
    AudioGenerator audio(2026);
    std::vector<float> f32(SAMPLE_RATE);
    std::vector<std::int16_t> i16(SAMPLE_RATE);

    const std::uint64_t start_live = heap_counts().live_bytes;
    reset_peak();
    std::uint64_t detections = 0;
    std::uint64_t growth = 0;
    double drift_max = 0.0;
    bool bad_score = false;
    const std::uint64_t total = hours * FRAMES_PER_HOUR;
    std::uint64_t next_check = FRAMES_PER_HOUR;
    while (session.frame_counter() < total) {
      const std::size_t n = chunk_size(audio);
      if (audio.below(2) == 0) {
        const std::span<std::int16_t> chunk(i16.data(), n);
        audio.fill(chunk);
        detections += session.push_pcm_i16(chunk).size();
      } else {
        const std::span<float> chunk(f32.data(), n);
        audio.fill(chunk);
        detections += session.push_pcm_f32(chunk).size();
      }
      // One minute an hour with the threshold at 0, so that detections (and their result
      // lists) happen whatever the model: a detection every cooldown + 1 frames.
      const bool minute = session.frame_counter() % FRAMES_PER_HOUR < 6000;
      session.set_threshold(minute ? 0.0f : 0.9f);
      if (session.frame_counter() >= next_check) {
        const std::uint64_t live = heap_counts().live_bytes;
        growth = std::max(growth, live > start_live ? live - start_live : 0);
        const Drift d = pool_drift(session.pool());
        drift_max = std::max(drift_max, d.rel);
        const float score = session.current_score();
        bad_score = bad_score || !(score >= 0.0f && score <= 1.0f);
        std::fprintf(stderr, "soak: hour %3llu  held %llu bytes  drift %.3g (rel %.3g)\n",
                     static_cast<unsigned long long>(next_check / FRAMES_PER_HOUR),
                     static_cast<unsigned long long>(live), d.abs, d.rel);
        next_check += FRAMES_PER_HOUR;
      }
    }
    const Drift end = pool_drift(session.pool());
    const HeapCounts heap = heap_counts();
    state.counters["frames"] = static_cast<double>(session.frame_counter());
    state.counters["detections"] = static_cast<double>(detections);
    state.counters["drift_abs"] = end.abs;
    state.counters["drift_rel"] = end.rel;
    state.counters["drift_max"] = std::max(drift_max, end.rel);
    state.counters["heap_growth"] = static_cast<double>(growth);
    state.counters["peak_extra"] = static_cast<double>(heap.peak_bytes - start_live);
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(session.frame_counter()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (growth != 0) state.SkipWithError("the heap grew during the run");
    if (std::max(drift_max, end.rel) > DRIFT_TOLERANCE) {
      state.SkipWithError("the pool's running sum drifted past the tolerance");
    }
    if (bad_score) state.SkipWithError("a score left [0, 1]");
  }
}

}  // namespace
}  // namespace quelt::bench

int main(int argc, char** argv) {
  std::uint64_t hours = 24;
  // Take --hours=N out of the arguments before the benchmark library sees them.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--hours=", 8) == 0) {
      hours = std::strtoull(argv[i] + 8, nullptr, 10);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (hours == 0) hours = 1;
  benchmark::RegisterBenchmark(("soak/" + std::to_string(hours) + "h").c_str(), quelt::bench::soak,
                               hours)
      ->Iterations(1)
      ->Unit(benchmark::kSecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
