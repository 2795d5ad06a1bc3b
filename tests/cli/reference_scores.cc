// File: tests/cli/reference_scores.cc
//
// Every frame's score of a raw s16le 16 kHz mono file, taken from the session's per-frame
// observer: the whole file goes in as one i16 push, with no silence before or after it.
// The CLI reaches its scores by another road (libsndfile, float samples in blocks, its own
// reading of raw input), so the two agreeing bit for bit checks that road.
// Prints one score per line, "%.9g" (enough digits to round-trip a float).
//
// Usage: reference_scores MODEL.qelt AUDIO.raw
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include "engine/load.h"
#include "engine/session.h"

namespace {

std::vector<std::uint8_t> whole_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::perror(path);
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MODEL.qelt AUDIO.raw\n", argv[0]);
    return 2;
  }
  auto session = quelt::engine::create_session(whole_file(argv[1]));
  if (!session.has_value()) {
    std::fprintf(stderr, "%s: the engine cannot load this model\n", argv[1]);
    return 1;
  }
  const std::vector<std::uint8_t> audio = whole_file(argv[2]);
  std::vector<std::int16_t> pcm(audio.size() / 2);
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(audio[2 * i] | (audio[2 * i + 1] << 8));
  }
  std::uint64_t frames = 0;
  bool in_order = true;
  session.value().push(std::span<const std::int16_t>(pcm),
                       [&](std::uint64_t frame_index, float score, bool) {
                         in_order = in_order && frame_index == frames++;
                         std::printf("%.9g\n", static_cast<double>(score));
                       });
  return in_order ? 0 : 1;
}
