// Loading cost of .qelt v2 artefacts: the whole deserialize_artefact (header checks, key
// derivation, AES-256-GCM over the payload, manifest, tensor copies) for payloads of
// several sizes, and the key derivation alone. Artefacts come from the writer.
#include <vector>

#include <benchmark/benchmark.h>

#include "artefact_writer.h"
#include "format/artefact.h"
#include "format/crypto.h"

namespace {

using quelt::writer::Tensor;

// `floats` fp32 values spread over 74 tensors, the engine network's tensor count.
std::vector<std::uint8_t> artefact_of(std::size_t floats) {
  std::vector<Tensor> tensors;
  for (std::size_t i = 0; i < 74; ++i) {
    const std::size_t n = floats / 74 + (i < floats % 74 ? 1 : 0);
    std::vector<float> values(n);
    for (std::size_t j = 0; j < n; ++j) values[j] = static_cast<float>(j % 97) * 0.01f;
    tensors.push_back({"t" + std::to_string(i), "fp32", {n}, quelt::writer::fp32_bytes(values)});
  }
  return quelt::writer::seal(quelt::writer::configured_key(),
                             quelt::writer::make_plaintext(tensors));
}

void BM_DeserializeArtefact(benchmark::State& state) {
  const std::vector<std::uint8_t> file = artefact_of(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto result = quelt::format::deserialize_artefact(file);
    if (!result.has_value()) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_DeserializeArtefact)->Arg(25'000)->Arg(250'000)->Arg(2'500'000);

void BM_DerivePayloadKey(benchmark::State& state) {
  std::array<std::uint8_t, quelt::format::SALT_LEN> salt{};
  for (auto _ : state) {
    quelt::format::PayloadKey key;
    if (!quelt::format::derive_payload_key(salt, key)) state.SkipWithError("derive failed");
    benchmark::DoNotOptimize(key.bytes);
    ++salt[0];
  }
}
BENCHMARK(BM_DerivePayloadKey);

}  // namespace

BENCHMARK_MAIN();
