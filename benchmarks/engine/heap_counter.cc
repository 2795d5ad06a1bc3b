// File: benchmarks/engine/heap_counter.cc
//
// The counting replacements of the global operator new and delete (see heap_counter.h).
// Every form of new and delete is replaced so that none bypasses the count; sizes come
// from malloc_usable_size, which works for malloc and aligned_alloc alike.
#include "heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

// The pairs below are consistent (malloc/aligned_alloc with free), but GCC sees operator
// new inlined next to free and warns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<std::uint64_t> live{0};
std::atomic<std::uint64_t> peak{0};
std::atomic<std::uint64_t> count{0};

void* counted_alloc(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  void* p = alignment > alignof(std::max_align_t)
                ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                : std::malloc(size);
  if (p == nullptr) return nullptr;
  const std::uint64_t now = live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::uint64_t high = peak.load();
  while (now > high && !peak.compare_exchange_weak(high, now)) {
  }
  count.fetch_add(1);
  return p;
}

void counted_free(void* p) {
  if (p == nullptr) return;
  live.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

void* must(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t n) { return must(counted_alloc(n, 0)); }
void* operator new[](std::size_t n) { return must(counted_alloc(n, 0)); }
void* operator new(std::size_t n, std::align_val_t a) {
  return must(counted_alloc(n, static_cast<std::size_t>(a)));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return must(counted_alloc(n, static_cast<std::size_t>(a)));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n, 0); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }

namespace quelt::bench {

HeapCounts heap_counts() { return {live.load(), peak.load(), count.load()}; }

void reset_peak() { peak.store(live.load()); }

std::uint64_t malloc_heap_bytes() { return mallinfo2().uordblks; }

}  // namespace quelt::bench
