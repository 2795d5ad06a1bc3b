// File: format/key_material.cc
//
// Rebuilds the built-in key material from its masked shares. The keying material cache
// is process-wide: a one-byte ready flag, stored with release ordering after the 32 bytes
// are written and loaded with acquire ordering before they are read, so every thread that
// sees the flag set sees all 32 bytes. Threads that find it unset race through
// std::call_once, which lets exactly one of them fill the cache while the others wait.
#include "format/key_material.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>

#include <openssl/crypto.h>

#include "format/key_shares.h"

namespace quelt::format {
namespace {

static_assert(IKM_LEN == key_shares::IKM_LEN && INFO_LEN == key_shares::INFO_LEN);

std::uint8_t g_ikm_cache[IKM_LEN];
std::atomic<std::uint8_t> g_ikm_ready{0};
std::once_flag g_ikm_once;

void fill_ikm_cache() {
  for (std::size_t i = 0; i < IKM_LEN; ++i) {
    g_ikm_cache[i] =
        static_cast<std::uint8_t>(key_shares::IKM_SHARE_A[i] ^ key_shares::IKM_SHARE_B[i]);
  }
  g_ikm_ready.store(1, std::memory_order_release);
}

}  // namespace

void secure_wipe(void* data, std::size_t size) { OPENSSL_cleanse(data, size); }

void KeyMaterialSource::input_keying_material(SecretBytes<IKM_LEN>& out) {
  if (g_ikm_ready.load(std::memory_order_acquire) == 0) {
    std::call_once(g_ikm_once, fill_ikm_cache);
  }
  std::memcpy(out.bytes.data(), g_ikm_cache, IKM_LEN);
}

bool KeyMaterialSource::input_keying_material_ready() {
  return g_ikm_ready.load(std::memory_order_acquire) != 0;
}

std::uint32_t KeyMaterialSource::info_share_position(std::uint32_t constant) {
  std::uint32_t x = constant;
  x ^= x >> 10;
  x ^= std::rotl(x, 2);
  x += 1;
  return (x ^ (x >> 11)) & 0xFFFFu;
}

void KeyMaterialSource::info(SecretBytes<INFO_LEN>& out) {
  const std::uint32_t position = info_share_position(key_shares::INFO_CONSTANT);
  static_assert(key_shares::SHARE_POOL_LEN >= 0xFFFF + INFO_LEN);
  const std::uint8_t* share = key_shares::SHARE_POOL + position;
  for (std::size_t i = 0; i < INFO_LEN; ++i) {
    out.bytes[i] = static_cast<std::uint8_t>(key_shares::INFO_TABLE[i] ^ share[i]);
  }
}

}  // namespace quelt::format
