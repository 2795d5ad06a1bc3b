/* File: tests/c/header_is_c.c
 *
 * The public header compiled as strict C99 (-std=c99 -Wpedantic, warnings as errors), the
 * oldest C a user may bring: no C++ or C11 construct may leak into it. The function
 * pointers spell each signature the way a C caller or a foreign-function binding sees it,
 * so a change of a parameter type breaks this build.
 */
#include <stddef.h>

#include "quelt_wake_word.h"

typedef struct {
  uint32_t (*abi_version)(void);
  const char* (*version)(void);
  int32_t (*create)(const uint8_t*, size_t, quelt_wake_word_handle**);
  void (*destroy)(quelt_wake_word_handle*);
  int32_t (*push_pcm_i16)(quelt_wake_word_handle*, const int16_t*, size_t,
                          quelt_wake_word_detection*, size_t, size_t*);
  int32_t (*push_pcm_f32)(quelt_wake_word_handle*, const float*, size_t, quelt_wake_word_detection*,
                          size_t, size_t*);
  int32_t (*reset)(quelt_wake_word_handle*);
  int32_t (*current_score)(const quelt_wake_word_handle*, float*);
  int32_t (*set_threshold)(quelt_wake_word_handle*, float);
  int32_t (*set_cooldown_frames)(quelt_wake_word_handle*, uint64_t);
} Api;

int main(void) {
  const Api api = {quelt_wake_word_abi_version,   quelt_wake_word_version,
                   quelt_wake_word_create,        quelt_wake_word_destroy,
                   quelt_wake_word_push_pcm_i16,  quelt_wake_word_push_pcm_f32,
                   quelt_wake_word_reset,         quelt_wake_word_current_score,
                   quelt_wake_word_set_threshold, quelt_wake_word_set_cooldown_frames};
  /* The status constants are plain int constants, usable in a switch. */
  switch (api.reset(NULL)) {
    case QUELT_WAKE_WORD_E_NULL_HANDLE:
      break;
    default:
      return 1;
  }
  return api.abi_version() == QUELT_WAKE_WORD_ABI_VERSION ? 0 : 1;
}
