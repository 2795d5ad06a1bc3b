// Tests of format/v2 (deserialize_artefact) and format/header: artefacts made by the
// writer from readable inputs, valid, oddly placed and broken, checked against the
// documented error of the first failing step. Errors are compared in their rendered form,
// which spells out the kind and every field.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_counter.h"
#include "artefact_writer.h"
#include "format/artefact.h"
#include "format/errors.h"
#include "format/header.h"

namespace quelt::format {
namespace {

using writer::SealOptions;
using writer::Tensor;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

const std::vector<Tensor>& sample_tensors() {
  static const std::vector<Tensor> tensors = {
      {"stem_conv.weight",
       "fp32",
       {2, 3},
       writer::fp32_bytes(std::vector<float>{1.5f, -2.0f, 0.0f, 3.25f, 1e-8f, -0.0f})},
      // 65504 is the largest fp16, 2^-24 the smallest subnormal.
      {"head.bias",
       "fp16",
       {4},
       writer::fp16_bytes(std::vector<float>{0.5f, -1.0f, 65504.0f, 5.9604645e-8f})},
      {"scale", "fp32", {}, writer::fp32_bytes(std::vector<float>{7.0f})},
      {"empty", "fp16", {0, 5}, {}},
  };
  return tensors;
}

constexpr const char* SAMPLE_CONFIG = R"({"sample_rate":16000,"labels":["computer"]})";

std::vector<std::uint8_t> sample_plaintext() {
  return writer::make_plaintext(sample_tensors(), "wake_word", SAMPLE_CONFIG);
}

std::vector<std::uint8_t> sealed(const SealOptions& options = {}) {
  return writer::seal(writer::configured_key(), sample_plaintext(), options);
}

std::vector<std::uint8_t> sealed_plaintext(std::span<const std::uint8_t> plaintext) {
  return writer::seal(writer::configured_key(), plaintext);
}

// "ok" or the rendered error.
std::string outcome(std::span<const std::uint8_t> file) {
  const auto result = deserialize_artefact(file);
  return result.has_value() ? "ok" : render(result.error());
}

void expect_sample(const ModelArtefact& artefact) {
  EXPECT_EQ(artefact.model_type, "wake_word");
  EXPECT_EQ(artefact.config, SAMPLE_CONFIG);
  ASSERT_EQ(artefact.tensors.size(), sample_tensors().size());
  for (const Tensor& t : sample_tensors()) {
    const auto it = artefact.tensors.find(t.name);
    ASSERT_NE(it, artefact.tensors.end()) << t.name;
    EXPECT_EQ(it->second.dtype, t.dtype == "fp32" ? TensorDtype::Fp32 : TensorDtype::Fp16);
    EXPECT_EQ(it->second.shape, t.shape) << t.name;
    EXPECT_EQ(it->second.data, t.bytes) << t.name;
  }
}

TEST(Deserialize, RoundTripsFp32AndFp16Tensors) {
  const std::vector<std::uint8_t> file = sealed();
  const auto result = deserialize_artefact(file);
  ASSERT_TRUE(result.has_value()) << render(result.error());
  expect_sample(result.value());
  // fp16 bytes as rounded by the writer: 0.5 = 0x3800, -1 = 0xbc00, 65504 = 0x7bff, 2^-24 = 1.
  const std::vector<std::uint8_t> fp16 = {0x00, 0x38, 0x00, 0xbc, 0xff, 0x7b, 0x01, 0x00};
  EXPECT_EQ(result.value().tensors.at("head.bias").data, fp16);
}

TEST(Deserialize, ResultOwnsItsBytesAndTheInputIsUntouched) {
  std::vector<std::uint8_t> file = sealed();
  const std::vector<std::uint8_t> before = file;
  auto result = deserialize_artefact(file);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(file, before);
  std::fill(file.begin(), file.end(), std::uint8_t{0xAA});
  file.clear();
  file.shrink_to_fit();
  expect_sample(result.value());
}

TEST(HeaderChecks, ShortInputsAreTruncatedWhateverTheirBytes) {
  const std::vector<std::uint8_t> file = sealed();
  EXPECT_EQ(outcome({}), "FormatTruncated { offset: 0, needed: 64, actual: 0 }");
  EXPECT_EQ(outcome(std::span(file).first(1)),
            "FormatTruncated { offset: 0, needed: 64, actual: 1 }");
  EXPECT_EQ(outcome(std::span(file).first(63)),
            "FormatTruncated { offset: 0, needed: 64, actual: 63 }");
  const std::vector<std::uint8_t> junk(63, 0xFF);
  EXPECT_EQ(outcome(junk), "FormatTruncated { offset: 0, needed: 64, actual: 63 }");
}

TEST(HeaderChecks, RunInOrderMagicVersionFlagsCryptoLength) {
  struct Case {
    const char* name;
    SealOptions options;
    const char* expected;
  };
  auto with = [](auto&& edit) {
    SealOptions o;
    edit(o);
    return o;
  };
  const Case cases[] = {
      {"ELF magic, bad version too", with([](SealOptions& o) {
         o.magic = 0x464C457F;
         o.version_major = 3;
       }),
       "FormatBadMagic { found: 1179403647 }"},
      {"version 1", with([](SealOptions& o) { o.version_major = 1; }),
       "FormatUnsupportedMajor { found: 1, expected: 2 }"},
      {"version 3 with bad flags", with([](SealOptions& o) {
         o.version_major = 3;
         o.flags = 0;
       }),
       "FormatUnsupportedMajor { found: 3, expected: 2 }"},
      {"flags 2", with([](SealOptions& o) { o.flags = 2; }),
       "FormatBadFlags { found: 2, expected: 1 }"},
      {"flags 0 and crypto_len 45", with([](SealOptions& o) {
         o.flags = 0;
         o.crypto_len = 45;
       }),
       "FormatBadFlags { found: 0, expected: 1 }"},
      {"crypto_len 45", with([](SealOptions& o) { o.crypto_len = 45; }),
       "FormatBadFlags { found: 45, expected: 44 }"},
      {"crypto_len 2^32 + 44", with([](SealOptions& o) { o.crypto_len = (1ull << 32) + 44; }),
       "FormatBadFlags { found: 44, expected: 44 }"},
      {"crypto_len 0", with([](SealOptions& o) { o.crypto_len = 0; }),
       "FormatBadFlags { found: 0, expected: 44 }"},
      // Bytes the reader does not interpret may hold anything when sealed that way.
      {"flags 3", with([](SealOptions& o) { o.flags = 3; }), "ok"},
      {"all flags", with([](SealOptions& o) { o.flags = 0xFFFFFFFF; }), "ok"},
      {"version_minor", with([](SealOptions& o) { o.version_minor = 0xFFFF; }), "ok"},
      {"reserved bytes", with([](SealOptions& o) {
         o.reserved_a.fill(0xA5);
         o.reserved_b.fill(0x5A);
       }),
       "ok"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(sealed(c.options)), c.expected) << c.name;
  }
  // The magic is judged from the header alone: a bare 64-byte header is enough.
  const std::vector<std::uint8_t> bare = sealed(cases[0].options);
  EXPECT_EQ(outcome(std::span(bare).first(64)), "FormatBadMagic { found: 1179403647 }");
}

std::vector<std::uint8_t> with_u64(std::vector<std::uint8_t> file, std::size_t field,
                                   std::uint64_t value) {
  writer::store_u64(file, field, value);
  return file;
}

std::string truncated(std::uint64_t offset, std::uint64_t needed, std::uint64_t actual) {
  return "FormatTruncated { offset: " + std::to_string(offset) +
         ", needed: " + std::to_string(needed) + ", actual: " + std::to_string(actual) + " }";
}

TEST(RegionChecks, CryptoBlockMustFitInTheInput) {
  const std::vector<std::uint8_t> file = sealed();
  const std::uint64_t len = file.size();
  auto at = [&](std::uint64_t crypto_offset) {
    return outcome(with_u64(file, writer::field::CRYPTO_OFFSET, crypto_offset));
  };
  EXPECT_EQ(at(len - 43), truncated(len - 43, 44, 43));
  EXPECT_EQ(at(len), truncated(len, 44, 0));
  EXPECT_EQ(at(len + 1000), truncated(len + 1000, 44, 0));        // saturates at 0
  EXPECT_EQ(at(U64_MAX - 44), truncated(U64_MAX - 44, 44, 0));    // ends at 2^64 - 1: no overflow
  EXPECT_EQ(at(U64_MAX - 43), truncated(U64_MAX - 43, 44, len));  // overflows: whole length
  EXPECT_EQ(at(U64_MAX), truncated(U64_MAX, 44, len));
  // In bounds but moved: the header no longer matches its tag.
  EXPECT_EQ(at(len - 44), "DecryptFailed");
  // Checked before the payload.
  const auto both = with_u64(with_u64(file, writer::field::CRYPTO_OFFSET, len),
                             writer::field::PAYLOAD_LEN, U64_MAX);
  EXPECT_EQ(outcome(both), truncated(len, 44, 0));
}

TEST(RegionChecks, PayloadMustFitInTheInput) {
  const std::vector<std::uint8_t> file = sealed();
  const std::uint64_t len = file.size();
  auto claim = [&](std::uint64_t offset, std::uint64_t length) {
    return outcome(with_u64(with_u64(file, writer::field::PAYLOAD_OFFSET, offset),
                            writer::field::PAYLOAD_LEN, length));
  };
  EXPECT_EQ(claim(108, len - 107), truncated(108, len - 107, len - 108));
  EXPECT_EQ(claim(len + 5, 0), truncated(len + 5, 0, 0));
  EXPECT_EQ(claim(0, U64_MAX), truncated(0, U64_MAX, len));
  EXPECT_EQ(claim(1, U64_MAX), truncated(1, U64_MAX, len));  // overflows: whole length
  EXPECT_EQ(claim(U64_MAX, 1), truncated(U64_MAX, 1, len));
  EXPECT_EQ(claim(len, 0), "DecryptFailed");  // an empty region at the very end fits
}

TEST(RegionChecks, HugeClaimsAreRefusedWithoutAllocating) {
  std::vector<std::uint8_t> header(64);
  writer::store_u32(header, writer::field::MAGIC, 0x544C4551);
  writer::store_u16(header, writer::field::VERSION_MAJOR, 2);
  writer::store_u32(header, writer::field::FLAGS, 1);
  writer::store_u64(header, writer::field::CRYPTO_OFFSET, 0);
  writer::store_u64(header, writer::field::CRYPTO_LEN, 44);
  writer::store_u64(header, writer::field::PAYLOAD_OFFSET, 0);
  writer::store_u64(header, writer::field::PAYLOAD_LEN, U64_MAX);
  const std::vector<std::uint8_t> short_input(10);
  const std::size_t before = quelt::testing::allocation_count();
  const auto huge = deserialize_artefact(header);
  const auto tiny = deserialize_artefact(short_input);
  const std::size_t allocations = quelt::testing::allocation_count() - before;
  ASSERT_FALSE(huge.has_value());
  ASSERT_FALSE(tiny.has_value());
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(render(huge.error()), truncated(0, U64_MAX, 64));
}

TEST(Placement, OddLayoutsLoadLikeTheCanonicalOne) {
  const std::size_t payload_len = sample_plaintext().size();
  struct Case {
    const char* name;
    SealOptions options;
  };
  auto place = [](std::optional<std::uint64_t> crypto, std::optional<std::uint64_t> payload,
                  std::size_t trailing = 0, std::uint8_t filler = 0) {
    SealOptions o;
    o.crypto_offset = crypto;
    o.payload_offset = payload;
    o.trailing_bytes = trailing;
    o.filler = filler;
    return o;
  };
  const Case cases[] = {
      {"trailing bytes", place({}, {}, 1000, 0xEE)},
      {"crypto block after the payload", place(64 + payload_len, 64)},
      {"gaps everywhere", place(200, 300 + 7, 13, 0x5C)},
      // Salt bytes land in the header's last reserved bytes and are authenticated there.
      {"crypto block overlapping the header", place(60, {})},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> file = sealed(c.options);
    const auto result = deserialize_artefact(file);
    ASSERT_TRUE(result.has_value()) << c.name << ": " << render(result.error());
    expect_sample(result.value());
  }
  // Bytes no region covers are ignored.
  std::vector<std::uint8_t> gappy = sealed(place(200, 300, 10));
  for (std::size_t i : {64, 150, 199, 244, 299}) gappy[i] ^= 0xFF;
  gappy.back() ^= 0xFF;
  EXPECT_EQ(outcome(gappy), "ok");
}

TEST(Placement, PayloadInsideTheHeadersReservedBytes) {
  // 4 + 11 bytes of plaintext fit in header bytes 28..43, which the tag then covers.
  const std::string manifest = R"([2,"",0,{}])";
  const auto plaintext = writer::make_plaintext_raw(manifest, {});
  SealOptions options;
  options.payload_offset = 28;
  const std::vector<std::uint8_t> file = writer::seal(writer::configured_key(), plaintext, options);
  ASSERT_EQ(file.size(), 108u);
  const auto result = deserialize_artefact(file);
  ASSERT_TRUE(result.has_value()) << render(result.error());
  EXPECT_EQ(result.value().model_type, "");
  EXPECT_TRUE(result.value().tensors.empty());
}

TEST(Placement, OverlappingRegionsPassTheBoundsChecks) {
  const std::vector<std::uint8_t> file = sealed();
  // Crypto block read from the header itself; payload starting inside the crypto block.
  EXPECT_EQ(outcome(with_u64(file, writer::field::CRYPTO_OFFSET, 0)), "DecryptFailed");
  EXPECT_EQ(outcome(with_u64(file, writer::field::PAYLOAD_OFFSET, 80)), "DecryptFailed");
  EXPECT_EQ(outcome(with_u64(file, writer::field::PAYLOAD_OFFSET, 0)), "DecryptFailed");
}

TEST(Authentication, EveryChangedByteOfAFileIsRefused) {
  const std::vector<std::uint8_t> file = sealed();
  ASSERT_EQ(outcome(file), "ok");
  // Header bytes the reader does not interpret: version_minor, the rest of flags' first
  // byte (bit 0 excepted), reserved bytes. Changing them is caught only by the tag.
  auto uninterpreted = [](std::size_t i, int bit) {
    return i == 6 || i == 7 || (i == 8 && bit != 0) || (i >= 9 && i <= 11) || (i >= 28 && i < 44) ||
           i >= 60;
  };
  for (std::size_t i = 0; i < file.size(); ++i) {
    for (int bit : {0, 1, 7}) {
      std::vector<std::uint8_t> bad = file;
      bad[i] ^= static_cast<std::uint8_t>(1u << bit);
      const std::string got = outcome(bad);
      ASSERT_NE(got, "ok") << "byte " << i << " bit " << bit;
      if (uninterpreted(i, bit)) {
        EXPECT_EQ(got, "DecryptFailed") << "byte " << i << " bit " << bit;
      }
    }
  }
  // Sealed under another deployment's key.
  writer::Key other = writer::configured_key();
  other.ikm[31] ^= 1;
  EXPECT_EQ(outcome(writer::seal(other, sample_plaintext())), "DecryptFailed");
}

TEST(PlaintextSplit, LengthPrefixMustFit) {
  // An empty payload authenticates the header alone, then lacks its length prefix.
  EXPECT_EQ(outcome(sealed_plaintext({})), truncated(0, 4, 0));
  for (std::size_t n : {1, 2, 3}) {
    const std::vector<std::uint8_t> plaintext(n, 0);
    EXPECT_EQ(outcome(sealed_plaintext(plaintext)), truncated(0, 4, n));
  }
  // A manifest that ends exactly at the end of the plaintext: empty tensor data.
  const std::string manifest = writer::make_manifest({});
  std::vector<std::uint8_t> exact = writer::make_plaintext_raw(manifest, {});
  const auto loaded = deserialize_artefact(sealed_plaintext(exact));
  ASSERT_TRUE(loaded.has_value()) << render(loaded.error());
  EXPECT_TRUE(loaded.value().tensors.empty());
  // One byte short.
  exact.pop_back();
  const std::string n = std::to_string(manifest.size());
  const std::string short_by_one = std::to_string(manifest.size() + 3);
  EXPECT_EQ(outcome(sealed_plaintext(exact)),
            "FormatJson(\"manifest_len=" + n + " exceeds payload " + short_by_one + "\")");
  // The largest prefix is computed without wrapping.
  const std::vector<std::uint8_t> all_ones = {0xFF, 0xFF, 0xFF, 0xFF, '{'};
  EXPECT_EQ(outcome(sealed_plaintext(all_ones)),
            "FormatJson(\"manifest_len=4294967295 exceeds payload 5\")");
}

TEST(PlaintextSplit, ManifestAndTensorErrorsComeThrough) {
  auto load_raw = [](std::string_view manifest, std::size_t data_len) {
    const std::vector<std::uint8_t> data(data_len, 0x11);
    return outcome(sealed_plaintext(writer::make_plaintext_raw(manifest, data)));
  };
  EXPECT_EQ(load_raw(R"({"format_version":3,"model_type":"","config":null,"tensors":{}})", 0),
            "FormatUnsupportedMajor { found: 3, expected: 2 }");
  EXPECT_EQ(load_raw("", 8).rfind("FormatJson(\"EOF while parsing a value", 0), 0u);
  EXPECT_EQ(load_raw(R"({"format_version":2,"model_type":"","config":{},"tensors":{)"
                     R"("w":{"dtype":"fp32","shape":[2],"offset":4,"nbytes":8}}})",
                     11),
            "FormatTensorOutOfBounds { name: \"w\", offset: 4, nbytes: 8, available: 11 }");
  std::vector<Tensor> broken = sample_tensors();
  broken[1].dtype = "int8";
  EXPECT_EQ(outcome(sealed_plaintext(writer::make_plaintext(broken))),
            "FormatBadDtype { name: \"head.bias\", dtype: \"int8\" }");
}

}  // namespace
}  // namespace quelt::format
