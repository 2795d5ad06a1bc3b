// File: benchmarks/engine/heap_counter.h
//
// Heap accounting for the memory benchmarks. heap_counter.cc replaces the global
// operator new and delete with versions that count, per thread-safe atomics, the bytes
// currently held (as malloc_usable_size reports them, which is what the allocator really
// sets aside), the high-water mark and the number of allocations. A program that links
// heap_counter.cc counts every C++ allocation of the engine; the library's own C calls
// into OpenSSL use malloc directly and are covered by malloc_heap_bytes() instead.
#pragma once

#include <cstdint>

namespace quelt::bench {

struct HeapCounts {
  std::uint64_t live_bytes;   // held right now through operator new
  std::uint64_t peak_bytes;   // highest live_bytes since the last reset_peak()
  std::uint64_t allocations;  // operator new calls since the program started
};

HeapCounts heap_counts();
// Sets the high-water mark to the current live bytes.
void reset_peak();
// Bytes in use according to the C library's allocator (mallinfo2), every caller included.
std::uint64_t malloc_heap_bytes();

}  // namespace quelt::bench
