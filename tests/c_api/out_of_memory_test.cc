// File: tests/c_api/out_of_memory_test.cc
//
// Exhausted memory at every allocation of create and of a push. This program replaces the
// global operator new (the shared library's C++ allocations resolve to it) and OpenSSL's
// allocator (before OpenSSL's first allocation), so the n-th allocation of either can be
// made to fail. No exception may cross the C boundary: each failure must come back as
// QUELT_WAKE_WORD_E_OUT_OF_MEMORY with the out-parameters untouched (never as a failed
// decryption), and nothing may leak (checked when built with AddressSanitizer).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include "quelt_wake_word.h"

namespace {
// Allocations left before one fails; negative: never fail.
long g_allocations_left = -1;
long g_crypto_allocations_left = -1;

bool crypto_allocation_fails() {
  if (g_crypto_allocations_left == 0) {
    g_crypto_allocations_left = -1;
    return true;
  }
  if (g_crypto_allocations_left > 0) --g_crypto_allocations_left;
  return false;
}
void* crypto_malloc(std::size_t size, const char*, int) {
  return crypto_allocation_fails() ? nullptr : std::malloc(size);
}
void* crypto_realloc(void* p, std::size_t size, const char*, int) {
  return crypto_allocation_fails() ? nullptr : std::realloc(p, size);
}
void crypto_free(void* p, const char*, int) { std::free(p); }

// Before main: OpenSSL takes a new allocator only before its first allocation.
const bool g_crypto_allocator_replaced =
    CRYPTO_set_mem_functions(crypto_malloc, crypto_realloc, crypto_free) == 1;
}  // namespace

void* operator new(std::size_t size) {
  if (g_allocations_left == 0) {
    g_allocations_left = -1;
    throw std::bad_alloc();
  }
  if (g_allocations_left > 0) --g_allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::vector<std::uint8_t> read_model() {
  const char* path = std::getenv("QWW_TEST_MODEL");
  if (path == nullptr) return {};
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// First in this program: the first create also builds the reader's OpenSSL library context.
TEST(OutOfMemory, CreateReportsEveryFailedCryptoAllocation) {
  ASSERT_TRUE(g_crypto_allocator_replaced);
  const std::vector<std::uint8_t> model = read_model();
  ASSERT_FALSE(model.empty()) << "QWW_TEST_MODEL names no readable model";
  // OpenSSL's own process-wide start-up, which a host that uses OpenSSL has done anyway: a
  // failure in there would leave OpenSSL unusable for the rest of the process.
  ASSERT_EQ(OPENSSL_init_crypto(0, nullptr), 1);
  int sentinel = 0;
  auto* const untouched = reinterpret_cast<quelt_wake_word_handle*>(&sentinel);
  long failures = 0;
  for (long fail_at = 0;; ++fail_at) {
    quelt_wake_word_handle* handle = untouched;
    g_crypto_allocations_left = fail_at;
    const std::int32_t status = quelt_wake_word_create(model.data(), model.size(), &handle);
    const bool failed_allocation = g_crypto_allocations_left == -1;
    g_crypto_allocations_left = -1;
    if (!failed_allocation) {
      // Past the last allocation: create went through.
      ASSERT_EQ(status, QUELT_WAKE_WORD_OK);
      quelt_wake_word_destroy(handle);
      break;
    }
    // OpenSSL does without some of its allocations (caches, error details); any other
    // failure must be reported as exhausted memory.
    if (status == QUELT_WAKE_WORD_OK) {
      quelt_wake_word_destroy(handle);
      continue;
    }
    ++failures;
    ASSERT_EQ(status, QUELT_WAKE_WORD_E_OUT_OF_MEMORY) << "OpenSSL allocation " << fail_at;
    ASSERT_EQ(handle, untouched);
  }
  // The library context alone takes dozens of allocations.
  EXPECT_GT(failures, 20);
}

TEST(OutOfMemory, CreateReportsEveryFailedAllocation) {
  const std::vector<std::uint8_t> model = read_model();
  ASSERT_FALSE(model.empty()) << "QWW_TEST_MODEL names no readable model";
  int sentinel = 0;
  auto* const untouched = reinterpret_cast<quelt_wake_word_handle*>(&sentinel);
  long failures = 0;
  for (long fail_at = 0;; ++fail_at) {
    quelt_wake_word_handle* handle = untouched;
    g_allocations_left = fail_at;
    const std::int32_t status = quelt_wake_word_create(model.data(), model.size(), &handle);
    const bool failed_allocation = g_allocations_left == -1;
    g_allocations_left = -1;
    if (!failed_allocation) {
      // Past the last allocation: create went through.
      ASSERT_EQ(status, QUELT_WAKE_WORD_OK);
      quelt_wake_word_destroy(handle);
      break;
    }
    ++failures;
    ASSERT_EQ(status, QUELT_WAKE_WORD_E_OUT_OF_MEMORY) << "allocation " << fail_at;
    ASSERT_EQ(handle, untouched);
  }
  EXPECT_GT(failures, 10);
}

TEST(OutOfMemory, PushReportsAFailedAllocationAndResetRecovers) {
  const std::vector<std::uint8_t> model = read_model();
  ASSERT_FALSE(model.empty()) << "QWW_TEST_MODEL names no readable model";
  quelt_wake_word_handle* handle = nullptr;
  ASSERT_EQ(quelt_wake_word_create(model.data(), model.size(), &handle), QUELT_WAKE_WORD_OK);
  ASSERT_EQ(quelt_wake_word_set_threshold(handle, 0.0f), QUELT_WAKE_WORD_OK);
  ASSERT_EQ(quelt_wake_word_set_cooldown_frames(handle, 0), QUELT_WAKE_WORD_OK);
  // A large i16 chunk must grow the engine's buffers; with threshold 0 the result list
  // is allocated too.
  const std::vector<std::int16_t> pcm(64000, 1000);
  std::vector<quelt_wake_word_detection> out(pcm.size() / 160);
  const std::size_t untouched = 424242;
  for (long fail_at = 0; fail_at < 3; ++fail_at) {
    std::size_t count = untouched;
    g_allocations_left = fail_at;
    const std::int32_t status = quelt_wake_word_push_pcm_i16(handle, pcm.data(), pcm.size(),
                                                             out.data(), out.size(), &count);
    const bool failed_allocation = g_allocations_left == -1;
    g_allocations_left = -1;
    if (!failed_allocation) break;
    EXPECT_EQ(status, QUELT_WAKE_WORD_E_OUT_OF_MEMORY) << "allocation " << fail_at;
    EXPECT_EQ(count, untouched);
    // After reset the engine is whole again: frames count from 0.
    ASSERT_EQ(quelt_wake_word_reset(handle), QUELT_WAKE_WORD_OK);
    ASSERT_EQ(quelt_wake_word_push_pcm_i16(handle, pcm.data(), 400, out.data(), out.size(), &count),
              QUELT_WAKE_WORD_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(out[0].frame_index, 0u);
    ASSERT_EQ(quelt_wake_word_reset(handle), QUELT_WAKE_WORD_OK);
  }
  quelt_wake_word_destroy(handle);
}

}  // namespace
