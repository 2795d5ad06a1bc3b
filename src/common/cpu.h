// File: common/cpu.h
//
// What the running x86-64 processor offers, asked once by each owner that chooses a SIMD
// variant (the frontend at construction, the network step per session). Every AVX2 path
// of the engine also fuses multiply-adds, so the one question is "AVX2 and FMA?".
#pragma once

namespace quelt {

inline bool cpu_has_avx2_fma() {
#if defined(__x86_64__)
  // Idempotent; needed when this runs during static initialisation (a global's
  // constructor), before the compiler's own initialiser has run.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

}  // namespace quelt
