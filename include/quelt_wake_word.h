/* File: quelt_wake_word.h
 *
 * The C interface of quelt_wake_word, a streaming wake-word detector for 16 kHz mono
 * audio. An engine is built from the bytes of a .qelt model artefact; the caller then pushes
 * PCM chunks of any size and gets back the detections that fell inside each chunk. Every
 * 10 ms of audio is one frame; each frame has a score in [0, 1], and a frame whose score
 * reaches the threshold (default 0.9) is a detection, after which a cooldown (default 100
 * frames = 1 s) suppresses further detections.
 *
 * Threading: the library starts no threads and takes no locks. Distinct engines share
 * nothing mutable and may be used from different threads at the same time, and any number
 * of threads may create engines at once. One engine serves one call at a time: the caller
 * serialises every call on a handle, destroy included. A handle may move between threads
 * between calls.
 *
 * Errors: every fallible function returns a status (QUELT_WAKE_WORD_OK or a negative
 * QUELT_WAKE_WORD_E_* value). A call that fails a check changes nothing: the engine is not
 * touched and no out-parameter is written. No function prints, logs or keeps a message.
 *
 * Usage:
 *
 *   quelt_wake_word_handle* engine = NULL;
 *   if (quelt_wake_word_create(model, model_len, &engine) != QUELT_WAKE_WORD_OK) fail();
 *   quelt_wake_word_detection found[10];   // ceil(1600 / 160): never too small
 *   size_t n = 0;
 *   while (read_pcm(chunk, 1600)) {
 *     if (quelt_wake_word_push_pcm_i16(engine, chunk, 1600, found, 10, &n) == 0)
 *       for (size_t i = 0; i < n; ++i) printf("wake word at %.2f s\n", found[i].timestamp_sec);
 *   }
 *   quelt_wake_word_destroy(engine);
 *
 * The header is C99 and C++ compatible.
 */
#ifndef QUELT_WAKE_WORD_H_
#define QUELT_WAKE_WORD_H_

#include <stddef.h>
#include <stdint.h>

#if defined(QUELT_WAKE_WORD_BUILDING) && defined(__GNUC__)
#define QUELT_WAKE_WORD_API __attribute__((visibility("default")))
#else
#define QUELT_WAKE_WORD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. Only these values are ever returned by the fallible functions. */
enum quelt_wake_word_status {
  /* Success. */
  QUELT_WAKE_WORD_OK = 0,
  /* A required pointer is null (or contradicts its length), or a threshold is not a finite
   * number in [0, 1]. */
  QUELT_WAKE_WORD_E_INVALID_ARG = -1,
  /* The handle argument is null. Checked before every other argument. */
  QUELT_WAKE_WORD_E_NULL_HANDLE = -2,
  /* The artefact bytes failed to parse, validate or decrypt (an empty artefact too): the
   * file is broken or was made for another deployment. Never the host's doing: the library
   * decrypts with an OpenSSL library context of its own, which reads no configuration file
   * and which no OpenSSL configuration, environment variable or default property of the
   * process reaches. */
  QUELT_WAKE_WORD_E_DESERIALIZE = -3,
  /* The artefact was read, but the network could not be built from its tensors (a missing
   * tensor or a wrong shape). */
  QUELT_WAKE_WORD_E_MODEL_BUILD = -4,
  /* A push produced more detections than the caller's array holds; see the push. */
  QUELT_WAKE_WORD_E_BUFFER_TOO_SMALL = -7,
  /* Memory ran out. create: nothing was created. This is also the status when the
   * library's own OpenSSL context, which the first create of a process sets up, cannot be
   * set up; the next create tries again. push: the engine may have consumed part of the
   * chunk; call quelt_wake_word_reset before relying on frame indices again. */
  QUELT_WAKE_WORD_E_OUT_OF_MEMORY = -8
};

/* The ABI version that quelt_wake_word_abi_version returns: major in the high 16 bits. */
#define QUELT_WAKE_WORD_ABI_VERSION 0x00010000u

/* An engine: one detection session with its model. Opaque; only ever held by pointer. */
typedef struct quelt_wake_word_handle quelt_wake_word_handle;

/* One detection event. 16 bytes, alignment 8, no padding. */
typedef struct quelt_wake_word_detection {
  /* 0-based frame count since create or the last reset (one frame per 10 ms). */
  uint64_t frame_index;
  /* Start of the detecting frame in seconds since create or the last reset:
   * frame_index * 0.01, computed in single precision. */
  float timestamp_sec;
  /* The detecting frame's score, in [0, 1]. */
  float score;
} quelt_wake_word_detection;

#if defined(__cplusplus)
static_assert(sizeof(quelt_wake_word_detection) == 16, "detection record is 16 bytes");
static_assert(alignof(quelt_wake_word_detection) == 8, "detection record is 8-aligned");
static_assert(offsetof(quelt_wake_word_detection, timestamp_sec) == 8, "timestamp at 8");
static_assert(offsetof(quelt_wake_word_detection, score) == 12, "score at 12");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(quelt_wake_word_detection) == 16, "detection record is 16 bytes");
_Static_assert(_Alignof(quelt_wake_word_detection) == 8, "detection record is 8-aligned");
_Static_assert(offsetof(quelt_wake_word_detection, timestamp_sec) == 8, "timestamp at 8");
_Static_assert(offsetof(quelt_wake_word_detection, score) == 12, "score at 12");
#else
/* C99: a negative array size stops the build if the layout is off. */
typedef char
    quelt_wake_word_detection_layout_check_[(sizeof(quelt_wake_word_detection) == 16 &&
                                             offsetof(quelt_wake_word_detection, timestamp_sec) ==
                                                 8 &&
                                             offsetof(quelt_wake_word_detection, score) == 12)
                                                ? 1
                                                : -1];
#endif

/**
 * @return QUELT_WAKE_WORD_ABI_VERSION (0x00010000), whether or not any engine exists.
 */
QUELT_WAKE_WORD_API uint32_t quelt_wake_word_abi_version(void);

/**
 * @return the library version, the static string "0.1.0". The caller must not free or
 *         modify it. Valid whether or not any engine exists.
 */
QUELT_WAKE_WORD_API const char* quelt_wake_word_version(void);

/**
 * Builds an engine from the bytes of a .qelt model artefact, with the default settings
 * (threshold 0.9, cooldown 100 frames), and warms it up on 2 s of silence so that the
 * first real frames score against a full pool. Takes about the time of 200 frames.
 *
 * Ownership: reads model_bytes during the call only and keeps no pointer to it; the caller
 * may free it as soon as create returns. The new engine belongs to the caller, who releases
 * it with quelt_wake_word_destroy.
 *
 * @param model_bytes the artefact's bytes; may be null only when model_len is 0.
 * @param model_len   number of bytes at model_bytes. 0 is an empty (so broken) artefact.
 * @param out_handle  receives the new engine; written only on success.
 * @return QUELT_WAKE_WORD_OK;
 *         QUELT_WAKE_WORD_E_INVALID_ARG if model_bytes is null while model_len is not 0, or
 *           if out_handle is null (then the bytes are not read);
 *         QUELT_WAKE_WORD_E_DESERIALIZE if the bytes are not a readable artefact (truncated,
 *           foreign, unsupported version, failed decryption, bad manifest or tensor table),
 *           whatever the process's OpenSSL configuration;
 *         QUELT_WAKE_WORD_E_MODEL_BUILD if the artefact lacks a tensor the network needs or
 *           has one of the wrong shape;
 *         QUELT_WAKE_WORD_E_OUT_OF_MEMORY if memory ran out, also for the library's own
 *           OpenSSL context (set up once per process; a later create tries again).
 */
QUELT_WAKE_WORD_API int32_t quelt_wake_word_create(const uint8_t* model_bytes, size_t model_len,
                                                   quelt_wake_word_handle** out_handle);

/**
 * Releases an engine and everything it owns. The handle is invalid afterwards.
 *
 * @param handle the engine, or null (then nothing happens).
 */
QUELT_WAKE_WORD_API void quelt_wake_word_destroy(quelt_wake_word_handle* handle);

/**
 * Feeds 16 kHz mono signed 16-bit samples (each s is taken as s / 32768) and returns the
 * detections that occurred in this chunk, in frame order. Chunks may have any size: any
 * split of the same audio gives the same frames, scores and detections.
 *
 * The audio is consumed whatever the outcome of the copy-out: if more detections occurred
 * than out_capacity, none are copied, *out_count receives their number and the call returns
 * QUELT_WAKE_WORD_E_BUFFER_TOO_SMALL; those detections are lost (the engine has moved past
 * them and its cooldown reflects them). An out_capacity of at least
 * (n_samples + 159) / 160 never sees that status, because a push completes at most one
 * frame per 160 samples and each frame gives at most one detection.
 *
 * Ownership: reads pcm during the call only and keeps no pointer to it or to
 * out_detections after the call returns.
 *
 * @param handle         the engine.
 * @param pcm            n_samples samples; may be null only when n_samples is 0.
 * @param n_samples      number of samples; 0 is a valid empty push.
 * @param out_detections caller-owned array of out_capacity records; may be null only when
 *                       out_capacity is 0. Only the first *out_count entries are written.
 * @param out_capacity   number of records out_detections holds.
 * @param out_count      receives the number of detections of this chunk (also on
 *                       QUELT_WAKE_WORD_E_BUFFER_TOO_SMALL).
 * @return QUELT_WAKE_WORD_OK;
 *         QUELT_WAKE_WORD_E_NULL_HANDLE if handle is null;
 *         QUELT_WAKE_WORD_E_INVALID_ARG if out_count is null, or pcm is null with n_samples
 *           above 0, or out_detections is null with out_capacity above 0 (the audio is then
 *           not consumed);
 *         QUELT_WAKE_WORD_E_BUFFER_TOO_SMALL as described above;
 *         QUELT_WAKE_WORD_E_OUT_OF_MEMORY if memory ran out.
 */
QUELT_WAKE_WORD_API int32_t quelt_wake_word_push_pcm_i16(quelt_wake_word_handle* handle,
                                                         const int16_t* pcm, size_t n_samples,
                                                         quelt_wake_word_detection* out_detections,
                                                         size_t out_capacity, size_t* out_count);

/**
 * As quelt_wake_word_push_pcm_i16, with 32-bit float samples, nominally in [-1, 1]. Samples
 * are neither checked nor clipped; a NaN or infinite sample makes the frames containing it
 * score like silence.
 */
QUELT_WAKE_WORD_API int32_t quelt_wake_word_push_pcm_f32(quelt_wake_word_handle* handle,
                                                         const float* pcm, size_t n_samples,
                                                         quelt_wake_word_detection* out_detections,
                                                         size_t out_capacity, size_t* out_count);

/**
 * Returns the engine to the state create left it in (frame count 0, warmed up on silence),
 * keeping any threshold or cooldown set since.
 *
 * @return QUELT_WAKE_WORD_OK, or QUELT_WAKE_WORD_E_NULL_HANDLE if handle is null.
 */
QUELT_WAKE_WORD_API int32_t quelt_wake_word_reset(quelt_wake_word_handle* handle);

/**
 * Reads the score of the latest frame (right after create or reset: the score of silence).
 * Changes nothing.
 *
 * @param out_score receives the score, in [0, 1]; written only on success.
 * @return QUELT_WAKE_WORD_OK; QUELT_WAKE_WORD_E_NULL_HANDLE if handle is null;
 *         QUELT_WAKE_WORD_E_INVALID_ARG if out_score is null.
 */
QUELT_WAKE_WORD_API int32_t quelt_wake_word_current_score(const quelt_wake_word_handle* handle,
                                                          float* out_score);

/**
 * Sets the score a frame must reach to detect. Applies from the next frame. 0.0 makes every
 * tested frame detect; 1.0 only a saturated score.
 *
 * @param threshold a finite value in [0, 1] (-0.0 included).
 * @return QUELT_WAKE_WORD_OK; QUELT_WAKE_WORD_E_NULL_HANDLE if handle is null;
 *         QUELT_WAKE_WORD_E_INVALID_ARG if threshold is NaN, infinite, below 0 or above 1
 *           (the previous threshold stays in force).
 */
QUELT_WAKE_WORD_API int32_t quelt_wake_word_set_threshold(quelt_wake_word_handle* handle,
                                                          float threshold);

/**
 * Sets how many frames after a detection are not tested (100 frames = 1 s). Any value is
 * accepted; 0 lets consecutive frames detect. Applies from the next detection: a cooldown
 * already running keeps its remaining count.
 *
 * @return QUELT_WAKE_WORD_OK, or QUELT_WAKE_WORD_E_NULL_HANDLE if handle is null.
 */
QUELT_WAKE_WORD_API int32_t quelt_wake_word_set_cooldown_frames(quelt_wake_word_handle* handle,
                                                                uint64_t frames);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUELT_WAKE_WORD_H_ */
