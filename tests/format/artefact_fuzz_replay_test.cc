// File: tests/format/artefact_fuzz_replay_test.cc
//
// Runs artefact_fuzz's seeds, their truncations and single-byte changes through the fuzz
// target in the normal test build, so that the target's checks hold on every platform the
// tests run on (the fuzzer itself needs clang on x86-64). A broken check traps.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "artefact_seeds.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace quelt::fuzz {
namespace {

void run(const std::vector<std::uint8_t>& input) {
  ASSERT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
}

TEST(ArtefactFuzzReplay, SeedsTruncationsAndChangedBytes) {
  const std::vector<Seed> seeds = artefact_seeds();
  ASSERT_GE(seeds.size(), 10u);
  for (const Seed& seed : seeds) {
    SCOPED_TRACE(seed.name);
    run(seed.bytes);
    for (std::size_t len = 0; len < seed.bytes.size(); len += 1 + len / 4) {
      run(std::vector<std::uint8_t>(seed.bytes.begin(),
                                    seed.bytes.begin() + static_cast<std::ptrdiff_t>(len)));
    }
    for (std::size_t at = 1; at < seed.bytes.size(); at += 7) {
      std::vector<std::uint8_t> changed = seed.bytes;
      changed[at] ^= 0x5A;
      run(changed);
    }
  }
}

}  // namespace
}  // namespace quelt::fuzz
