// File: common/cpu.h
//
// The instruction-set variants of the engine's vector code and the one question asked of
// the running processor. Every owner of vector work (the Frontend for the FFT, the
// magnitude and the mel projection; the StreamingState for the network's kernels) is
// built with a Simd value, best_simd() unless a test asks for another, keeps it for its
// whole life and switches on it once per call of its per-frame entry point. A unit
// without code of its own for a variant runs its portable code for it. Every variant
// gives the portable variant's results bit for bit.
#pragma once

#include <cstdint>

namespace quelt {

// PORTABLE: plain C++, built everywhere, the reference the others are held to. NEON:
// Advanced SIMD, built on AArch64 only, where it is baseline. AVX2: AVX2 + FMA, built on
// x86-64 only and run only where the CPU has both (every AVX2 path also fuses).
enum class Simd : std::uint8_t { PORTABLE, NEON, AVX2 };

// Whether this build and this CPU can run `simd`.
inline bool simd_available(Simd simd) {
  switch (simd) {
    case Simd::PORTABLE:
      return true;
    case Simd::NEON:
#if defined(__aarch64__)
      return true;
#else
      return false;
#endif
    case Simd::AVX2:
#if defined(__x86_64__)
      // Idempotent; needed when this runs during static initialisation (a global's
      // constructor), before the compiler's own initialiser has run.
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
  }
  return false;
}

// NEON on AArch64; AVX2 on x86-64 when the CPU has AVX2 and FMA; PORTABLE otherwise.
inline Simd best_simd() {
  if (simd_available(Simd::NEON)) return Simd::NEON;
  if (simd_available(Simd::AVX2)) return Simd::AVX2;
  return Simd::PORTABLE;
}

// "portable", "neon" or "avx2", for test and benchmark names.
inline const char* simd_name(Simd simd) {
  switch (simd) {
    case Simd::PORTABLE:
      return "portable";
    case Simd::NEON:
      return "neon";
    case Simd::AVX2:
      return "avx2";
  }
  return "?";
}

}  // namespace quelt
