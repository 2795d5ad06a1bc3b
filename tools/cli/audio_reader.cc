// File: tools/cli/audio_reader.cc
//
// AudioReader over libsndfile, libsamplerate and raw standard input. Reads in blocks of
// 4096 frames; the resampler is streamed, so memory stays constant for any file length.

#include "audio_reader.h"

#include <samplerate.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace quelt::cli {

namespace {

constexpr std::size_t BLOCK_FRAMES = 4096;

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
struct ResamplerDeleter {
  void operator()(SRC_STATE* state) const { src_delete(state); }
};

bool ends_with(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Little-endian s16 to the engine's scale, s / 32768: exactly what the library's i16 push
// does, so a raw stream and the same samples pushed as i16 give the same scores.
float s16le_to_float(std::uint8_t lo, std::uint8_t hi) {
  const auto bits = static_cast<std::uint16_t>(lo | (hi << 8));
  std::int16_t value;
  std::memcpy(&value, &bits, sizeof value);
  return static_cast<float>(value) * 0x1p-15f;
}

}  // namespace

struct AudioReader::Impl {
  std::string path;
  bool from_stdin = false;

  // Standard input: bytes read but not yet paired into a sample (at most one).
  std::vector<std::uint8_t> raw;
  bool has_odd_byte = false;
  std::uint8_t odd_byte = 0;

  // Files.
  std::unique_ptr<SNDFILE, SndfileCloser> file;
  SF_INFO info{};
  std::vector<float> interleaved;  // one block as read
  std::vector<float> mono;         // one block, channels averaged
  std::size_t mono_pos = 0;        // resampler input consumed so far
  std::size_t mono_len = 0;
  bool input_done = false;
  std::unique_ptr<SRC_STATE, ResamplerDeleter> resampler;  // null at 16 kHz
  double ratio = 1.0;

  Result<std::size_t, std::string> read_stdin(std::span<float> out);
  // One block from the file, averaged to mono into `mono`; 0 at the end.
  Result<std::size_t, std::string> read_block(std::size_t max_frames, float* into);
  Result<std::size_t, std::string> read_resampled(std::span<float> out);
};

AudioReader::AudioReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AudioReader::AudioReader(AudioReader&&) noexcept = default;
AudioReader& AudioReader::operator=(AudioReader&&) noexcept = default;
AudioReader::~AudioReader() = default;

Result<AudioReader, std::string> AudioReader::open(const std::string& path) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  if (path == "-") {
    impl->from_stdin = true;
    impl->raw.resize(2 * BLOCK_FRAMES);
    return AudioReader(std::move(impl));
  }
  if (ends_with(path, ".raw") || ends_with(path, ".pcm")) {
    // Headerless: libsndfile needs the layout given.
    impl->info.samplerate = ENGINE_SAMPLE_RATE;
    impl->info.channels = 1;
    impl->info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
  }
  impl->file.reset(sf_open(path.c_str(), SFM_READ, &impl->info));
  if (!impl->file) {
    return Unexpected{"cannot read audio " + path + ": " + sf_strerror(nullptr)};
  }
  const SF_INFO& info = impl->info;
  if (info.channels < 1 || info.samplerate < 1) {
    return Unexpected{"cannot read audio " + path + ": no channels or no sample rate"};
  }
  impl->interleaved.resize(BLOCK_FRAMES * static_cast<std::size_t>(info.channels));
  impl->mono.resize(BLOCK_FRAMES);
  if (info.samplerate != ENGINE_SAMPLE_RATE) {
    impl->ratio = static_cast<double>(ENGINE_SAMPLE_RATE) / info.samplerate;
    if (src_is_valid_ratio(impl->ratio) == 0) {
      return Unexpected{"cannot read audio " + path + ": sample rate " +
                        std::to_string(info.samplerate) + " Hz is out of the converter's range"};
    }
    int error = 0;
    impl->resampler.reset(src_new(SRC_SINC_MEDIUM_QUALITY, 1, &error));
    if (!impl->resampler) {
      return Unexpected{"cannot resample " + path + ": " + src_strerror(error)};
    }
  }
  return AudioReader(std::move(impl));
}

Result<std::size_t, std::string> AudioReader::read(std::span<float> out) {
  if (out.empty()) return std::size_t{0};
  if (impl_->from_stdin) return impl_->read_stdin(out);
  if (impl_->resampler) return impl_->read_resampled(out);
  return impl_->read_block(std::min(out.size(), BLOCK_FRAMES), out.data());
}

Result<std::size_t, std::string> AudioReader::Impl::read_stdin(std::span<float> out) {
  const std::size_t want_bytes = std::min(raw.size(), 2 * out.size()) - (has_odd_byte ? 1 : 0);
  while (true) {
    // read(2) rather than stdio: it returns what the pipe holds now, so a live capture is
    // scored as it arrives instead of in buffer-sized bursts.
    const ssize_t got = ::read(STDIN_FILENO, raw.data(), want_bytes);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Unexpected{std::string("cannot read standard input: ") + std::strerror(errno)};
    }
    if (got == 0) return std::size_t{0};  // an odd last byte is half a sample: dropped
    std::size_t n = 0;
    std::size_t i = 0;
    const auto bytes = static_cast<std::size_t>(got);
    if (has_odd_byte) {
      out[n++] = s16le_to_float(odd_byte, raw[0]);
      has_odd_byte = false;
      i = 1;
    }
    for (; i + 1 < bytes; i += 2) out[n++] = s16le_to_float(raw[i], raw[i + 1]);
    if (i < bytes) {
      has_odd_byte = true;
      odd_byte = raw[i];
    }
    if (n > 0) return n;
  }
}

Result<std::size_t, std::string> AudioReader::Impl::read_block(std::size_t max_frames,
                                                               float* into) {
  const auto channels = static_cast<std::size_t>(info.channels);
  const sf_count_t got =
      sf_readf_float(file.get(), interleaved.data(), static_cast<sf_count_t>(max_frames));
  if (got <= 0) {
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
      return Unexpected{"cannot read audio " + path + ": " + sf_strerror(file.get())};
    }
    return std::size_t{0};
  }
  const auto frames = static_cast<std::size_t>(got);
  if (channels == 1) {
    std::memcpy(into, interleaved.data(), frames * sizeof(float));
    return frames;
  }
  // The channels' mean, so that a stereo copy of a mono signal is that signal.
  const auto scale = static_cast<float>(channels);
  for (std::size_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (std::size_t c = 0; c < channels; ++c) sum += interleaved[f * channels + c];
    into[f] = sum / scale;
  }
  return frames;
}

Result<std::size_t, std::string> AudioReader::Impl::read_resampled(std::span<float> out) {
  while (true) {
    if (mono_pos == mono_len && !input_done) {
      auto got = read_block(BLOCK_FRAMES, mono.data());
      if (!got) return got;
      mono_pos = 0;
      mono_len = got.value();
      input_done = mono_len == 0;
    }
    SRC_DATA data{};
    data.data_in = mono.data() + mono_pos;
    data.input_frames = static_cast<long>(mono_len - mono_pos);
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.end_of_input = input_done ? 1 : 0;
    data.src_ratio = ratio;
    if (const int error = src_process(resampler.get(), &data); error != 0) {
      return Unexpected{"cannot resample " + path + ": " + src_strerror(error)};
    }
    mono_pos += static_cast<std::size_t>(data.input_frames_used);
    if (data.output_frames_gen > 0) return static_cast<std::size_t>(data.output_frames_gen);
    // Nothing out: the converter wants more input, or it is drained at the end.
    if (input_done) return std::size_t{0};
  }
}

std::optional<std::uint64_t> AudioReader::expected_samples() const {
  if (impl_->from_stdin || impl_->info.frames < 0) return std::nullopt;
  const auto frames = static_cast<std::uint64_t>(impl_->info.frames);
  return static_cast<std::uint64_t>(static_cast<double>(frames) * impl_->ratio);
}

std::string AudioReader::describe() const {
  if (impl_->from_stdin) return "raw s16le 16000 Hz mono";
  return std::to_string(impl_->info.samplerate) + " Hz, " + std::to_string(impl_->info.channels) +
         (impl_->info.channels == 1 ? " channel" : " channels");
}

}  // namespace quelt::cli
