// Counts heap allocations made through operator new in the whole test program, so that a
// test can show a code path allocates nothing. The replacement operators live in their own
// file (allocation_counter.cc) so that the compiler sees no new/free pairing to warn about.
#pragma once

#include <cstddef>

namespace quelt::testing {
std::size_t allocation_count();
}  // namespace quelt::testing
