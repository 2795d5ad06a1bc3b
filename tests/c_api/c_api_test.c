/* File: tests/c_api/c_api_test.c
 *
 * The C interface as a C program sees it: compiled as C11 against the installed header
 * only, linked to the shared library, run in a process with no C++ of its own. Covers the
 * order of the argument checks, what each status leaves untouched, the copy-out and its
 * -7 case, threshold validation by value and by bit pattern, and the versions.
 *
 * Usage: c_api_test MODEL.qelt BUILD_FAILS.qelt
 *   MODEL.qelt        a valid artefact (random weights)
 *   BUILD_FAILS.qelt  a readable artefact whose tensors do not build the network
 */
#define _DEFAULT_SOURCE /* mmap's MAP_ANONYMOUS */
#include <float.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sys/mman.h>

#include "quelt_wake_word.h"
#include "test_util.h"

static Bytes model;
static Bytes build_fails;

/* --- helpers ---------------------------------------------------------------------- */

static quelt_wake_word_handle* new_engine(void) {
  quelt_wake_word_handle* h = NULL;
  int32_t status = quelt_wake_word_create(model.data, model.len, &h);
  CHECK_EQ(status, QUELT_WAKE_WORD_OK);
  if (status != QUELT_WAKE_WORD_OK) {
    fprintf(stderr, "cannot continue without an engine\n");
    exit(1);
  }
  return h;
}

/* An engine on which every frame detects, so detections enumerate frames. */
static quelt_wake_word_handle* new_every_frame_engine(void) {
  quelt_wake_word_handle* h = new_engine();
  CHECK_EQ(quelt_wake_word_set_threshold(h, 0.0f), QUELT_WAKE_WORD_OK);
  CHECK_EQ(quelt_wake_word_set_cooldown_frames(h, 0), QUELT_WAKE_WORD_OK);
  return h;
}

/* Pushes `n` samples of `audio` in chunks of `chunk`, collecting every detection. */
static size_t push_all_i16(quelt_wake_word_handle* h, const int16_t* audio, size_t n, size_t chunk,
                           quelt_wake_word_detection* all, size_t all_capacity) {
  size_t total = 0;
  for (size_t at = 0; at < n; at += chunk) {
    size_t len = n - at < chunk ? n - at : chunk;
    quelt_wake_word_detection found[64];
    size_t count = 0;
    CHECK_EQ(quelt_wake_word_push_pcm_i16(h, audio + at, len, found, 64, &count),
             QUELT_WAKE_WORD_OK);
    for (size_t i = 0; i < count && total < all_capacity; ++i) all[total++] = found[i];
  }
  return total;
}

static float score_of(const quelt_wake_word_handle* h) {
  float s = -1.0f;
  CHECK_EQ(quelt_wake_word_current_score(h, &s), QUELT_WAKE_WORD_OK);
  return s;
}

static uint32_t bits_of(float f) {
  uint32_t b;
  memcpy(&b, &f, sizeof b);
  return b;
}

static float float_of(uint32_t b) {
  float f;
  memcpy(&f, &b, sizeof f);
  return f;
}

/* --- versions --------------------------------------------------------------------- */

static void test_versions_without_engine(void) {
  CHECK_EQ(quelt_wake_word_abi_version(), 65536u);
  CHECK_EQ(quelt_wake_word_abi_version(), QUELT_WAKE_WORD_ABI_VERSION);
  CHECK_STR_EQ(quelt_wake_word_version(), "0.1.0");
  /* The same static string every time. */
  CHECK(quelt_wake_word_version() == quelt_wake_word_version());
}

/* --- create ----------------------------------------------------------------------- */

static void test_create_argument_checks(void) {
  int sentinel;
  quelt_wake_word_handle* const untouched = (quelt_wake_word_handle*)(void*)&sentinel;
  quelt_wake_word_handle* h = untouched;

  /* A zero length is an empty artefact, not a missing pointer. */
  CHECK_EQ(quelt_wake_word_create(NULL, 0, &h), QUELT_WAKE_WORD_E_DESERIALIZE);
  CHECK(h == untouched);
  CHECK_EQ(quelt_wake_word_create(NULL, 10, &h), QUELT_WAKE_WORD_E_INVALID_ARG);
  CHECK(h == untouched);
  /* Null bytes with a length come first, even when out_handle is null too. */
  CHECK_EQ(quelt_wake_word_create(NULL, 10, NULL), QUELT_WAKE_WORD_E_INVALID_ARG);

  /* With a null out_handle the bytes are not read: they sit on a page that cannot be read,
   * so reading them would crash the test. */
  long page = sysconf(_SC_PAGESIZE);
  void* noaccess = mmap(NULL, (size_t)page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  CHECK(noaccess != MAP_FAILED);
  if (noaccess != MAP_FAILED) {
    CHECK_EQ(quelt_wake_word_create((const uint8_t*)noaccess, (size_t)page, NULL),
             QUELT_WAKE_WORD_E_INVALID_ARG);
    /* A zero length reads nothing either, wherever the pointer points. */
    CHECK_EQ(quelt_wake_word_create((const uint8_t*)noaccess, 0, &h),
             QUELT_WAKE_WORD_E_DESERIALIZE);
    CHECK(h == untouched);
    munmap(noaccess, (size_t)page);
  }
  CHECK_EQ(quelt_wake_word_create(model.data, model.len, NULL), QUELT_WAKE_WORD_E_INVALID_ARG);
}

static void expect_deserialize_failure(const char* what, const uint8_t* bytes, size_t len) {
  int sentinel;
  quelt_wake_word_handle* const untouched = (quelt_wake_word_handle*)(void*)&sentinel;
  quelt_wake_word_handle* h = untouched;
  int32_t status = quelt_wake_word_create(bytes, len, &h);
  if (status != QUELT_WAKE_WORD_E_DESERIALIZE) {
    fprintf(stderr, "  (artefact: %s)\n", what);
  }
  CHECK_EQ(status, QUELT_WAKE_WORD_E_DESERIALIZE);
  CHECK(h == untouched);
}

static void test_create_broken_artefacts(void) {
  uint8_t* copy = malloc(model.len);
  CHECK(copy != NULL && model.len > 64);
  if (copy == NULL || model.len <= 64) return;

  expect_deserialize_failure("empty, non-null pointer", model.data, 0);
  expect_deserialize_failure("63 bytes", model.data, 63);
  expect_deserialize_failure("header only", model.data, 64);

  memcpy(copy, model.data, model.len);
  copy[0] ^= 0x01; /* magic */
  expect_deserialize_failure("bad magic", copy, model.len);

  memcpy(copy, model.data, model.len);
  copy[6] ^= 0x01; /* version_minor: never interpreted, but authenticated */
  expect_deserialize_failure("edited header byte", copy, model.len);

  /* One flipped bit anywhere in the encrypted payload or its tag fails authentication.
   * Walk a few positions spread over the file past the header. */
  for (size_t at = 64; at < model.len; at += model.len / 7 + 1) {
    memcpy(copy, model.data, model.len);
    copy[at] ^= 0x80;
    char what[64];
    snprintf(what, sizeof what, "bit flipped at byte %zu", at);
    expect_deserialize_failure(what, copy, model.len);
  }

  /* Noise that happens to start with the magic. */
  for (size_t i = 0; i < model.len; ++i) copy[i] = (uint8_t)(lcg_next() >> 24);
  memcpy(copy, "QELT", 4);
  expect_deserialize_failure("noise after the magic", copy, model.len);
  free(copy);
}

static void test_create_build_failure(void) {
  int sentinel;
  quelt_wake_word_handle* const untouched = (quelt_wake_word_handle*)(void*)&sentinel;
  quelt_wake_word_handle* h = untouched;
  CHECK_EQ(quelt_wake_word_create(build_fails.data, build_fails.len, &h),
           QUELT_WAKE_WORD_E_MODEL_BUILD);
  CHECK(h == untouched);
}

/* --- null handles ----------------------------------------------------------------- */

static void test_null_handle_comes_first(void) {
  /* Every other argument is invalid too: the handle is checked before them. */
  CHECK_EQ(quelt_wake_word_push_pcm_i16(NULL, NULL, 10, NULL, 10, NULL),
           QUELT_WAKE_WORD_E_NULL_HANDLE);
  CHECK_EQ(quelt_wake_word_push_pcm_f32(NULL, NULL, 10, NULL, 10, NULL),
           QUELT_WAKE_WORD_E_NULL_HANDLE);
  CHECK_EQ(quelt_wake_word_reset(NULL), QUELT_WAKE_WORD_E_NULL_HANDLE);
  CHECK_EQ(quelt_wake_word_current_score(NULL, NULL), QUELT_WAKE_WORD_E_NULL_HANDLE);
  CHECK_EQ(quelt_wake_word_set_threshold(NULL, NAN), QUELT_WAKE_WORD_E_NULL_HANDLE);
  CHECK_EQ(quelt_wake_word_set_cooldown_frames(NULL, 5), QUELT_WAKE_WORD_E_NULL_HANDLE);
  quelt_wake_word_destroy(NULL);
}

/* --- push ------------------------------------------------------------------------- */

static void test_push_argument_checks_change_nothing(void) {
  quelt_wake_word_handle* h = new_every_frame_engine();
  int16_t pcm[800];
  fill_audio_i16(pcm, 800);
  float pcm_f[800];
  for (int i = 0; i < 800; ++i) pcm_f[i] = (float)pcm[i] / 32768.0f;
  quelt_wake_word_detection out[8];
  const size_t untouched = 12345;
  size_t count = untouched;

  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 800, out, 8, NULL), QUELT_WAKE_WORD_E_INVALID_ARG);
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, NULL, 800, out, 8, &count),
           QUELT_WAKE_WORD_E_INVALID_ARG);
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 800, NULL, 8, &count),
           QUELT_WAKE_WORD_E_INVALID_ARG);
  CHECK_EQ(quelt_wake_word_push_pcm_f32(h, pcm_f, 800, out, 8, NULL),
           QUELT_WAKE_WORD_E_INVALID_ARG);
  CHECK_EQ(quelt_wake_word_push_pcm_f32(h, NULL, 800, out, 8, &count),
           QUELT_WAKE_WORD_E_INVALID_ARG);
  CHECK_EQ(quelt_wake_word_push_pcm_f32(h, pcm_f, 800, NULL, 8, &count),
           QUELT_WAKE_WORD_E_INVALID_ARG);
  CHECK_EQ(count, untouched);
  CHECK_EQ(quelt_wake_word_current_score(h, NULL), QUELT_WAKE_WORD_E_INVALID_ARG);

  /* None of the refused pushes consumed audio: the first frame is still frame 0. */
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 400, out, 8, &count), QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, 1u);
  CHECK_EQ(out[0].frame_index, 0u);
  quelt_wake_word_destroy(h);
}

static void test_push_empty_and_null_array(void) {
  quelt_wake_word_handle* h = new_every_frame_engine();
  int16_t pcm[400];
  fill_audio_i16(pcm, 400);
  size_t count = 99;

  /* Zero samples: pcm is not read, the count is stored. */
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, NULL, 0, NULL, 0, &count), QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, 0u);
  count = 99;
  CHECK_EQ(quelt_wake_word_push_pcm_f32(h, NULL, 0, NULL, 0, &count), QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, 0u);

  /* No array at all is fine while no detection occurs (399 samples: no frame yet)... */
  count = 99;
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 399, NULL, 0, &count), QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, 0u);
  /* ...and the 400th sample completes frame 0, which detects: -7 with the count. */
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm + 399, 1, NULL, 0, &count),
           QUELT_WAKE_WORD_E_BUFFER_TOO_SMALL);
  CHECK_EQ(count, 1u);
  quelt_wake_word_destroy(h);
}

static void test_push_too_many_detections(void) {
  quelt_wake_word_handle* h = new_every_frame_engine();
  int16_t pcm[1760];
  fill_audio_i16(pcm, 1760);
  quelt_wake_word_detection out[6];
  memset(out, 0xAB, sizeof out);
  size_t count = 0;

  /* 1600 samples complete frames 0 to 7: eight detections for room of four. */
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 1600, out, 4, &count),
           QUELT_WAKE_WORD_E_BUFFER_TOO_SMALL);
  CHECK_EQ(count, 8u);
  for (size_t i = 0; i < sizeof out; ++i) CHECK_EQ(((const uint8_t*)out)[i], 0xABu);

  /* Those eight are gone; the engine moved past them, so the next frame is 8. */
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm + 1600, 160, out, 4, &count), QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, 1u);
  CHECK_EQ(out[0].frame_index, 8u);
  CHECK_EQ(bits_of(out[0].timestamp_sec), bits_of(1280.0f / 16000.0f));
  CHECK_EQ(bits_of(out[0].score), bits_of(score_of(h)));
  /* Entries past the count are left alone. */
  for (size_t i = sizeof out[0]; i < sizeof out; ++i) CHECK_EQ(((const uint8_t*)out)[i], 0xABu);
  quelt_wake_word_destroy(h);
}

static void test_push_copies_exact_records(void) {
  enum { N = 16000 };
  int16_t* pcm = malloc(N * sizeof *pcm);
  float* pcm_f = malloc(N * sizeof *pcm_f);
  fill_audio_i16(pcm, N);
  for (size_t i = 0; i < N; ++i) pcm_f[i] = (float)pcm[i] / 32768.0f;
  /* 1 s: frames 0 to 97. */
  const size_t frames = (N - 400) / 160 + 1;
  quelt_wake_word_detection whole[128], chunked[128], as_f32[128];

  /* One push with an array of exactly the detection count. */
  quelt_wake_word_handle* a = new_every_frame_engine();
  size_t count = 0;
  CHECK_EQ(quelt_wake_word_push_pcm_i16(a, pcm, N, whole, frames, &count), QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, frames);
  for (size_t i = 0; i < count; ++i) {
    CHECK_EQ(whole[i].frame_index, i);
    CHECK_EQ(bits_of(whole[i].timestamp_sec), bits_of((float)(160 * i) / 16000.0f));
    CHECK(whole[i].score >= 0.0f && whole[i].score <= 1.0f);
  }
  CHECK_EQ(bits_of(whole[count - 1].score), bits_of(score_of(a)));

  /* Chunks around the frame and hop sizes give the same records, bit for bit. */
  static const size_t chunks[] = {1, 159, 160, 161, 399, 400, 401, 1000};
  for (size_t c = 0; c < sizeof chunks / sizeof chunks[0]; ++c) {
    CHECK_EQ(quelt_wake_word_reset(a), QUELT_WAKE_WORD_OK);
    size_t got = push_all_i16(a, pcm, N, chunks[c], chunked, 128);
    CHECK_EQ(got, frames);
    if (memcmp(whole, chunked, frames * sizeof whole[0]) != 0) {
      fprintf(stderr, "  (chunk size %zu)\n", chunks[c]);
      CHECK(!"chunked push differs from one push");
    }
  }

  /* f32 samples s / 32768 give what the i16 samples give. */
  quelt_wake_word_handle* b = new_every_frame_engine();
  CHECK_EQ(quelt_wake_word_push_pcm_f32(b, pcm_f, N, as_f32, 128, &count), QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, frames);
  CHECK(memcmp(whole, as_f32, frames * sizeof whole[0]) == 0);

  quelt_wake_word_destroy(a);
  quelt_wake_word_destroy(b);
  free(pcm);
  free(pcm_f);
}

/* --- settings --------------------------------------------------------------------- */

/* How many of the next `frames` frames detect. */
static size_t detections_in_next_frames(quelt_wake_word_handle* h, size_t frames) {
  int16_t pcm[160 * 16];
  fill_audio_i16(pcm, 160 * frames);
  quelt_wake_word_detection out[16];
  size_t count = 0;
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 160 * frames, out, 16, &count), QUELT_WAKE_WORD_OK);
  return count;
}

static void test_threshold_accept_and_reject(void) {
  quelt_wake_word_handle* h = new_every_frame_engine();
  int16_t pcm[400];
  fill_audio_i16(pcm, 400);
  size_t count;
  quelt_wake_word_detection out[4];
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 400, out, 4, &count), QUELT_WAKE_WORD_OK);

  const float rejected[] = {
      -0.5f,
      nextafterf(1.0f, 2.0f), /* the smallest float above 1 */
      1.5f,
      -FLT_TRUE_MIN, /* the negative number closest to -0.0 */
      NAN,
      INFINITY,
      -INFINITY,
      float_of(0xFFC00000u), /* negative quiet NaN */
      float_of(0x7F800001u), /* signalling NaN */
      float_of(0x7FFFFFFFu),
  };
  for (size_t i = 0; i < sizeof rejected / sizeof rejected[0]; ++i) {
    if (quelt_wake_word_set_threshold(h, rejected[i]) != QUELT_WAKE_WORD_E_INVALID_ARG) {
      fprintf(stderr, "  (threshold bits 0x%08x)\n", (unsigned)bits_of(rejected[i]));
      CHECK(!"threshold accepted");
    }
  }
  /* 0.0 stayed in force through every refusal: each frame still detects. */
  CHECK_EQ(detections_in_next_frames(h, 5), 5u);

  /* 1.0 is accepted; a random model's scores stay below it, so nothing detects. */
  CHECK_EQ(quelt_wake_word_set_threshold(h, 1.0f), QUELT_WAKE_WORD_OK);
  CHECK(score_of(h) < 1.0f);
  CHECK_EQ(detections_in_next_frames(h, 5), 0u);
  /* -0.0 is zero: every frame detects again. */
  CHECK_EQ(quelt_wake_word_set_threshold(h, -0.0f), QUELT_WAKE_WORD_OK);
  CHECK_EQ(detections_in_next_frames(h, 5), 5u);
  CHECK_EQ(quelt_wake_word_set_threshold(h, FLT_TRUE_MIN), QUELT_WAKE_WORD_OK);
  CHECK_EQ(quelt_wake_word_set_threshold(h, 0.0f), QUELT_WAKE_WORD_OK);
  quelt_wake_word_destroy(h);
}

static void test_cooldown(void) {
  quelt_wake_word_handle* h = new_engine();
  CHECK_EQ(quelt_wake_word_set_threshold(h, 0.0f), QUELT_WAKE_WORD_OK);
  CHECK_EQ(quelt_wake_word_set_cooldown_frames(h, 2), QUELT_WAKE_WORD_OK);
  int16_t pcm[400 + 159 * 160];
  fill_audio_i16(pcm, sizeof pcm / sizeof pcm[0]);
  quelt_wake_word_detection out[64];
  size_t count = 0;
  /* Frames 0 to 9: detections at 0, 3, 6, 9. */
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm, 400 + 9 * 160, out, 64, &count),
           QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, 4u);
  for (size_t i = 0; i < count; ++i) CHECK_EQ(out[i].frame_index, 3 * i);

  /* The largest cooldown is accepted and takes effect from the next detection (frame 12);
   * nothing detects after that. */
  CHECK_EQ(quelt_wake_word_set_cooldown_frames(h, UINT64_MAX), QUELT_WAKE_WORD_OK);
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, pcm + 400 + 9 * 160, 150 * 160, out, 64, &count),
           QUELT_WAKE_WORD_OK);
  CHECK_EQ(count, 1u);
  CHECK_EQ(out[0].frame_index, 12u);
  quelt_wake_word_destroy(h);
}

/* --- score and reset -------------------------------------------------------------- */

static void test_score_and_reset(void) {
  quelt_wake_word_handle* h = new_engine();
  quelt_wake_word_handle* other = new_engine();
  /* Right after create: the warm-up's silence score, not the 0.5 of an empty pool. */
  float fresh = 0.0f;
  CHECK_EQ(quelt_wake_word_current_score(h, &fresh), QUELT_WAKE_WORD_OK);
  CHECK(fresh >= 0.0f && fresh <= 1.0f);
  CHECK(fresh != 0.5f);
  CHECK_EQ(bits_of(score_of(other)), bits_of(fresh));
  /* Reading changes nothing. */
  CHECK_EQ(bits_of(score_of(h)), bits_of(fresh));

  CHECK_EQ(quelt_wake_word_set_threshold(h, 0.0f), QUELT_WAKE_WORD_OK);
  CHECK_EQ(quelt_wake_word_set_cooldown_frames(h, 4), QUELT_WAKE_WORD_OK);
  enum { N = 4000 };
  int16_t pcm[N];
  fill_audio_i16(pcm, N);
  quelt_wake_word_detection first[32], again[32];
  size_t n_first = push_all_i16(h, pcm, N, 777, first, 32);
  CHECK(n_first > 1);
  CHECK(score_of(h) != fresh);

  /* Reset gives back the fresh engine, keeping threshold and cooldown: the replay matches
   * frame for frame, frame indices from 0 again. */
  CHECK_EQ(quelt_wake_word_reset(h), QUELT_WAKE_WORD_OK);
  CHECK_EQ(bits_of(score_of(h)), bits_of(fresh));
  size_t n_again = push_all_i16(h, pcm, N, 777, again, 32);
  CHECK_EQ(n_again, n_first);
  CHECK(memcmp(first, again, n_first * sizeof first[0]) == 0);
  CHECK_EQ(first[0].frame_index, 0u);
  CHECK_EQ(first[1].frame_index, 5u);

  /* The other engine saw none of this. */
  CHECK_EQ(bits_of(score_of(other)), bits_of(fresh));
  quelt_wake_word_destroy(h);
  quelt_wake_word_destroy(other);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s MODEL.qelt BUILD_FAILS.qelt\n", argv[0]);
    return 2;
  }
  /* Before any engine exists, and after all are gone. */
  RUN(test_versions_without_engine);
  model = read_file(argv[1]);
  build_fails = read_file(argv[2]);

  RUN(test_create_argument_checks);
  RUN(test_create_broken_artefacts);
  RUN(test_create_build_failure);
  RUN(test_null_handle_comes_first);
  RUN(test_push_argument_checks_change_nothing);
  RUN(test_push_empty_and_null_array);
  RUN(test_push_too_many_detections);
  RUN(test_push_copies_exact_records);
  RUN(test_threshold_accept_and_reject);
  RUN(test_cooldown);
  RUN(test_score_and_reset);
  RUN(test_versions_without_engine);

  free(model.data);
  free(build_fails.data);
  return report();
}
