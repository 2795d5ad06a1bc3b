// Loading on many threads at once from a cold start: the first uses of the built-in key
// material and of the reader's OpenSSL library context race, and every thread must still
// get the same tensors as a single-threaded load. Run under ThreadSanitizer by the tsan
// preset (label "threads").
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "artefact_writer.h"
#include "format/artefact.h"
#include "format/key_material.h"

namespace quelt::format {
namespace {

std::vector<std::uint8_t> artefact(std::uint8_t salt_byte, float value) {
  const std::vector<float> weights(64, value);
  writer::SealOptions options;
  options.salt[0] = salt_byte;  // different salts: different payload keys
  return writer::seal(writer::configured_key(),
                      writer::make_plaintext({{"w", "fp32", {8, 8}, writer::fp32_bytes(weights)},
                                              {"h", "fp16", {64}, writer::fp16_bytes(weights)}}),
                      options);
}

TEST(DeserializeThreads, ColdStartRaceGivesIdenticalResults) {
  // Nothing in this process has touched the key material yet (the writer has its own).
  const std::vector<std::uint8_t> files[] = {artefact(1, 0.25f), artefact(2, -3.0f)};
  ASSERT_FALSE(KeyMaterialSource::input_keying_material_ready());

  constexpr int THREADS = 12;
  constexpr int ROUNDS = 20;
  std::latch start(THREADS);
  std::vector<std::vector<std::string>> failures(THREADS);
  std::vector<std::vector<TensorMap>> loaded(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();  // all threads reach the first load together
      for (int round = 0; round < ROUNDS; ++round) {
        const auto& file = files[(t + round) % 2];
        auto result = deserialize_artefact(file);
        if (!result.has_value()) {
          failures[t].push_back(render(result.error()));
        } else if (round < 2) {
          loaded[t].push_back(std::move(result.value().tensors));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(KeyMaterialSource::input_keying_material_ready());

  const auto reference_a = deserialize_artefact(files[0]);
  const auto reference_b = deserialize_artefact(files[1]);
  ASSERT_TRUE(reference_a.has_value() && reference_b.has_value());
  for (int t = 0; t < THREADS; ++t) {
    EXPECT_TRUE(failures[t].empty()) << "thread " << t << ": " << failures[t].front();
    ASSERT_EQ(loaded[t].size(), 2u);
    // Round 0 loaded files[t % 2], round 1 the other one.
    const auto& first = t % 2 == 0 ? reference_a : reference_b;
    const auto& second = t % 2 == 0 ? reference_b : reference_a;
    for (const auto& [name, tensor] : first.value().tensors) {
      EXPECT_EQ(loaded[t][0].at(name).data, tensor.data) << "thread " << t << " " << name;
    }
    for (const auto& [name, tensor] : second.value().tensors) {
      EXPECT_EQ(loaded[t][1].at(name).data, tensor.data) << "thread " << t << " " << name;
    }
  }
}

}  // namespace
}  // namespace quelt::format
