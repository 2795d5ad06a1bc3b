// File: fuzz/artefact_seeds.h
//
// The seed corpus of artefact_fuzz, made by the artefact writer from the readable inputs
// in artefact_seeds.cc. Each seed starts with artefact_fuzz's mode byte (see
// artefact_fuzz.cc): even for a raw file, odd for a plaintext that the target seals itself.
// Used by make_artefact_seeds (which writes the corpus for the fuzzer) and by the replay
// test of the normal build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelt::fuzz {

struct Seed {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

std::vector<Seed> artefact_seeds();

}  // namespace quelt::fuzz
