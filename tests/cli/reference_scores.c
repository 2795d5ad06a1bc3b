/* File: tests/cli/reference_scores.c
 *
 * Every frame's score of a raw s16le 16 kHz mono file, computed through the C library
 * alone: threshold 0 and cooldown 0 make every frame a detection, and the whole file goes
 * in as one i16 push. The CLI reaches its scores by another road (libsndfile, float
 * samples, one push per frame), so the two agreeing bit for bit checks that road.
 * Prints one score per line, "%.9g" (enough digits to round-trip a float).
 *
 * Usage: reference_scores MODEL.qelt AUDIO.raw
 */
#include <stdio.h>
#include <stdlib.h>

#include "quelt_wake_word.h"
#include "test_util.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s MODEL.qelt AUDIO.raw\n", argv[0]);
    return 2;
  }
  Bytes model = read_file(argv[1]);
  Bytes audio = read_file(argv[2]);
  quelt_wake_word_handle* h = NULL;
  if (quelt_wake_word_create(model.data, model.len, &h) != QUELT_WAKE_WORD_OK) return 1;
  quelt_wake_word_set_threshold(h, 0.0f);
  quelt_wake_word_set_cooldown_frames(h, 0);

  const size_t n = audio.len / 2;
  int16_t* pcm = malloc(n * sizeof *pcm + 1);
  for (size_t i = 0; i < n; ++i) {
    pcm[i] = (int16_t)(uint16_t)(audio.data[2 * i] | (audio.data[2 * i + 1] << 8));
  }
  const size_t capacity = n / 160 + 1;
  quelt_wake_word_detection* found = malloc(capacity * sizeof *found);
  size_t count = 0;
  if (quelt_wake_word_push_pcm_i16(h, pcm, n, found, capacity, &count) != QUELT_WAKE_WORD_OK) {
    return 1;
  }
  for (size_t i = 0; i < count; ++i) {
    if (found[i].frame_index != i) return 1;
    printf("%.9g\n", (double)found[i].score);
  }
  quelt_wake_word_destroy(h);
  free(found);
  free(pcm);
  free(model.data);
  free(audio.data);
  return 0;
}
