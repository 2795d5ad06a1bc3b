// File: c_api/c_api.cc
//
// The ten exported C functions over engine::Session. This is the only file that sees both
// the public C types and the engine's C++ types. It checks pointers and lengths in a fixed
// order before touching anything, maps the outcome of loading to a status by stage, and
// copies detections into the caller's array. No exception crosses the C boundary: the
// engine reports errors as values, and the one thing that can still throw (an allocation)
// becomes QUELT_WAKE_WORD_E_OUT_OF_MEMORY.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/version.h"
#include "engine/load.h"
#include "engine/session.h"
#include "engine/threshold.h"
#include "quelt_wake_word.h"

// The handle is one heap block holding the whole session by value.
struct quelt_wake_word_handle {
  quelt::engine::Session session;
};

namespace {

using quelt::engine::Detection;

// The copy-out relies on the engine's record having the public record's layout.
static_assert(sizeof(Detection) == sizeof(quelt_wake_word_detection));
static_assert(offsetof(Detection, frame_index) == offsetof(quelt_wake_word_detection, frame_index));
static_assert(offsetof(Detection, timestamp_sec) ==
              offsetof(quelt_wake_word_detection, timestamp_sec));
static_assert(offsetof(Detection, score) == offsetof(quelt_wake_word_detection, score));

// Steps 1 to 4 of a push, in the order that decides which status wins.
template <typename Sample>
std::int32_t check_push_args(const quelt_wake_word_handle* handle, const Sample* pcm,
                             std::size_t n_samples, const quelt_wake_word_detection* out,
                             std::size_t out_capacity, const std::size_t* out_count) {
  if (handle == nullptr) return QUELT_WAKE_WORD_E_NULL_HANDLE;
  if (out_count == nullptr) return QUELT_WAKE_WORD_E_INVALID_ARG;
  if (pcm == nullptr && n_samples != 0) return QUELT_WAKE_WORD_E_INVALID_ARG;
  if (out == nullptr && out_capacity != 0) return QUELT_WAKE_WORD_E_INVALID_ARG;
  return QUELT_WAKE_WORD_OK;
}

// The audio is consumed before the capacity is looked at: detections that do not fit are
// counted and dropped, and the session stays advanced past them.
std::int32_t copy_out(const std::vector<Detection>& found, quelt_wake_word_detection* out,
                      std::size_t out_capacity, std::size_t* out_count) {
  const std::size_t k = found.size();
  if (k > out_capacity) {
    *out_count = k;
    return QUELT_WAKE_WORD_E_BUFFER_TOO_SMALL;
  }
  for (std::size_t i = 0; i < k; ++i) {
    out[i].frame_index = found[i].frame_index;
    out[i].timestamp_sec = found[i].timestamp_sec;
    out[i].score = found[i].score;
  }
  *out_count = k;
  return QUELT_WAKE_WORD_OK;
}

template <typename Sample>
std::int32_t push(quelt_wake_word_handle* handle, const Sample* pcm, std::size_t n_samples,
                  quelt_wake_word_detection* out, std::size_t out_capacity,
                  std::size_t* out_count) noexcept {
  const std::int32_t status = check_push_args(handle, pcm, n_samples, out, out_capacity, out_count);
  if (status != QUELT_WAKE_WORD_OK) return status;
  // With no samples pcm may be null and is not read; a null pointer with length 0 is a
  // valid empty span.
  const std::span<const Sample> samples(pcm, n_samples);
  try {
    if constexpr (std::is_same_v<Sample, std::int16_t>) {
      return copy_out(handle->session.push_pcm_i16(samples), out, out_capacity, out_count);
    } else {
      return copy_out(handle->session.push_pcm_f32(samples), out, out_capacity, out_count);
    }
  } catch (const std::bad_alloc&) {
    return QUELT_WAKE_WORD_E_OUT_OF_MEMORY;
  } catch (const std::length_error&) {  // a chunk larger than a vector may hold
    return QUELT_WAKE_WORD_E_OUT_OF_MEMORY;
  }
}

// The stage decides the status; the error's kind and details are dropped here (the
// Python module is the door that shows them).
std::int32_t status_of(const quelt::engine::LoadError& error) {
  return error.stage == quelt::engine::LoadError::Stage::Deserialize
             ? QUELT_WAKE_WORD_E_DESERIALIZE
             : QUELT_WAKE_WORD_E_MODEL_BUILD;
}

}  // namespace

extern "C" {

QUELT_WAKE_WORD_API std::uint32_t quelt_wake_word_abi_version(void) {
  return QUELT_WAKE_WORD_ABI_VERSION;
}

QUELT_WAKE_WORD_API const char* quelt_wake_word_version(void) { return quelt::C_LIBRARY_VERSION; }

QUELT_WAKE_WORD_API std::int32_t quelt_wake_word_create(const std::uint8_t* model_bytes,
                                                        std::size_t model_len,
                                                        quelt_wake_word_handle** out_handle) {
  if (model_bytes == nullptr && model_len != 0) return QUELT_WAKE_WORD_E_INVALID_ARG;
  if (out_handle == nullptr) return QUELT_WAKE_WORD_E_INVALID_ARG;
  // A zero length is an empty artefact, whatever model_bytes holds.
  const std::span<const std::uint8_t> bytes(model_len == 0 ? nullptr : model_bytes, model_len);
  try {
    auto session = quelt::engine::create_session(bytes);
    if (!session.has_value()) return status_of(session.error());
    auto handle = std::make_unique<quelt_wake_word_handle>(
        quelt_wake_word_handle{std::move(session).value()});
    *out_handle = handle.release();
    return QUELT_WAKE_WORD_OK;
  } catch (const std::bad_alloc&) {
    return QUELT_WAKE_WORD_E_OUT_OF_MEMORY;
  } catch (const std::length_error&) {
    return QUELT_WAKE_WORD_E_OUT_OF_MEMORY;
  }
}

QUELT_WAKE_WORD_API void quelt_wake_word_destroy(quelt_wake_word_handle* handle) {
  // Takes the block back from the caller; null is a no-op, as for free().
  std::unique_ptr<quelt_wake_word_handle> owned(handle);
}

QUELT_WAKE_WORD_API std::int32_t quelt_wake_word_push_pcm_i16(
    quelt_wake_word_handle* handle, const std::int16_t* pcm, std::size_t n_samples,
    quelt_wake_word_detection* out_detections, std::size_t out_capacity, std::size_t* out_count) {
  return push(handle, pcm, n_samples, out_detections, out_capacity, out_count);
}

QUELT_WAKE_WORD_API std::int32_t quelt_wake_word_push_pcm_f32(
    quelt_wake_word_handle* handle, const float* pcm, std::size_t n_samples,
    quelt_wake_word_detection* out_detections, std::size_t out_capacity, std::size_t* out_count) {
  return push(handle, pcm, n_samples, out_detections, out_capacity, out_count);
}

QUELT_WAKE_WORD_API std::int32_t quelt_wake_word_reset(quelt_wake_word_handle* handle) {
  if (handle == nullptr) return QUELT_WAKE_WORD_E_NULL_HANDLE;
  handle->session.reset();
  return QUELT_WAKE_WORD_OK;
}

QUELT_WAKE_WORD_API std::int32_t quelt_wake_word_current_score(const quelt_wake_word_handle* handle,
                                                               float* out_score) {
  if (handle == nullptr) return QUELT_WAKE_WORD_E_NULL_HANDLE;
  if (out_score == nullptr) return QUELT_WAKE_WORD_E_INVALID_ARG;
  *out_score = handle->session.current_score();
  return QUELT_WAKE_WORD_OK;
}

QUELT_WAKE_WORD_API std::int32_t quelt_wake_word_set_threshold(quelt_wake_word_handle* handle,
                                                               float threshold) {
  if (handle == nullptr) return QUELT_WAKE_WORD_E_NULL_HANDLE;
  if (!quelt::engine::is_valid_threshold(threshold)) return QUELT_WAKE_WORD_E_INVALID_ARG;
  handle->session.set_threshold(threshold);
  return QUELT_WAKE_WORD_OK;
}

QUELT_WAKE_WORD_API std::int32_t quelt_wake_word_set_cooldown_frames(quelt_wake_word_handle* handle,
                                                                     std::uint64_t frames) {
  if (handle == nullptr) return QUELT_WAKE_WORD_E_NULL_HANDLE;
  handle->session.set_cooldown_frames(frames);
  return QUELT_WAKE_WORD_OK;
}

}  // extern "C"
