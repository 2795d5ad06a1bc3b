/* File: examples/c/detect.c
 *
 * Listens for the wake word in raw 16 kHz mono signed 16-bit little-endian audio:
 *   detect MODEL.qelt [AUDIO.raw]        (no AUDIO, or "-": standard input)
 *   arecord -f S16_LE -r 16000 -c 1 -t raw | detect model.qelt
 * and prints one line per detection. Build: cc detect.c $(pkg-config --cflags --libs
 * quelt_wake_word).
 */
#include <quelt_wake_word.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { CHUNK = 1600 }; /* 100 ms */

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s MODEL.qelt [AUDIO.raw|-]\n", argv[0]);
    return 2;
  }
  /* The engine copies what it needs from the artefact, so the bytes live only until
   * create returns. */
  FILE* f = fopen(argv[1], "rb");
  if (!f) {
    perror(argv[1]);
    return 1;
  }
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  rewind(f);
  uint8_t* model = malloc(size > 0 ? (size_t)size : 1);
  size_t model_len = model ? fread(model, 1, size > 0 ? (size_t)size : 0, f) : 0;
  fclose(f);

  quelt_wake_word_handle* engine = NULL;
  int32_t status = quelt_wake_word_create(model, model_len, &engine);
  free(model);
  if (status != QUELT_WAKE_WORD_OK) {
    fprintf(stderr, "%s: cannot load the model (status %d)\n", argv[1], (int)status);
    return 1;
  }

  FILE* audio = (argc == 3 && strcmp(argv[2], "-") != 0) ? fopen(argv[2], "rb") : stdin;
  if (!audio) {
    perror(argv[2]);
    quelt_wake_word_destroy(engine);
    return 1;
  }
  int16_t pcm[CHUNK]; /* little-endian host assumed, as on every Linux target */
  /* One detection per 160 samples at most: this array is never too small. */
  quelt_wake_word_detection found[CHUNK / 160];
  size_t n, count;
  while ((n = fread(pcm, sizeof pcm[0], CHUNK, audio)) > 0) {
    if (quelt_wake_word_push_pcm_i16(engine, pcm, n, found, CHUNK / 160, &count) != 0) break;
    for (size_t i = 0; i < count; ++i) {
      printf("wake word at %.2f s (score %.3f)\n", (double)found[i].timestamp_sec,
             (double)found[i].score);
      fflush(stdout);
    }
  }
  if (audio != stdin) fclose(audio);
  quelt_wake_word_destroy(engine);
  return 0;
}
