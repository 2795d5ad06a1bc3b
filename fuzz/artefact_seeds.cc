// File: fuzz/artefact_seeds.cc
//
// Seeds for artefact_fuzz: a few valid files in odd layouts, files broken at each header
// check, and plaintexts (manifest plus tensor data) for the target's sealing mode, so that
// mutation starts from every branch of the container reader.
#include "artefact_seeds.h"

#include <string>

#include "artefact_writer.h"

namespace quelt::fuzz {
namespace {

using writer::SealOptions;
using writer::Tensor;

std::vector<Tensor> small_model() {
  return {
      {"stem_conv.weight",
       "fp32",
       {2, 3},
       writer::fp32_bytes(std::vector<float>{1, 2, 3, 4, 5, 6})},
      {"head.bias", "fp16", {2}, writer::fp16_bytes(std::vector<float>{0.5f, -65504.0f})},
      {"scalar", "fp32", {}, writer::fp32_bytes(std::vector<float>{-0.0f})},
  };
}

std::vector<std::uint8_t> with_mode(std::uint8_t mode, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> out{mode};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::vector<std::uint8_t> raw(const std::vector<std::uint8_t>& file) { return with_mode(0, file); }

// Sealing mode: mode byte, three layout bytes (see artefact_fuzz.cc), then the plaintext.
std::vector<std::uint8_t> to_seal(std::uint8_t layout, std::uint8_t gap, std::uint8_t extra,
                                  const std::vector<std::uint8_t>& plaintext) {
  std::vector<std::uint8_t> body{layout, gap, extra};
  body.insert(body.end(), plaintext.begin(), plaintext.end());
  return with_mode(1, body);
}

}  // namespace

std::vector<Seed> artefact_seeds() {
  const writer::Key& key = writer::configured_key();
  const std::vector<std::uint8_t> plaintext = writer::make_plaintext(small_model());
  auto sealed = [&](auto&& edit) {
    SealOptions o;
    edit(o);
    return raw(writer::seal(key, plaintext, o));
  };
  std::vector<Seed> seeds;
  seeds.push_back({"valid", sealed([](SealOptions&) {})});
  seeds.push_back({"crypto_in_header", sealed([](SealOptions& o) { o.crypto_offset = 60; })});
  seeds.push_back({"payload_first", sealed([&](SealOptions& o) {
                     o.payload_offset = 64;
                     o.crypto_offset = 64 + plaintext.size() + 3;
                     o.trailing_bytes = 9;
                     o.filler = 0xEE;
                   })});
  seeds.push_back({"bad_magic", sealed([](SealOptions& o) { o.magic = 0x464C457F; })});
  seeds.push_back({"version_3", sealed([](SealOptions& o) { o.version_major = 3; })});
  seeds.push_back({"flags_2", sealed([](SealOptions& o) { o.flags = 2; })});
  seeds.push_back({"crypto_len_45", sealed([](SealOptions& o) { o.crypto_len = 45; })});
  seeds.push_back({"empty_payload", raw(writer::seal(key, {}))});
  std::vector<std::uint8_t> huge = writer::seal(key, plaintext);
  writer::store_u64(huge, writer::field::PAYLOAD_LEN, ~std::uint64_t{0});
  seeds.push_back({"huge_payload_claim", raw(huge)});
  std::vector<std::uint8_t> short_file = writer::seal(key, plaintext);
  short_file.resize(100);
  seeds.push_back({"truncated", raw(short_file)});
  seeds.push_back(
      {"header_only", raw(std::vector<std::uint8_t>(short_file.begin(), short_file.begin() + 64))});

  seeds.push_back({"seal_small_model", to_seal(0, 0, 0, plaintext)});
  seeds.push_back({"seal_gaps", to_seal(1, 17, 5, plaintext)});
  seeds.push_back({"seal_payload_first", to_seal(2, 3, 0x80, plaintext)});
  seeds.push_back(
      {"seal_array_form", to_seal(0, 0, 0, writer::make_plaintext_raw(R"([2,"",0,{}])", {}))});
  seeds.push_back({"seal_manifest_len_overrun",
                   to_seal(0, 0, 0, std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0x7F, '{', '}'})});
  seeds.push_back({"seal_short_prefix", to_seal(0, 0, 0, std::vector<std::uint8_t>{7, 0})});
  std::vector<Tensor> broken = small_model();
  broken[0].dtype = "bf16";
  broken[1].shape = {3};
  seeds.push_back({"seal_broken_tensors", to_seal(0, 0, 0, writer::make_plaintext(broken))});
  return seeds;
}

}  // namespace quelt::fuzz
