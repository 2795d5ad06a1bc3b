/* File: tests/c_api/test_signal.h
 *
 * A test signal made with unsigned integer arithmetic only, so that every machine, compiler
 * and language makes the same samples: 3 s of 16 kHz audio in six half-second pieces of
 * different loudness (one of them silent), each noise plus a square wave whose period
 * glides from 20 to 79 samples. tests/python/quelt_support.py makes the same samples; the
 * random model's (seed 7) score of every frame of it is pinned in
 * tests/support/golden_scores.txt.
 */
#ifndef QUELT_TESTS_C_API_TEST_SIGNAL_H_
#define QUELT_TESTS_C_API_TEST_SIGNAL_H_

#include <stddef.h>
#include <stdint.h>

#define TEST_SIGNAL_LEN 48000

static void make_test_signal(int16_t* out) {
  static const uint32_t loudness[6] = {3000, 12000, 0, 500, 20000, 6000};
  uint32_t state = 2463534242u;
  for (uint32_t n = 0; n < TEST_SIGNAL_LEN; ++n) {
    state = state * 1664525u + 1013904223u; /* mod 2^32 */
    const uint32_t a = loudness[n / 8000];
    const uint32_t period = 20 + (n / 400) % 60;
    /* noise in [-a/4, a/4], square wave of amplitude a/2 */
    const int32_t noise = (int32_t)(((state >> 16) * a) >> 17) - (int32_t)(a >> 2);
    const int32_t square = (n % period) * 2 < period ? (int32_t)(a >> 1) : -(int32_t)(a >> 1);
    out[n] = (int16_t)(noise + square);
  }
}

#endif /* QUELT_TESTS_C_API_TEST_SIGNAL_H_ */
