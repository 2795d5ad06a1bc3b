// File: format/utf8.h
//
// Decoding of one well-formed UTF-8 sequence (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF). The manifest reader uses it to refuse ill-formed strings, and
// render uses it to tell printable characters from ones it must escape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quelt::format {

struct Utf8Char {
  char32_t code_point = 0;
  std::size_t length = 0;  // bytes taken; 0 when the bytes at `pos` are ill-formed
};

// Decodes the sequence starting at text[pos]; pos must be < text.size().
inline Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return {b0, 1};
  std::size_t length = 0;
  char32_t cp = 0;
  // The second byte's range is narrower than 80..BF after E0, ED, F0 and F4: that is
  // where overlong forms, surrogates and code points above U+10FFFF would start.
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {};
  }
  if (text.size() - pos < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t b = byte(i);
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return {};
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return {cp, length};
}

}  // namespace quelt::format
