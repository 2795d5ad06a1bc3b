/* File: tests/c_api/test_util.h
 *
 * A few checks and helpers for the C test programs, which deliberately use no C++ test
 * framework: they are plain C processes, as the library's C users are. A failed check
 * prints its place and the values and the test continues; report() gives the exit code.
 */
#ifndef QWW_TESTS_C_API_TEST_UTIL_H_
#define QWW_TESTS_C_API_TEST_UTIL_H_

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Unused in programs that only borrow read_file. */
__attribute__((unused)) static int test_failures;
__attribute__((unused)) static const char* test_current = "";

#define CHECK(cond)                                                                              \
  do {                                                                                           \
    if (!(cond)) {                                                                               \
      fprintf(stderr, "%s:%d: %s: CHECK(%s) failed\n", __FILE__, __LINE__, test_current, #cond); \
      ++test_failures;                                                                           \
    }                                                                                            \
  } while (0)

/* Integers of any width and signedness; compared (and shown) as 64-bit patterns. */
#define CHECK_EQ(a, b)                                                                     \
  do {                                                                                     \
    unsigned long long qww_a_ = (unsigned long long)(a), qww_b_ = (unsigned long long)(b); \
    if (qww_a_ != qww_b_) {                                                                \
      fprintf(stderr, "%s:%d: %s: %s == %s failed: %lld vs %lld\n", __FILE__, __LINE__,    \
              test_current, #a, #b, (long long)qww_a_, (long long)qww_b_);                 \
      ++test_failures;                                                                     \
    }                                                                                      \
  } while (0)

#define CHECK_STR_EQ(a, b)                                                                \
  do {                                                                                    \
    const char *qww_a_ = (a), *qww_b_ = (b);                                              \
    if (qww_a_ == NULL || strcmp(qww_a_, qww_b_) != 0) {                                  \
      fprintf(stderr, "%s:%d: %s: %s == \"%s\" failed: got \"%s\"\n", __FILE__, __LINE__, \
              test_current, #a, qww_b_, qww_a_ ? qww_a_ : "(null)");                      \
      ++test_failures;                                                                    \
    }                                                                                     \
  } while (0)

#define RUN(test)                                                                            \
  do {                                                                                       \
    test_current = #test;                                                                    \
    int qww_before_ = test_failures;                                                         \
    test();                                                                                  \
    fprintf(stderr, "[%s] %s\n", test_failures == qww_before_ ? "  OK  " : " FAIL ", #test); \
  } while (0)

static inline int report(void) {
  if (test_failures != 0) fprintf(stderr, "%d check(s) failed\n", test_failures);
  return test_failures == 0 ? 0 : 1;
}

typedef struct {
  uint8_t* data;
  size_t len;
} Bytes;

/* The whole file, or exit: without its inputs a test has nothing to say. */
static inline Bytes read_file(const char* path) {
  Bytes b = {NULL, 0};
  FILE* f = fopen(path, "rb");
  if (f == NULL) {
    perror(path);
    exit(2);
  }
  size_t cap = 1 << 16;
  b.data = malloc(cap);
  size_t n;
  while (b.data != NULL && (n = fread(b.data + b.len, 1, cap - b.len, f)) > 0) {
    b.len += n;
    if (b.len == cap) {
      cap *= 2;
      uint8_t* grown = realloc(b.data, cap);
      if (grown == NULL) free(b.data);
      b.data = grown;
    }
  }
  fclose(f);
  if (b.data == NULL) {
    fprintf(stderr, "%s: out of memory\n", path);
    exit(2);
  }
  return b;
}

__attribute__((unused)) static uint32_t lcg_state = 12345u;
/* Numerical Recipes' 32-bit LCG: deterministic bytes, not for statistics. */
static inline uint32_t lcg_next(void) {
  lcg_state = lcg_state * 1664525u + 1013904223u;
  return lcg_state;
}

/* The same n samples on every call: a 220 Hz tone with a slow swell over noise, loud
 * enough that frames differ from silence and from each other. */
static inline void fill_audio_i16(int16_t* out, size_t n) {
  uint32_t state = 987654321u;
  for (size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    double noise = ((double)(state >> 8) / 16777216.0 - 0.5) * 0.2;
    double t = (double)i / 16000.0;
    double swell = 0.5 + 0.4 * sin(2.0 * 3.14159265358979 * 1.5 * t);
    double v = swell * sin(2.0 * 3.14159265358979 * 220.0 * t) * 0.6 + noise;
    out[i] = (int16_t)lrint(v * 32767.0);
  }
}

#endif /* QWW_TESTS_C_API_TEST_UTIL_H_ */
