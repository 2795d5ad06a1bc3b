// Tests of format/crypto: HKDF-SHA256 against RFC 5869, AES-256-GCM against the published
// GCM test vectors (the AES-256 cases with 96-bit IVs), tag checking, and the payload key
// against the deployment key file read independently by the writer.
#include "format/crypto.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "artefact_writer.h"
#include "format/errors.h"

namespace quelt::format {
namespace {

std::vector<std::uint8_t> hex(std::string_view text) {
  std::vector<std::uint8_t> out(text.size() / 2);
  EXPECT_TRUE(writer::decode_hex(text, out)) << text;
  return out;
}

std::vector<std::uint8_t> counting(std::uint8_t first, std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

bool is_decrypt_failed(const CoreError& error) {
  return std::holds_alternative<errors::DecryptFailed>(error);
}

TEST(Hkdf, MatchesRfc5869Sha256Vectors) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> ikm, salt, info;
    const char* okm;
  };
  const Case cases[] = {
      {"A.1 basic", std::vector<std::uint8_t>(22, 0x0b), counting(0x00, 13), counting(0xf0, 10),
       "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
      {"A.2 long inputs", counting(0x00, 80), counting(0x60, 80), counting(0xb0, 80),
       "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c6"
       "5e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
      {"A.3 empty salt and info",
       std::vector<std::uint8_t>(22, 0x0b),
       {},
       {},
       "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> expected = hex(c.okm);
    std::vector<std::uint8_t> okm(expected.size());
    ASSERT_TRUE(hkdf_sha256(c.ikm, c.salt, c.info, okm)) << c.name;
    EXPECT_EQ(okm, expected) << c.name;
    // The payload key is a 32-byte output: the first block of the same expansion.
    std::vector<std::uint8_t> short_okm(32);
    ASSERT_TRUE(hkdf_sha256(c.ikm, c.salt, c.info, short_okm)) << c.name;
    EXPECT_TRUE(std::equal(short_okm.begin(), short_okm.end(), expected.begin())) << c.name;
  }
}

struct GcmCase {
  const char* name;
  const char* key;
  const char* iv;
  const char* aad;
  const char* plaintext;
  const char* ciphertext;
  const char* tag;
};

// Test cases 13 to 16 of the published AES-GCM test vectors (AES-256, 96-bit IV);
// case 16 has associated data and a 60-byte text that ends in a partial block.
constexpr const char* KEY_15 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
constexpr const char* P_15 =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255";
constexpr const char* C_15 =
    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
    "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad";
const GcmCase GCM_CASES[] = {
    {"13 empty", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"14 one block", "0000000000000000000000000000000000000000000000000000000000000000",
     "000000000000000000000000", "", "00000000000000000000000000000000",
     "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"15 four blocks", KEY_15, "cafebabefacedbaddecaf888", "", P_15, C_15,
     "b094dac5d93471bdec1a502270e3cc6c"},
    {"16 aad, partial block", KEY_15, "cafebabefacedbaddecaf888",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
     "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b39",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

struct GcmInputs {
  std::vector<std::uint8_t> key, iv, aad, ciphertext, tag;
  Result<std::vector<std::uint8_t>, CoreError> open() const {
    return aes256_gcm_open(std::span<const std::uint8_t, 32>(key.data(), 32),
                           std::span<const std::uint8_t, 12>(iv.data(), 12), aad, ciphertext,
                           std::span<const std::uint8_t, 16>(tag.data(), 16));
  }
};

GcmInputs inputs_of(const GcmCase& c) {
  return {hex(c.key), hex(c.iv), hex(c.aad), hex(c.ciphertext), hex(c.tag)};
}

TEST(Gcm, DecryptsPublishedVectors) {
  for (const GcmCase& c : GCM_CASES) {
    const auto opened = inputs_of(c).open();
    ASSERT_TRUE(opened.has_value()) << c.name;
    EXPECT_EQ(opened.value(), hex(c.plaintext)) << c.name;
  }
}

TEST(Gcm, AnyChangedBitFailsWithoutPlaintext) {
  // Each input that the tag covers, one bit at a time at a few positions.
  for (const GcmCase& c : GCM_CASES) {
    const GcmInputs good = inputs_of(c);
    auto check = [&](auto member, const char* what) {
      const std::size_t n = (good.*member).size();
      if (n == 0) return;
      for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
        for (int bit : {0, 7}) {
          GcmInputs bad = good;
          (bad.*member)[at] ^= static_cast<std::uint8_t>(1u << bit);
          const auto opened = bad.open();
          ASSERT_FALSE(opened.has_value()) << c.name << " " << what << "[" << at << "]";
          EXPECT_TRUE(is_decrypt_failed(opened.error()));
        }
      }
    };
    check(&GcmInputs::key, "key");
    check(&GcmInputs::iv, "iv");
    check(&GcmInputs::aad, "aad");
    check(&GcmInputs::ciphertext, "ciphertext");
    check(&GcmInputs::tag, "tag");
  }
  // Truncating or extending the associated data changes its length block.
  GcmInputs longer = inputs_of(GCM_CASES[3]);
  longer.aad.push_back(0);
  EXPECT_FALSE(longer.open().has_value());
}

TEST(PayloadKey, IsHkdfOfTheConfiguredKeyAndSalt) {
  const writer::Key& key = writer::configured_key();
  std::array<std::uint8_t, SALT_LEN> salt{};
  for (int round = 0; round < 3; ++round) {
    salt[0] = static_cast<std::uint8_t>(round);
    PayloadKey derived;
    ASSERT_TRUE(derive_payload_key(salt, derived));
    std::array<std::uint8_t, 32> expected{};
    ASSERT_TRUE(hkdf_sha256(key.ikm, salt, key.info, expected));
    EXPECT_EQ(derived.bytes, expected) << "round " << round;
  }
  PayloadKey first, again, other;
  salt[0] = 9;
  ASSERT_TRUE(derive_payload_key(salt, first));
  ASSERT_TRUE(derive_payload_key(salt, again));
  salt[15] = 1;
  ASSERT_TRUE(derive_payload_key(salt, other));
  EXPECT_EQ(first.bytes, again.bytes);
  EXPECT_NE(first.bytes, other.bytes);
}

TEST(DecryptPayload, OpensWhatTheWriterSealedAtEveryLengthAroundABlock) {
  // The writer derives and encrypts with its own code; the reader must agree for payloads
  // that end in a partial block and for the empty payload, whose tag covers the header.
  const writer::SealOptions options;
  for (std::size_t n : {0, 1, 15, 16, 17, 31, 32, 33, 100}) {
    std::vector<std::uint8_t> plaintext = counting(0x41, n);
    const std::vector<std::uint8_t> file = writer::seal(writer::configured_key(), plaintext);
    const auto aad = std::span(file).first(64);
    const auto block = std::span(file).subspan(64, 44);
    const auto ciphertext = std::span(file).subspan(108, n);
    const auto opened = decrypt_payload(aad, block.subspan<0, 16>(), block.subspan<16, 12>(),
                                        block.subspan<28, 16>(), ciphertext);
    ASSERT_TRUE(opened.has_value()) << n;
    EXPECT_EQ(opened.value(), plaintext) << n;
    if (n > 0) {
      EXPECT_NE(std::vector(ciphertext.begin(), ciphertext.end()), plaintext);
    }

    // Sealed under another deployment's key: refused.
    writer::Key other = writer::configured_key();
    other.info[3] ^= 0x10;
    const std::vector<std::uint8_t> foreign = writer::seal(other, plaintext, options);
    const auto foreign_block = std::span(foreign).subspan(64, 44);
    const auto refused =
        decrypt_payload(std::span(foreign).first(64), foreign_block.subspan<0, 16>(),
                        foreign_block.subspan<16, 12>(), foreign_block.subspan<28, 16>(),
                        std::span(foreign).subspan(108, n));
    ASSERT_FALSE(refused.has_value()) << n;
    EXPECT_TRUE(is_decrypt_failed(refused.error()));
  }
}

}  // namespace
}  // namespace quelt::format
