// File: tests/engine/session_alloc_test.cc
//
// Pushes allocate nothing: every work area is sized at construction, and the per-frame
// observer needs no result list. This binary replaces
// the global operator new to count allocations, so it holds nothing else.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "engine/session.h"
#include "support/random_model.h"

// The replacement pairs below are consistent (malloc/aligned_alloc with free), but GCC
// sees operator new inlined next to free and warns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> allocations{0};

void* counted_alloc(std::size_t size, std::size_t alignment) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
  if (size == 0) size = 1;
  void* p = alignment > alignof(std::max_align_t)
                ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                : std::malloc(size);
  return p;
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = counted_alloc(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = counted_alloc(size, 0)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t a) {
  if (void* p = counted_alloc(size, static_cast<std::size_t>(a))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t a) {
  if (void* p = counted_alloc(size, static_cast<std::size_t>(a))) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_alloc(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_alloc(size, 0);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace quelt::engine {
namespace {

class CountAllocations {
 public:
  CountAllocations() {
    allocations = 0;
    counting = true;
  }
  ~CountAllocations() { counting = false; }
  std::uint64_t count() const { return allocations.load(); }
};

TEST(SessionAllocations, PushesWithoutDetectionsAllocateNothing) {
  // Threshold above any score: no detection, so no result list is ever filled.
  Session s(testing::random_model(3), SessionConfig{200, 100, 2.0f, true});
  testing::SplitMix64 rng(1);
  std::vector<float> audio(16000 * 6);
  for (float& v : audio) v = 0.3f * rng.uniform_pm1();
  std::vector<std::int16_t> pcm(audio.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(audio[i] * 30000);

  std::uint64_t detections = 0;
  {
    CountAllocations counter;
    std::size_t pos = 0;
    for (const std::size_t n : {1, 159, 160, 399, 400, 401, 1000, 16000, 40000}) {
      detections += s.push_pcm_f32(std::span<const float>(audio).subspan(pos, n)).size();
      detections += s.push_pcm_i16(std::span<const std::int16_t>(pcm).subspan(pos, n)).size();
      pos += n;
    }
    s.set_threshold(1.5f);
    s.set_cooldown_frames(3);
    static_cast<void>(s.current_score());
    s.reset();  // clears and warms up again, in place
    s.push_pcm_f32(audio);
    EXPECT_EQ(counter.count(), 0u);
  }
  EXPECT_EQ(detections, 0u);
  EXPECT_GT(s.frame_counter(), 590u);

  // The counter does count: a detection fills the result list.
  s.set_threshold(0.0f);
  CountAllocations counter;
  EXPECT_FALSE(s.push_pcm_f32(std::span<const float>(audio).first(400)).empty());
  EXPECT_GT(counter.count(), 0u);
}

// The per-frame observer needs no result list: every frame detecting allocates nothing.
TEST(SessionAllocations, TheFrameObserverAllocatesNothingWhenEveryFrameDetects) {
  Session s(testing::random_model(3), SessionConfig{200, 0, 0.0f, true});
  testing::SplitMix64 rng(2);
  std::vector<float> audio(16000 * 3);
  for (float& v : audio) v = 0.3f * rng.uniform_pm1();
  std::vector<std::int16_t> pcm(audio.size());
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::int16_t>(audio[i] * 30000);

  std::uint64_t frames = 0, detected = 0;
  const auto on_frame = [&](std::uint64_t, float, bool d) {
    ++frames;
    detected += d;
  };
  {
    CountAllocations counter;
    s.push(std::span<const float>(audio), on_frame);
    s.push(std::span<const std::int16_t>(pcm), on_frame);
    EXPECT_EQ(counter.count(), 0u);
  }
  EXPECT_EQ(frames, 598u);
  EXPECT_EQ(detected, frames);
}

}  // namespace
}  // namespace quelt::engine
