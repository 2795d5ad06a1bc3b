// File: benchmarks/engine/frame_cost.cc
//
// The driver of the instruction counts: run under valgrind's callgrind with
// --collect-atstart=no, it counts only two stretches of work and writes each to its own
// profile: "create" (an engine from artefact bytes, warm-up included) and "push"
// (SECONDS x 100 frames of varied audio in 1 s i16 chunks). Instruction counts repeat
// exactly from run to run, however loaded the machine is; scripts/run-benchmarks.sh
// divides the push profile by the number of frames, in total and per function.
//
// Usage: valgrind --tool=callgrind --collect-atstart=no frame_cost [seconds]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
// Without valgrind's header (a cross build) the program still runs, counting nothing.
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

#include "bench_audio.h"
#include "engine/load.h"
#include "random_artefact.h"

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20;
  if (seconds <= 0) return 2;
  const std::vector<std::uint8_t> bytes = quelt::testing::random_model_artefact(11, false);
  std::vector<std::int16_t> audio(static_cast<std::size_t>(seconds) * quelt::bench::SAMPLE_RATE);
  quelt::bench::AudioGenerator(5).fill(std::span<std::int16_t>(audio));

  CALLGRIND_TOGGLE_COLLECT;
  auto session = quelt::engine::create_session(bytes);
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT("create");
  if (!session.has_value()) return 1;

  std::uint64_t detections = 0;
  CALLGRIND_TOGGLE_COLLECT;
  for (long s = 0; s < seconds; ++s) {
    const std::span<const std::int16_t> chunk(
        audio.data() + static_cast<std::size_t>(s) * quelt::bench::SAMPLE_RATE,
        quelt::bench::SAMPLE_RATE);
    detections += session.value().push_pcm_i16(chunk).size();
  }
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT("push");
  std::printf("frames %llu detections %llu\n",
              static_cast<unsigned long long>(session.value().frame_counter()),
              static_cast<unsigned long long>(detections));
  return 0;
}
