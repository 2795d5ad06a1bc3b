// File: frontend/mel_fb.cc
//
// The mel scale, the weight matrix builder, the portable projection, the dispatch to the
// projection variants and the floored log. Everything is single precision, each operation
// rounded in the order written; the builder runs once per Frontend.
#include "frontend/mel_fb.h"

#include <algorithm>
#include <cmath>

#include "common/check.h"

namespace quelt::frontend {

float hz_to_mel(float f) {
  if (f < MIN_LOG_HZ) return f / F_SP;
  return MIN_LOG_MEL + std::log(f / MIN_LOG_HZ) / LOGSTEP;
}

float mel_to_hz(float m) {
  if (m < MIN_LOG_MEL) return m * F_SP;
  return std::exp((m + -MIN_LOG_MEL) * LOGSTEP) * MIN_LOG_HZ;
}

std::vector<float> build_mel_weights(std::uint32_t sample_rate, std::uint64_t n_fft,
                                     std::uint64_t n_mels, float f_min, float f_max) {
  QWW_CHECK(sample_rate > 0 && n_fft >= 2 && n_mels >= 1, "mel filterbank sizes must be > 0");
  QWW_CHECK(f_min >= 0.0f && f_min < f_max, "mel filterbank needs 0 <= f_min < f_max");
  const std::uint64_t n_bins = n_fft / 2 + 1;
  const std::uint64_t n_points = n_mels + 2;

  // Edges and apexes of the triangles: equally spaced in mel, then back to Hz.
  const float mel_lo = hz_to_mel(f_min);
  const float mel_span = hz_to_mel(f_max) - mel_lo;
  const auto intervals = static_cast<float>(n_mels + 1);
  std::vector<float> hz(n_points);
  for (std::uint64_t i = 0; i < n_points; ++i) {
    const float point = (static_cast<float>(i) * mel_span) / intervals + mel_lo;
    hz[i] = mel_to_hz(point);
  }
  for (std::uint64_t i = 0; i + 1 < n_points; ++i) {
    // Coinciding edges would divide by zero below.
    QWW_CHECK(hz[i] < hz[i + 1], "mel band edges must be distinct");
  }

  // Centre frequency of each bin; 1/n_fft is exact for a power of two.
  const float bin_step = 1.0f / static_cast<float>(n_fft);
  const auto rate = static_cast<float>(sample_rate);
  std::vector<float> freq(n_bins);
  for (std::uint64_t k = 0; k < n_bins; ++k) freq[k] = (static_cast<float>(k) * rate) * bin_step;

  std::vector<float> weights(n_mels * n_bins);
  for (std::uint64_t m = 0; m < n_mels; ++m) {
    const float left = hz[m];
    const float centre = hz[m + 1];
    const float right = hz[m + 2];
    // Area normalisation: every triangle has the same area whatever its width in Hz.
    const float enorm = 2.0f / (right - left);
    float* row = weights.data() + m * n_bins;
    for (std::uint64_t k = 0; k < n_bins; ++k) {
      const float lower = (freq[k] - left) / (centre - left);
      const float upper = (right - freq[k]) / (right - centre);
      row[k] = enorm * std::max(0.0f, std::min(lower, upper));
    }
  }
  return weights;
}

namespace portable {

namespace {

// One band's sum over the 16-bin blocks [first, end) in the fixed order, then the last bin.
// acc[4a + l] is lane l of group a: the four 4-lane accumulators of the SIMD variants.
float project_band(const float* w, const float* s, std::size_t n, std::size_t first,
                   std::size_t end) {
  float acc[MEL_BLOCK] = {};
  for (std::size_t b = first; b < end; ++b) {
    for (std::size_t p = 0; p < MEL_BLOCK; ++p) {
      acc[p] = std::fma(w[b * MEL_BLOCK + p], s[b * MEL_BLOCK + p], acc[p]);
    }
  }
  float lane[4];
  for (std::size_t l = 0; l < 4; ++l) {
    lane[l] = (acc[4 + l] + acc[l]) + (acc[12 + l] + acc[8 + l]);
  }
  const float sum = (lane[0] + lane[1]) + (lane[2] + lane[3]);
  const float last = w[n - 1] * s[n - 1];
  return sum + last;
}

}  // namespace

void project_mel(const float* weights, const float* spectrum, std::size_t n_bins,
                 std::size_t n_mels, float* out) {
  const std::size_t n = n_bins;
  const std::size_t blocks = (n - 1) / MEL_BLOCK;
  const float* s = spectrum;
  for (std::size_t m = 0; m < n_mels; ++m) {
    out[m] = project_band(weights + m * n, s, n, 0, blocks);
  }
}

bool project_mel_banded(const float* weights, const float* spectrum, std::size_t n_bins,
                        std::size_t n_mels, const std::uint16_t* first_block,
                        const std::uint16_t* end_block, float* out) {
  for (std::size_t k = 0; k < n_bins; ++k) {
    if (!std::isfinite(spectrum[k]) || std::signbit(spectrum[k])) return false;
  }
  const std::size_t n = n_bins;
  const float* s = spectrum;
  for (std::size_t m = 0; m < n_mels; ++m) {
    out[m] = project_band(weights + m * n, s, n, first_block[m], end_block[m]);
  }
  return true;
}

}  // namespace portable

MelBlockRanges mel_block_ranges(std::span<const float> weights, std::size_t n_bins,
                                std::size_t n_mels) {
  QWW_CHECK(n_bins > MEL_BLOCK && weights.size() == n_bins * n_mels,
            "mel weight matrix size mismatch");
  const std::size_t blocks = (n_bins - 1) / MEL_BLOCK;
  QWW_CHECK(blocks <= 0xFFFF, "too many mel blocks");
  MelBlockRanges ranges{std::vector<std::uint16_t>(n_mels, 0),
                        std::vector<std::uint16_t>(n_mels, 0)};
  for (std::size_t m = 0; m < n_mels; ++m) {
    const float* row = weights.data() + m * n_bins;
    // Skipping is exact only while no product can be negative (see mel_fb.h): a band with
    // a weight that is negative, -0.0 or not finite keeps all its blocks.
    bool plain = true;
    for (std::size_t k = 0; k < n_bins; ++k) {
      plain = plain && std::isfinite(row[k]) && !std::signbit(row[k]);
    }
    if (!plain) {
      ranges.end[m] = static_cast<std::uint16_t>(blocks);
      continue;
    }
    bool any = false;
    for (std::size_t b = 0; b < blocks; ++b) {
      bool nonzero = false;
      for (std::size_t p = 0; p < MEL_BLOCK; ++p)
        nonzero = nonzero || row[b * MEL_BLOCK + p] != 0.0f;
      if (!nonzero) continue;
      if (!any) ranges.first[m] = static_cast<std::uint16_t>(b);
      ranges.end[m] = static_cast<std::uint16_t>(b + 1);
      any = true;
    }
  }
  return ranges;
}

void project_mel(Simd simd, std::span<const float> weights, const MelBlockRanges& ranges,
                 std::span<const float> spectrum, std::span<float> out) {
  const std::size_t n_bins = spectrum.size();
  const std::size_t n_mels = out.size();
  QWW_CHECK(ranges.first.size() == n_mels && ranges.end.size() == n_mels,
            "mel block ranges size mismatch");
  QWW_CHECK(n_bins > MEL_BLOCK && (n_bins - 1) % MEL_BLOCK == 0,
            "mel projection needs 16 q + 1 bins");
  QWW_CHECK(weights.size() / n_bins == n_mels && weights.size() % n_bins == 0,
            "mel weight matrix size mismatch");
  const std::uint16_t* first = ranges.first.data();
  const std::uint16_t* end = ranges.end.data();
  bool done = false;
  switch (simd) {
#if defined(__aarch64__)
    case Simd::NEON:
      done = neon::project_mel_banded(weights.data(), spectrum.data(), n_bins, n_mels, first, end,
                                      out.data());
      break;
#endif
#if defined(__x86_64__)
    case Simd::AVX2:
      done = avx2::project_mel_banded(weights.data(), spectrum.data(), n_bins, n_mels, first, end,
                                      out.data());
      break;
#endif
    case Simd::PORTABLE:
      done = portable::project_mel_banded(weights.data(), spectrum.data(), n_bins, n_mels, first,
                                          end, out.data());
      break;
    default:
      QWW_CHECK(false, "mel projection variant not built for this machine");
  }
  if (!done) project_mel(simd, weights, spectrum, out);
}

void project_mel(Simd simd, std::span<const float> weights, std::span<const float> spectrum,
                 std::span<float> out) {
  const std::size_t n_bins = spectrum.size();
  const std::size_t n_mels = out.size();
  QWW_CHECK(n_bins > MEL_BLOCK && (n_bins - 1) % MEL_BLOCK == 0,
            "mel projection needs 16 q + 1 bins");
  QWW_CHECK(weights.size() / n_bins == n_mels && weights.size() % n_bins == 0,
            "mel weight matrix size mismatch");
  switch (simd) {
#if defined(__aarch64__)
    case Simd::NEON:
      neon::project_mel(weights.data(), spectrum.data(), n_bins, n_mels, out.data());
      return;
#endif
#if defined(__x86_64__)
    case Simd::AVX2:
      avx2::project_mel(weights.data(), spectrum.data(), n_bins, n_mels, out.data());
      return;
#endif
    case Simd::PORTABLE:
      portable::project_mel(weights.data(), spectrum.data(), n_bins, n_mels, out.data());
      return;
    default:
      break;
  }
  QWW_CHECK(false, "mel projection variant not built for this machine");
}

void log_compress(std::span<float> x, float floor) {
  // fmax returns the other operand when one is NaN, so a NaN energy becomes the floor.
  for (float& v : x) v = std::log(std::fmax(v, floor));
}

}  // namespace quelt::frontend
