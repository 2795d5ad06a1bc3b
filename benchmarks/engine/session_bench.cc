// File: benchmarks/engine/session_bench.cc
//
// What one second of audio and one engine cost: the parts of a frame (process_frame,
// network_step, the pool with the score), a whole 1 s push through a session (i16 and
// f32), and the creation of an engine from artefact bytes and from a file, with its
// stages (decryption and manifest, model build, session construction with the warm-up).
//
// Push figures carry two counters: per_frame (CPU time per 10 ms frame) and
// audio_x (seconds of audio processed per CPU second). The model has random weights of
// the real architecture; the cost of a frame does not depend on the weights' values.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_audio.h"
#include "common/file_reader.h"
#include "engine/load.h"
#include "engine/session.h"
#include "format/artefact.h"
#include "frontend/frontend.h"
#include "nn/streaming.h"
#include "random_artefact.h"
#include "support/random_model.h"

namespace quelt::bench {
namespace {

constexpr std::uint64_t SEED = 11;
constexpr std::size_t SECOND = SAMPLE_RATE;
// Frames a 1 s push yields once the sample buffer holds its 240-sample overlap.
constexpr double FRAMES_PER_SECOND = static_cast<double>(SECOND) / HOP;

const std::vector<std::uint8_t>& artefact_bytes() {
  static const std::vector<std::uint8_t> bytes = testing::random_model_artefact(SEED, false);
  return bytes;
}

// Pre-emphasised frames of the benchmark audio, one after another.
std::vector<float> test_frames(std::size_t frames) {
  std::vector<float> raw(FRAME + HOP * frames);
  AudioGenerator(3).fill(std::span<float>(raw));
  std::vector<float> y(raw.size());
  frontend::preemphasize(raw, 0.0f, 0.97f, y);
  return y;
}

void add_frame_counters(benchmark::State& state, double frames) {
  const double total = frames * static_cast<double>(state.iterations());
  // CPU time per frame (printed with a unit prefix: "8u" is 8 us) and seconds of audio
  // per CPU second.
  state.counters["per_frame"] =
      benchmark::Counter(total, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["audio_x"] = benchmark::Counter(total * 0.01, benchmark::Counter::kIsRate);
}

void process_frame(benchmark::State& state) {
  const frontend::Frontend fe;
  const std::vector<float> frames = test_frames(64);
  std::vector<std::complex<double>> fft(frontend::FrontendConfig::n_fft);
  std::vector<float> spectrum(frontend::FrontendConfig::n_bins);
  std::vector<float> features(frontend::FrontendConfig::n_mels);
  std::size_t j = 0;
  for (auto _ : state) {
    frontend::process_frame(fe, std::span<const float>(frames).subspan(j * HOP, FRAME), fft,
                            spectrum, features);
    benchmark::DoNotOptimize(features.data());
    j = (j + 1) % 64;
  }
}

// Log-mel features of real frames, so that the network sees plausible inputs.
std::vector<std::array<float, nn::N_FEATURES>> test_features(std::size_t count) {
  const frontend::Frontend fe;
  const std::vector<float> frames = test_frames(count);
  std::vector<std::complex<double>> fft(frontend::FrontendConfig::n_fft);
  std::vector<float> spectrum(frontend::FrontendConfig::n_bins);
  std::vector<std::array<float, nn::N_FEATURES>> out(count);
  for (std::size_t j = 0; j < count; ++j) {
    frontend::process_frame(fe, std::span<const float>(frames).subspan(j * HOP, FRAME), fft,
                            spectrum, out[j]);
  }
  return out;
}

void network_step(benchmark::State& state) {
  const nn::WakeWordModel model = testing::random_model(SEED);
  const auto features = test_features(64);
  nn::StreamingState network;
  std::array<float, nn::BOTTLENECK_CHANNELS> embedding{};
  std::size_t j = 0;
  for (auto _ : state) {
    nn::network_step(model, network, features[j], embedding);
    benchmark::DoNotOptimize(embedding.data());
    j = (j + 1) % features.size();
  }
}

void pool_and_score(benchmark::State& state) {
  const nn::WakeWordModel model = testing::random_model(SEED);
  nn::RollingPool pool(200);
  std::array<float, nn::BOTTLENECK_CHANNELS> embedding{};
  for (std::size_t k = 0; k < embedding.size(); ++k) embedding[k] = 0.125f * static_cast<float>(k);
  for (auto _ : state) {
    const float score = nn::score_of_logit(nn::pool_push(pool, embedding, model));
    benchmark::DoNotOptimize(score);
    embedding[0] = score;  // a dependency from one frame to the next, as in a stream
  }
}

template <typename Sample>
void push_one_second(benchmark::State& state) {
  engine::Session session(testing::random_model(SEED), engine::SessionConfig{});
  // Many different seconds, so that no branch or cache learns one chunk.
  constexpr std::size_t CHUNKS = 16;
  std::vector<Sample> audio(CHUNKS * SECOND);
  AudioGenerator(5).fill(std::span<Sample>(audio));
  std::size_t c = 0;
  for (auto _ : state) {
    const std::span<const Sample> chunk(audio.data() + c * SECOND, SECOND);
    if constexpr (sizeof(Sample) == 2) {
      benchmark::DoNotOptimize(session.push_pcm_i16(chunk));
    } else {
      benchmark::DoNotOptimize(session.push_pcm_f32(chunk));
    }
    c = (c + 1) % CHUNKS;
  }
  add_frame_counters(state, FRAMES_PER_SECOND);
}

void create_from_bytes(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = artefact_bytes();
  for (auto _ : state) {
    auto session = engine::create_session(bytes);
    if (!session.has_value()) state.SkipWithError("create_session failed");
    benchmark::DoNotOptimize(session);
  }
}

// Reads the whole file, as the Python module's from_path does, then creates the engine.
void create_from_file(benchmark::State& state) {
  char path[] = "/tmp/qww_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("mkstemp failed");
    return;
  }
  const std::vector<std::uint8_t>& bytes = artefact_bytes();
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  for (auto _ : state) {
    if (!written) break;
    const auto data = read_whole_file(path);
    if (!data.has_value()) {
      state.SkipWithError("could not read the artefact");
      break;
    }
    auto session = engine::create_session(data.value());
    if (!session.has_value()) state.SkipWithError("create_session failed");
    benchmark::DoNotOptimize(session);
  }
  if (!written) state.SkipWithError("could not write the artefact");
  std::remove(path);
}

// The stages of creation on their own.
void create_stage_decrypt(benchmark::State& state) {
  const std::vector<std::uint8_t>& bytes = artefact_bytes();
  for (auto _ : state) {
    auto artefact = format::deserialize_artefact(bytes);
    benchmark::DoNotOptimize(artefact);
  }
}

void create_stage_build(benchmark::State& state) {
  const format::ModelArtefact artefact = format::deserialize_artefact(artefact_bytes()).value();
  for (auto _ : state) {
    auto model = nn::build_model(artefact.tensors);
    benchmark::DoNotOptimize(model);
  }
}

void create_stage_session(benchmark::State& state) {
  const nn::WakeWordModel model = testing::random_model(SEED);
  for (auto _ : state) {
    state.PauseTiming();
    nn::WakeWordModel copy = model;
    state.ResumeTiming();
    engine::Session session(std::move(copy), engine::SessionConfig{});
    benchmark::DoNotOptimize(session);
  }
}

// reset() clears the state and warms up again: 200 network steps on silence.
void warm_up(benchmark::State& state) {
  engine::Session session(testing::random_model(SEED), engine::SessionConfig{});
  for (auto _ : state) {
    session.reset();
    benchmark::DoNotOptimize(session.current_score());
  }
}

BENCHMARK(process_frame);
BENCHMARK(network_step);
BENCHMARK(pool_and_score);
BENCHMARK(push_one_second<std::int16_t>)->Name("push_1s_i16")->Unit(benchmark::kMicrosecond);
BENCHMARK(push_one_second<float>)->Name("push_1s_f32")->Unit(benchmark::kMicrosecond);
BENCHMARK(create_from_bytes)->Unit(benchmark::kMicrosecond);
BENCHMARK(create_from_file)->Unit(benchmark::kMicrosecond);
BENCHMARK(create_stage_decrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(create_stage_build)->Unit(benchmark::kMicrosecond);
BENCHMARK(create_stage_session)->Unit(benchmark::kMicrosecond);
BENCHMARK(warm_up)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quelt::bench

BENCHMARK_MAIN();
