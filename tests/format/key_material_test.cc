// Tests of format/key_material: the shares compiled into the library combine to the
// deployment key file (read at run time by the writer, so the test binary holds no key
// bytes), and no key bytes appear in plain form in the built library, in the files that
// ship (the C library, the Python module) or in a program linked with it.
#include "format/key_material.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "artefact_writer.h"
#include "common/file_reader.h"

namespace quelt::format {
namespace {

TEST(KeyMaterial, SharesCombineToTheConfiguredKey) {
  const writer::Key& key = writer::configured_key();
  SecretBytes<IKM_LEN> ikm;
  SecretBytes<INFO_LEN> info;
  KeyMaterialSource::input_keying_material(ikm);
  EXPECT_TRUE(KeyMaterialSource::input_keying_material_ready());
  KeyMaterialSource::info(info);
  EXPECT_EQ(ikm.bytes, key.ikm);
  EXPECT_EQ(info.bytes, key.info);

  // Later calls read the cache and rebuild the info string: same bytes.
  SecretBytes<IKM_LEN> ikm_again;
  SecretBytes<INFO_LEN> info_again;
  KeyMaterialSource::input_keying_material(ikm_again);
  KeyMaterialSource::info(info_again);
  EXPECT_EQ(ikm_again.bytes, key.ikm);
  EXPECT_EQ(info_again.bytes, key.info);
}

TEST(KeyMaterial, InfoSharePositionStaysInsideThePool) {
  // The folded position is 16 bits, so the 16 bytes read from it always lie in the pool
  // of 65536 + 16 bytes, whatever constant a deployment gets.
  for (std::uint32_t c : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x91AD582Au}) {
    EXPECT_LE(KeyMaterialSource::info_share_position(c), 0xFFFFu) << c;
  }
  // x = 0 -> 0 -> 0 -> 1, folded: 1 ^ 0 = 1.
  EXPECT_EQ(KeyMaterialSource::info_share_position(0), 1u);
}

std::vector<std::uint8_t> read_all(const std::string& path) {
  auto bytes = read_whole_file(path.c_str());
  EXPECT_TRUE(bytes.has_value()) << path;
  return bytes.has_value() ? std::move(bytes).value() : std::vector<std::uint8_t>{};
}

// Any 8 consecutive key bytes, at every starting offset in the key and in the file (a
// folded constant would show up as 8-byte immediates at worst). One pass over the file,
// looking each 8-byte window up among the key's windows.
std::string find_key_bytes(const std::vector<std::uint8_t>& haystack) {
  const writer::Key& key = writer::configured_key();
  std::vector<std::pair<std::uint64_t, std::string>> windows;
  auto add = [&](std::span<const std::uint8_t> secret, const char* name) {
    for (std::size_t start = 0; start + 8 <= secret.size(); ++start) {
      std::uint64_t w;
      std::memcpy(&w, secret.data() + start, 8);
      windows.emplace_back(w, std::string(name) + " bytes " + std::to_string(start) + "..+8");
    }
  };
  add(key.ikm, "ikm");
  add(key.info, "info");
  // A 16-bit filter keeps the pass over a file of megabytes quick (under qemu too).
  std::vector<bool> maybe(1 << 16);
  for (const auto& [w, name] : windows) maybe[w & 0xFFFF] = true;
  for (std::size_t at = 0; at + 8 <= haystack.size(); ++at) {
    std::uint64_t w;
    std::memcpy(&w, haystack.data() + at, 8);
    if (!maybe[w & 0xFFFF]) continue;
    for (const auto& [secret, name] : windows) {
      if (secret == w) return name + " at " + std::to_string(at);
    }
  }
  return {};
}

TEST(KeyMaterial, KeyByteSearchFindsPlantedBytes) {
  const writer::Key& key = writer::configured_key();
  std::vector<std::uint8_t> planted(1000, 0);
  std::copy(key.info.begin() + 5, key.info.begin() + 13, planted.begin() + 333);
  EXPECT_EQ(find_key_bytes(planted), "info bytes 5..+8 at 333");
  EXPECT_EQ(
      find_key_bytes(std::vector<std::uint8_t>(key.ikm.begin(), key.ikm.end())).rfind("ikm", 0),
      0u);
}

TEST(KeyMaterial, NoPlainKeyBytesInTheBuiltLibrariesOrALinkedProgram) {
  const std::vector<std::uint8_t> library = read_all(QWW_FORMAT_LIBRARY);
  ASSERT_GT(library.size(), 65536u);  // the share pool alone is that large
  EXPECT_EQ(find_key_bytes(library), "") << QWW_FORMAT_LIBRARY;

  // The files that ship hold the same shares, linked into other code.
  const std::string shipped = QWW_SHIPPED_FILES;
  std::size_t searched = 0;
  for (std::size_t from = 0; from <= shipped.size();) {
    const std::size_t end = std::min(shipped.find('|', from), shipped.size());
    const std::string path = shipped.substr(from, end - from);
    from = end + 1;
    const std::vector<std::uint8_t> file = read_all(path);
    ASSERT_GT(file.size(), 65536u) << path;
    EXPECT_EQ(find_key_bytes(file), "") << path;
    ++searched;
  }
  EXPECT_GE(searched, 1u);

  // This program links the key material and has just used it.
  const std::vector<std::uint8_t> program = read_all("/proc/self/exe");
  ASSERT_GT(program.size(), 65536u);
  EXPECT_EQ(find_key_bytes(program), "");
}

}  // namespace
}  // namespace quelt::format
