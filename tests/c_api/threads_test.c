/* File: tests/c_api/threads_test.c
 *
 * Engines on eight threads at once, as a server handling several audio streams would use
 * them. The threads start together at a barrier, so the first creations race for the
 * artefact reader's key material and OpenSSL library context, which are built together on
 * first use; half of them begin with an artefact that fails to build, so a failing load
 * races a succeeding one. Each thread then drives its own engine with its own chunk size
 * and checks its detections against a replay after reset; afterwards all threads must
 * agree bit for bit, and the handles are destroyed by the main thread (handles may move
 * between threads between calls). Run under ThreadSanitizer in CI, where any data race
 * fails the test.
 *
 * Usage: threads_test MODEL.qelt BUILD_FAILS.qelt
 */
#define _POSIX_C_SOURCE 200809L /* pthread barriers */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quelt_wake_word.h"
#include "test_util.h"

enum { N_THREADS = 8, N_SAMPLES = 8000, MAX_FRAMES = 64, ROUNDS = 3 };

static Bytes model;
static Bytes build_fails;
static int16_t audio[N_SAMPLES];
static pthread_barrier_t start_line;

typedef struct {
  int index;
  quelt_wake_word_handle* engine; /* left alive for the main thread to destroy */
  quelt_wake_word_detection found[MAX_FRAMES];
  size_t n_found;
  float final_score;
  int failures;
} Worker;

static size_t drive(quelt_wake_word_handle* h, size_t chunk, quelt_wake_word_detection* all,
                    int* failures) {
  size_t total = 0;
  for (size_t at = 0; at < N_SAMPLES; at += chunk) {
    size_t len = N_SAMPLES - at < chunk ? N_SAMPLES - at : chunk;
    quelt_wake_word_detection out[MAX_FRAMES];
    size_t count = 0;
    if (quelt_wake_word_push_pcm_i16(h, audio + at, len, out, MAX_FRAMES, &count) != 0 ||
        total + count > MAX_FRAMES) {
      ++*failures;
      return total;
    }
    memcpy(all + total, out, count * sizeof out[0]);
    total += count;
  }
  return total;
}

static void* work(void* arg) {
  Worker* w = arg;
  quelt_wake_word_handle* h = NULL;
  pthread_barrier_wait(&start_line);

  if (w->index % 2 == 1 && quelt_wake_word_create(build_fails.data, build_fails.len, &h) !=
                               QUELT_WAKE_WORD_E_MODEL_BUILD) {
    ++w->failures;
  }
  if (quelt_wake_word_create(model.data, model.len, &h) != QUELT_WAKE_WORD_OK) {
    ++w->failures;
    return NULL;
  }
  quelt_wake_word_set_threshold(h, 0.0f);
  quelt_wake_word_set_cooldown_frames(h, 0);

  /* Several rounds with different chunk sizes, reset in between: each must repeat the
   * first exactly. */
  quelt_wake_word_detection again[MAX_FRAMES];
  for (int round = 0; round < ROUNDS; ++round) {
    size_t chunk = 100 + 37 * (size_t)(w->index * ROUNDS + round);
    quelt_wake_word_detection* into = round == 0 ? w->found : again;
    size_t n = drive(h, chunk, into, &w->failures);
    if (round == 0) {
      w->n_found = n;
    } else if (n != w->n_found || memcmp(again, w->found, n * sizeof again[0]) != 0) {
      ++w->failures;
    }
    if (quelt_wake_word_current_score(h, &w->final_score) != 0) ++w->failures;
    if (round + 1 < ROUNDS) quelt_wake_word_reset(h);
  }

  /* Short-lived engines too: creation and destruction interleave across threads. */
  for (int i = 0; i < 2; ++i) {
    quelt_wake_word_handle* brief = NULL;
    if (quelt_wake_word_create(model.data, model.len, &brief) != 0) ++w->failures;
    quelt_wake_word_destroy(brief);
  }
  w->engine = h;
  return NULL;
}

static void test_engines_on_eight_threads(void) {
  pthread_t threads[N_THREADS];
  static Worker workers[N_THREADS];
  CHECK_EQ(pthread_barrier_init(&start_line, NULL, N_THREADS), 0);
  for (int i = 0; i < N_THREADS; ++i) {
    workers[i].index = i;
    CHECK_EQ(pthread_create(&threads[i], NULL, work, &workers[i]), 0);
  }
  for (int i = 0; i < N_THREADS; ++i) CHECK_EQ(pthread_join(threads[i], NULL), 0);
  pthread_barrier_destroy(&start_line);

  const size_t frames = (N_SAMPLES - 400) / 160 + 1;
  for (int i = 0; i < N_THREADS; ++i) {
    CHECK_EQ(workers[i].failures, 0);
    CHECK_EQ(workers[i].n_found, frames);
    CHECK(memcmp(workers[i].found, workers[0].found, frames * sizeof workers[0].found[0]) == 0);
    CHECK(memcmp(&workers[i].final_score, &workers[0].final_score, sizeof(float)) == 0);
    quelt_wake_word_destroy(workers[i].engine);
  }

  /* The same audio on this thread, one push, agrees with all of them. */
  quelt_wake_word_handle* h = NULL;
  CHECK_EQ(quelt_wake_word_create(model.data, model.len, &h), QUELT_WAKE_WORD_OK);
  if (h == NULL) return;
  quelt_wake_word_set_threshold(h, 0.0f);
  quelt_wake_word_set_cooldown_frames(h, 0);
  quelt_wake_word_detection out[MAX_FRAMES];
  size_t count = 0;
  CHECK_EQ(quelt_wake_word_push_pcm_i16(h, audio, N_SAMPLES, out, MAX_FRAMES, &count), 0);
  CHECK_EQ(count, frames);
  CHECK(memcmp(out, workers[0].found, frames * sizeof out[0]) == 0);
  quelt_wake_word_destroy(h);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s MODEL.qelt BUILD_FAILS.qelt\n", argv[0]);
    return 2;
  }
  model = read_file(argv[1]);
  build_fails = read_file(argv[2]);
  fill_audio_i16(audio, N_SAMPLES);
  RUN(test_engines_on_eight_threads);
  free(model.data);
  free(build_fails.data);
  return report();
}
