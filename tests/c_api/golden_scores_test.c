/* File: tests/c_api/golden_scores_test.c
 *
 * Loading that nothing the host does to OpenSSL can change, checked by its scores. The
 * program creates an engine from the random model through the C library and compares the
 * score of every frame of the integer test signal (test_signal.h) bit for bit with
 * tests/support/golden_scores.txt, which the x86-64 build wrote and the AArch64 build
 * under qemu must reproduce. CTest runs it in hostile settings: OpenSSL configurations
 * that activate only the null provider, that set fips=yes default properties with no FIPS
 * provider, or that want a provider module from an empty OPENSSL_MODULES folder; each once
 * with the library's first create coming first, and once after the host has loaded its
 * configuration (checked to have broken the host's own default context). Around the first
 * create the program counts the files opened through open, openat and fopen, which it
 * interposes: the library must open none, and the count must see the host's configuration
 * file when the host loads it afterwards.
 *
 * Usage: golden_scores_test MODEL GOLDEN [--host-loads-config | --host-sets-fips]
 *        golden_scores_test MODEL --print   (writes a new golden file to standard output)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/types.h>

#include "quelt_wake_word.h"
#include "test_signal.h"
#include "test_util.h"

/* ---- counting the files opened ---- */

static int counting = 0;
static int opened = 0;

static void count(const char* what, const char* path) {
  if (!counting) return;
  ++opened;
  fprintf(stderr, "%s(\"%s\")\n", what, path);
}

typedef int (*OpenFn)(const char*, int, ...);
typedef int (*OpenAtFn)(int, const char*, int, ...);
typedef FILE* (*FopenFn)(const char*, const char*);

/* The C library's own function of that name. dlsym hands out an object pointer; POSIX
 * blesses this way of storing it in a function pointer. */
#define REAL(name, type)                               \
  static type real_##name = NULL;                      \
  if (real_##name == NULL) {                           \
    *(void**)(&real_##name) = dlsym(RTLD_NEXT, #name); \
    if (real_##name == NULL) abort();                  \
  }

static mode_t mode_argument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  count("open", path);
  REAL(open, OpenFn);
  return real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  count("open64", path);
  REAL(open64, OpenFn);
  return real_open64(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  count("openat", path);
  REAL(openat, OpenAtFn);
  return real_openat(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_argument(flags, args);
  va_end(args);
  count("openat64", path);
  REAL(openat64, OpenAtFn);
  return real_openat64(dir, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
  count("fopen", path);
  REAL(fopen, FopenFn);
  return real_fopen(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  count("fopen64", path);
  REAL(fopen64, FopenFn);
  return real_fopen64(path, mode);
}

/* ---- scores ---- */

/* Every frame's score bits, or the number of frames (0 on failure) without them. */
static size_t score_test_signal(const Bytes* model, uint32_t* bits, size_t capacity) {
  static int16_t pcm[TEST_SIGNAL_LEN];
  static quelt_wake_word_detection found[TEST_SIGNAL_LEN / 160];
  make_test_signal(pcm);
  quelt_wake_word_handle* engine = NULL;
  counting = 1;
  const int32_t status = quelt_wake_word_create(model->data, model->len, &engine);
  counting = 0;
  CHECK_EQ(status, QUELT_WAKE_WORD_OK);
  if (status != QUELT_WAKE_WORD_OK) return 0;
  /* Threshold 0 and no cooldown: every frame reports its score. */
  CHECK_EQ(quelt_wake_word_set_threshold(engine, 0.0f), QUELT_WAKE_WORD_OK);
  CHECK_EQ(quelt_wake_word_set_cooldown_frames(engine, 0), QUELT_WAKE_WORD_OK);
  size_t n = 0;
  CHECK_EQ(
      quelt_wake_word_push_pcm_i16(engine, pcm, TEST_SIGNAL_LEN, found, TEST_SIGNAL_LEN / 160, &n),
      QUELT_WAKE_WORD_OK);
  quelt_wake_word_destroy(engine);
  for (size_t i = 0; i < n && i < capacity; ++i) {
    CHECK_EQ(found[i].frame_index, i);
    memcpy(&bits[i], &found[i].score, sizeof bits[i]);
  }
  return n;
}

/* The golden file: '#' comment lines, then one score a line as 8 hex digits of its bits. */
static size_t read_golden(const char* path, uint32_t* bits, size_t capacity) {
  Bytes text = read_file(path);
  size_t n = 0;
  char* line = (char*)text.data;
  char* end = line + text.len;
  while (line < end) {
    char* next = memchr(line, '\n', (size_t)(end - line));
    if (next == NULL) next = end;
    if (line[0] != '#' && next > line && n < capacity) {
      bits[n++] = (uint32_t)strtoul(line, NULL, 16);
    }
    line = next + 1;
  }
  free(text.data);
  return n;
}

/* The host's own default context must now fail to give out AES-256-GCM: otherwise the
 * setting under test is not in force and the test would prove nothing. */
static void check_host_context_broken(void) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(NULL, "AES-256-GCM", NULL);
  CHECK(cipher == NULL);
  EVP_CIPHER_free(cipher);
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[2], "--print") == 0) {
    Bytes model = read_file(argv[1]);
    uint32_t bits[TEST_SIGNAL_LEN / 160];
    const size_t n = score_test_signal(&model, bits, TEST_SIGNAL_LEN / 160);
    printf(
        "# Scores of the random model (make-random-model --seed 7) over the test signal of\n"
        "# tests/c_api/test_signal.h, threshold 0 and cooldown 0: one frame a line, the\n"
        "# bits of its single-precision score in hex. Written by the x86-64 build with\n"
        "# golden_scores_test MODEL --print; every build must reproduce them.\n");
    for (size_t i = 0; i < n; ++i) printf("%08x\n", (unsigned)bits[i]);
    free(model.data);
    return n == 0 || report();
  }
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: %s MODEL GOLDEN [--host-loads-config | --host-sets-fips]\n", argv[0]);
    return 2;
  }
  const char* host = argc == 4 ? argv[3] : "";
  Bytes model = read_file(argv[1]);
  static uint32_t expected[TEST_SIGNAL_LEN / 160];
  const size_t n_expected = read_golden(argv[2], expected, TEST_SIGNAL_LEN / 160);
  CHECK(n_expected > 0);

  if (strcmp(host, "--host-loads-config") == 0) {
    CHECK_EQ(OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, NULL), 1);
    check_host_context_broken();
  } else if (strcmp(host, "--host-sets-fips") == 0) {
    CHECK_EQ(EVP_set_default_properties(NULL, "fips=yes"), 1);
    check_host_context_broken();
  } else if (host[0] != '\0') {
    fprintf(stderr, "unknown option %s\n", host);
    return 2;
  }

  static uint32_t bits[TEST_SIGNAL_LEN / 160];
  const size_t n = score_test_signal(&model, bits, TEST_SIGNAL_LEN / 160);
  CHECK_EQ(opened, 0);
  CHECK_EQ(n, n_expected);
  for (size_t i = 0; i < n && i < n_expected; ++i) {
    if (bits[i] != expected[i]) {
      fprintf(stderr, "frame %zu: score bits %08x, golden %08x\n", i, (unsigned)bits[i],
              (unsigned)expected[i]);
      ++test_failures;
    }
  }

  if (host[0] == '\0') {
    /* The host's configuration loads only now, and the count sees its file. */
    counting = 1;
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, NULL);
    counting = 0;
    CHECK(opened > 0);
  }
  free(model.data);
  return report();
}
