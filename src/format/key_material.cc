// File: format/key_material.cc
//
// Rebuilds the built-in key material from its masked shares. The keying material cache
// and the reader's library context are process-wide: a one-byte ready flag, stored with
// release ordering after both are in place and loaded with acquire ordering before they
// are read, so every thread that sees the flag set sees all 32 bytes and the whole
// context. Threads that find it unset take a mutex: the first fills the cache while the
// others wait, and find it ready. A failed attempt (memory ran out) builds nothing and
// leaves the flag unset, so a later load tries again.
#include "format/key_material.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include <openssl/crypto.h>

#include "format/crypto_provider.h"
#include "format/key_shares.h"

namespace quelt::format {
namespace {

static_assert(IKM_LEN == key_shares::IKM_LEN && INFO_LEN == key_shares::INFO_LEN);

std::uint8_t g_ikm_cache[IKM_LEN];
// Never freed: another thread may still be loading while the process exits.
const CryptoProvider* g_crypto = nullptr;
std::atomic<std::uint8_t> g_ikm_ready{0};
std::mutex g_build_mutex;

void ensure_ready() {
  if (g_ikm_ready.load(std::memory_order_acquire) != 0) return;
  const std::lock_guard lock(g_build_mutex);
  if (g_ikm_ready.load(std::memory_order_relaxed) != 0) return;  // built while we waited
  std::unique_ptr<CryptoProvider> crypto = CryptoProvider::create();
  if (!crypto) throw std::bad_alloc();
  for (std::size_t i = 0; i < IKM_LEN; ++i) {
    g_ikm_cache[i] =
        static_cast<std::uint8_t>(key_shares::IKM_SHARE_A[i] ^ key_shares::IKM_SHARE_B[i]);
  }
  g_crypto = crypto.release();
  g_ikm_ready.store(1, std::memory_order_release);
}

}  // namespace

void secure_wipe(void* data, std::size_t size) { OPENSSL_cleanse(data, size); }

void KeyMaterialSource::input_keying_material(SecretBytes<IKM_LEN>& out) {
  ensure_ready();
  std::memcpy(out.bytes.data(), g_ikm_cache, IKM_LEN);
}

const CryptoProvider& KeyMaterialSource::crypto() {
  ensure_ready();
  return *g_crypto;
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
