// Tests of the artefact writer (tools/writer) that the other suites build on: fp16
// rounding against a reference computed in double precision over every binary16 value,
// key file parsing, and the plaintext layout.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "artefact_writer.h"

namespace quelt::writer {
namespace {

// Value of a finite binary16 pattern, exact in double.
double half_value(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  const double magnitude =
      exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024 + mantissa, exponent - 25);
  return (h & 0x8000) ? -magnitude : magnitude;
}

// Nearest binary16 of a finite float by exhaustive neighbour search in double: ties go to
// the even pattern; beyond 65504 + half an ulp (65520) the result is infinity.
std::uint16_t reference_fp16(float value) {
  static const std::vector<double> positives = [] {
    std::vector<double> v;
    for (std::uint16_t h = 0; h < 0x7C00; ++h) v.push_back(half_value(h));
    return v;
  }();
  const double x = std::fabs(static_cast<double>(value));
  const std::uint16_t sign = std::signbit(value) ? 0x8000 : 0;
  auto with_sign = [sign](unsigned h) { return static_cast<std::uint16_t>(sign | h); };
  if (x >= 65520.0) return with_sign(0x7C00);
  const auto above = std::lower_bound(positives.begin(), positives.end(), x);
  if (above == positives.end()) return with_sign(0x7BFF);
  auto h = static_cast<unsigned>(above - positives.begin());
  if (h > 0) {
    const double down = x - positives[h - 1];
    const double up = *above - x;
    if (down < up || (down == up && ((h - 1) & 1) == 0)) --h;
  }
  return with_sign(h);
}

TEST(Fp16, EveryHalfValueRoundTripsExactly) {
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    const auto bits = static_cast<std::uint16_t>(h);
    if ((bits & 0x7C00) == 0x7C00) continue;  // infinities and NaNs below
    const auto value = static_cast<float>(half_value(bits));
    ASSERT_EQ(fp32_to_fp16(value), bits) << std::hex << h;
  }
}

TEST(Fp16, RoundsToNearestEvenLikeADoubleReference) {
  // Midpoints between neighbours and the floats right around them decide ties and
  // carries (subnormal to normal, largest finite to infinity).
  for (std::uint16_t h = 0; h < 0x7BFF; ++h) {
    const double mid = (half_value(h) + half_value(static_cast<std::uint16_t>(h + 1))) / 2;
    const auto f = static_cast<float>(mid);  // exact: a midpoint needs 12 significant bits
    ASSERT_EQ(static_cast<double>(f), mid);
    for (float probe : {f, std::nextafter(f, 0.0f), std::nextafter(f, 1e6f), -f}) {
      ASSERT_EQ(fp32_to_fp16(probe), reference_fp16(probe)) << "near " << mid;
    }
  }
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  for (int i = 0; i < 200000; ++i) {
    const auto f = std::bit_cast<float>(any_bits(rng) & 0xC7FFFFFFu);  // |f| < 2^17 or so
    if (!std::isfinite(f)) continue;
    ASSERT_EQ(fp32_to_fp16(f), reference_fp16(f)) << f;
  }
}

TEST(Fp16, SpecialValues) {
  constexpr float INF = std::numeric_limits<float>::infinity();
  EXPECT_EQ(fp32_to_fp16(0.0f), 0x0000);
  EXPECT_EQ(fp32_to_fp16(-0.0f), 0x8000);
  EXPECT_EQ(fp32_to_fp16(INF), 0x7C00);
  EXPECT_EQ(fp32_to_fp16(-INF), 0xFC00);
  EXPECT_EQ(fp32_to_fp16(65519.99f), 0x7BFF);
  EXPECT_EQ(fp32_to_fp16(65520.0f), 0x7C00);
  EXPECT_EQ(fp32_to_fp16(1e30f), 0x7C00);
  EXPECT_EQ(fp32_to_fp16(std::ldexp(1.0f, -25)), 0x0000);  // tie with 0: even
  EXPECT_EQ(fp32_to_fp16(std::nextafter(std::ldexp(1.0f, -25), 1.0f)), 0x0001);
  EXPECT_EQ(fp32_to_fp16(std::numeric_limits<float>::denorm_min()), 0x0000);
  const std::uint16_t nan = fp32_to_fp16(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(nan & 0x7C00, 0x7C00);
  EXPECT_NE(nan & 0x03FF, 0);
  // A signalling NaN whose payload sits only in low bits must not turn into infinity.
  EXPECT_NE(fp32_to_fp16(std::bit_cast<float>(0x7F800001u)) & 0x03FF, 0);
}

class KeyFile : public ::testing::Test {
 protected:
  std::string write(const std::string& text) {
    const std::string path =
        (std::filesystem::temp_directory_path() /
         ("qww_key_" + std::to_string(::getpid()) + "_" + std::to_string(count_++) + ".key"))
            .string();
    std::ofstream(path) << text;
    paths_.push_back(path);
    return path;
  }
  ~KeyFile() override {
    for (const auto& p : paths_) std::remove(p.c_str());
  }

 private:
  std::vector<std::string> paths_;
  int count_ = 0;
};

constexpr const char* IKM_HEX = "000102030405060708090A0B0C0D0E0F101112131415161718191a1b1c1d1e1f";
constexpr const char* INFO_HEX = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

TEST_F(KeyFile, ReadsBothValuesWithCommentsAndBlankLines) {
  const auto key = read_key_file(write(std::string("# a test key\n\n  info=") + INFO_HEX +
                                       "  # trailing comment\nikm =\t" + IKM_HEX + "\n"));
  ASSERT_TRUE(key.has_value()) << key.error();
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(key.value().ikm[i], i);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(key.value().info[i], 0xF0 + i);
}

TEST_F(KeyFile, RefusesMalformedFilesNamingTheProblem) {
  const std::string ikm = std::string("ikm = ") + IKM_HEX + "\n";
  const std::string info = std::string("info = ") + INFO_HEX + "\n";
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {ikm, "no info line"},
      {info, "no ikm line"},
      {ikm + ikm + info, ":2: ikm given twice"},
      {ikm + "info = f0f1\n", ":2: info must be 32 hex digits"},
      {ikm + info + "salt = 00\n", ":3: unknown name 'salt'"},
      {std::string("ikm = ") + std::string(63, 'a') + "g\n" + info, ":1: ikm must be 64"},
      {ikm + "info " + INFO_HEX + "\n", ":2: expected 'name = hex'"},
  };
  for (const Case& c : cases) {
    const auto key = read_key_file(write(c.text));
    ASSERT_FALSE(key.has_value()) << c.text;
    EXPECT_NE(key.error().find(c.message), std::string::npos) << key.error();
  }
  EXPECT_FALSE(read_key_file("/nonexistent/qww.key").has_value());
}

TEST(Plaintext, LayoutAndManifestText) {
  const std::vector<Tensor> tensors = {
      {"a\"b\\c\n", "fp32", {1, 2}, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"x", "bf16", {}, {9, 10}},
      {"x", "fp16", {3}, {11, 12, 13, 14, 15, 16}},  // repeated name: written twice
  };
  const std::vector<std::uint8_t> p = make_plaintext(tensors, "kws", R"({"k":[1,2]})");
  std::uint32_t manifest_len = 0;
  std::memcpy(&manifest_len, p.data(), 4);
  ASSERT_EQ(p.size(), 4u + manifest_len + 16u);
  const std::string manifest(p.begin() + 4, p.begin() + 4 + manifest_len);
  const auto json = nlohmann::json::parse(manifest);
  EXPECT_EQ(json["format_version"], 2);
  EXPECT_EQ(json["model_type"], "kws");
  EXPECT_EQ(json["config"], nlohmann::json::parse(R"({"k":[1,2]})"));
  EXPECT_EQ(json["tensors"]["a\"b\\c\n"]["offset"], 0);
  EXPECT_EQ(json["tensors"]["a\"b\\c\n"]["shape"], nlohmann::json::parse("[1,2]"));
  EXPECT_EQ(json["tensors"]["x"]["offset"], 10);  // nlohmann keeps the last duplicate
  EXPECT_EQ(json["tensors"]["x"]["nbytes"], 6);
  EXPECT_NE(manifest.find(R"("x":{"dtype":"bf16","shape":[],"offset":8,"nbytes":2})"),
            std::string::npos);
  const std::vector<std::uint8_t> data(p.begin() + 4 + manifest_len, p.end());
  EXPECT_EQ(data,
            (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
}

TEST(Seal, HeaderFieldsAtTheirOffsets) {
  SealOptions options;
  options.version_minor = 0x0102;
  options.flags = 0x80000001;
  options.reserved_b = {1, 2, 3, 4};
  options.trailing_bytes = 3;
  const std::vector<std::uint8_t> plaintext(21, 0x33);
  const std::vector<std::uint8_t> file = seal(configured_key(), plaintext, options);
  ASSERT_EQ(file.size(), 64u + 44u + 21u + 3u);
  const std::vector<std::uint8_t> expected_header = {
      'Q', 'E', 'L', 'T', 2, 0, 2, 1, 1,  0, 0, 0x80,              // magic, versions, flags
      64,  0,   0,   0,   0, 0, 0, 0, 44, 0, 0, 0,    0, 0, 0, 0,  // crypto block offset and length
      0,   0,   0,   0,   0, 0, 0, 0, 0,  0, 0, 0,    0, 0, 0, 0,  // reserved
      108, 0,   0,   0,   0, 0, 0, 0, 21, 0, 0, 0,    0, 0, 0, 0,  // payload offset and length
      1,   2,   3,   4};
  EXPECT_EQ(std::vector(file.begin(), file.begin() + 64), expected_header);
  EXPECT_TRUE(std::equal(options.salt.begin(), options.salt.end(), file.begin() + 64));
  EXPECT_TRUE(std::equal(options.nonce.begin(), options.nonce.end(), file.begin() + 80));
  // Sealing is deterministic for fixed salt and nonce.
  EXPECT_EQ(seal(configured_key(), plaintext, options), file);
  EXPECT_THROW(
      {
        SealOptions far;
        far.crypto_offset = std::uint64_t{1} << 50;
        (void)seal(configured_key(), plaintext, far);
      },
      std::invalid_argument);
}

}  // namespace
}  // namespace quelt::writer
