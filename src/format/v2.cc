// File: format/v2.cc
//
// deserialize_artefact: a whole .qelt v2 file in, a ModelArtefact or the first failing
// check's error out. Header and region checks (header.cc), authenticated decryption with
// the header as associated data (crypto.cc), then the plaintext is split at its u32 length
// prefix into manifest and tensor data, which the manifest reader turns into the tensor
// table (manifest.cc). The plaintext is a temporary: every tensor is copied out of it.
#include <cstring>
#include <string>

#include "format/artefact.h"
#include "format/crypto.h"
#include "format/header.h"
#include "format/manifest.h"

namespace quelt::format {

Result<ModelArtefact, CoreError> deserialize_artefact(std::span<const std::uint8_t> file) {
  QWW_TRY(const Regions regions, locate_regions(file));
  QWW_TRY(const std::vector<std::uint8_t> plaintext,
          decrypt_payload(regions.header, regions.crypto.salt, regions.crypto.nonce,
                          regions.crypto.tag, regions.payload));

  const std::uint64_t plaintext_len = plaintext.size();
  if (plaintext_len < 4) return Unexpected{errors::FormatTruncated{0, 4, plaintext_len}};
  std::uint32_t manifest_len;
  std::memcpy(&manifest_len, plaintext.data(), sizeof manifest_len);  // little-endian target
  if (std::uint64_t{manifest_len} + 4 > plaintext_len) {
    return Unexpected{errors::FormatJson{"manifest_len=" + std::to_string(manifest_len) +
                                         " exceeds payload " + std::to_string(plaintext_len)}};
  }
  const auto body = std::span(plaintext).subspan(4);
  const auto manifest = body.first(manifest_len);
  const auto tensor_data = body.subspan(manifest_len);

  QWW_TRY(ManifestJson parsed, parse_manifest(manifest));
  return build_tensor_map(std::move(parsed), tensor_data);
}

}  // namespace quelt::format
