// File: tools/cli/audio_reader.h
//
// Audio input for the CLI, always delivered as 16 kHz mono float samples, the engine's
// input. Files go through libsndfile (WAV, FLAC, OGG and the rest it knows); several
// channels are averaged to one and other sample rates are converted with libsamplerate.
// A 16 kHz mono file goes through untouched: libsndfile's integer-to-float scaling is a
// power of two, so its samples reach the engine exactly as the library's own i16 path
// would give them. "-" reads raw signed 16-bit little-endian 16 kHz mono from standard
// input as it arrives, so that a live capture can be piped in; "*.raw" and "*.pcm" files
// are read the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "common/result.h"

namespace quelt::cli {

inline constexpr int ENGINE_SAMPLE_RATE = 16000;

class AudioReader {
 public:
  // The error is one line, naming the input.
  static Result<AudioReader, std::string> open(const std::string& path);

  AudioReader(AudioReader&&) noexcept;
  AudioReader& operator=(AudioReader&&) noexcept;
  ~AudioReader();

  // Fills the front of `out` with the next 16 kHz mono samples and returns how many; 0 at
  // the end of the input. Returns as soon as some samples are available (a pipe delivers
  // what it has), so the count may be below out.size() before the end.
  Result<std::size_t, std::string> read(std::span<float> out);

  // How many 16 kHz samples the whole input gives, where the input says (files).
  std::optional<std::uint64_t> expected_samples() const;

  // "44100 Hz, 2 channels" etc., for messages.
  std::string describe() const;

 private:
  struct Impl;
  explicit AudioReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quelt::cli
