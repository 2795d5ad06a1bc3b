// File: tools/writer/artefact_writer.cc
//
// The writer's plain parts: key files, fp16 rounding, the manifest and the plaintext
// layout, little-endian stores. Encryption and file placement are in seal.cc.
#include "artefact_writer.h"

#include <bit>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

namespace quelt::writer {
namespace {

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// JSON string literal. Bytes of 0x80 and above are copied as they are, so names that are
// not valid UTF-8 can be written on purpose (the reader must refuse them cleanly).
void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void store_le(std::span<std::uint8_t> file, std::size_t offset, std::uint64_t value,
              std::size_t width) {
  if (offset > file.size() || file.size() - offset < width) {
    std::fprintf(stderr, "quelt_writer: store of %zu bytes at %zu beyond a %zu-byte file\n", width,
                 offset, file.size());
    std::abort();
  }
  for (std::size_t i = 0; i < width; ++i) {
    file[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

}  // namespace

bool decode_hex(std::string_view hex, std::span<std::uint8_t> out) {
  if (hex.size() != 2 * out.size()) return false;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_digit(hex[2 * i]);
    const int lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return true;
}

Result<Key, std::string> read_key_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return Unexpected{path + ": cannot open key file"};
  Key key{};
  bool have_ikm = false;
  bool have_info = false;
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    const std::string where = path + ":" + std::to_string(line_no) + ": ";
    const std::size_t hash = line.find('#');
    const std::string content = trim(std::string_view(line).substr(0, hash));
    if (content.empty()) continue;
    const std::size_t eq = content.find('=');
    if (eq == std::string::npos) return Unexpected{where + "expected 'name = hex'"};
    const std::string name = trim(std::string_view(content).substr(0, eq));
    const std::string value = trim(std::string_view(content).substr(eq + 1));
    if (name == "ikm") {
      if (have_ikm) return Unexpected{where + "ikm given twice"};
      if (!decode_hex(value, key.ikm)) return Unexpected{where + "ikm must be 64 hex digits"};
      have_ikm = true;
    } else if (name == "info") {
      if (have_info) return Unexpected{where + "info given twice"};
      if (!decode_hex(value, key.info)) return Unexpected{where + "info must be 32 hex digits"};
      have_info = true;
    } else {
      return Unexpected{where + "unknown name '" + name + "' (expected ikm or info)"};
    }
  }
  if (in.bad()) return Unexpected{path + ": read error"};
  if (!have_ikm) return Unexpected{path + ": no ikm line"};
  if (!have_info) return Unexpected{path + ": no info line"};
  return key;
}

const Key& configured_key() {
  // The build passes the path of the key file it masked into the library. Tests run from
  // the build tree (the cross-built ones under qemu on the same filesystem), so a path
  // read at run time works everywhere and keeps the key bytes out of the binaries.
  static const Key key = [] {
    auto read = read_key_file(QWW_WRITER_KEY_FILE);
    if (!read) {
      std::fprintf(stderr, "quelt_writer: %s\n", read.error().c_str());
      std::abort();
    }
    return std::move(read).value();
  }();
  return key;
}

std::uint16_t fp32_to_fp16(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
  const std::uint32_t exponent = (bits >> 23) & 0xFFu;
  std::uint32_t mantissa = bits & 0x7FFFFFu;
  if (exponent == 0xFF) {  // infinity or NaN; a NaN keeps its top payload bits, made quiet
    const std::uint32_t nan_bits = mantissa != 0 ? (0x200u | (mantissa >> 13)) : 0u;
    return static_cast<std::uint16_t>(sign | 0x7C00u | nan_bits);
  }
  const int half_exponent = static_cast<int>(exponent) - 127 + 15;
  if (half_exponent >= 31) return static_cast<std::uint16_t>(sign | 0x7C00u);
  std::uint32_t rounded;
  std::uint32_t remainder;
  std::uint32_t halfway;
  if (half_exponent <= 0) {
    // Subnormal result: m x 2^-24 with m = (1.mantissa x 2^23) >> (14 - half_exponent).
    // Below 2^-25 everything rounds to zero (shift of 25 or more).
    if (half_exponent < -10) return sign;
    mantissa |= 0x800000u;
    const int shift = 14 - half_exponent;
    rounded = mantissa >> shift;
    remainder = mantissa & ((1u << shift) - 1u);
    halfway = 1u << (shift - 1);
  } else {
    rounded = (static_cast<std::uint32_t>(half_exponent) << 10) | (mantissa >> 13);
    remainder = mantissa & 0x1FFFu;
    halfway = 0x1000u;
  }
  // A carry out of the mantissa moves into the exponent, which is the right result both
  // from the largest subnormal to the smallest normal and from 65504 up to infinity.
  if (remainder > halfway || (remainder == halfway && (rounded & 1u) != 0)) ++rounded;
  return static_cast<std::uint16_t>(sign | rounded);
}

std::vector<std::uint8_t> fp32_bytes(std::span<const float> values) {
  std::vector<std::uint8_t> out(values.size() * 4);
  for (std::size_t i = 0; i < values.size(); ++i) {
    store_le(out, 4 * i, std::bit_cast<std::uint32_t>(values[i]), 4);
  }
  return out;
}

std::vector<std::uint8_t> fp16_bytes(std::span<const float> values) {
  std::vector<std::uint8_t> out(values.size() * 2);
  for (std::size_t i = 0; i < values.size(); ++i) {
    store_le(out, 2 * i, fp32_to_fp16(values[i]), 2);
  }
  return out;
}

std::string make_manifest(const std::vector<Tensor>& tensors, std::string_view model_type,
                          std::string_view config_json) {
  std::string json = "{\"format_version\":2,\"model_type\":";
  append_json_string(json, model_type);
  json += ",\"config\":";
  json += config_json;
  json += ",\"tensors\":{";
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < tensors.size(); ++i) {
    const Tensor& t = tensors[i];
    if (i > 0) json += ',';
    append_json_string(json, t.name);
    json += ":{\"dtype\":";
    append_json_string(json, t.dtype);
    json += ",\"shape\":[";
    for (std::size_t d = 0; d < t.shape.size(); ++d) {
      if (d > 0) json += ',';
      json += std::to_string(t.shape[d]);
    }
    json += "],\"offset\":" + std::to_string(offset);
    json += ",\"nbytes\":" + std::to_string(t.bytes.size()) + "}";
    offset += t.bytes.size();
  }
  json += "}}";
  return json;
}

std::vector<std::uint8_t> make_plaintext(const std::vector<Tensor>& tensors,
                                         std::string_view model_type,
                                         std::string_view config_json) {
  std::vector<std::uint8_t> data;
  for (const Tensor& t : tensors) data.insert(data.end(), t.bytes.begin(), t.bytes.end());
  return make_plaintext_raw(make_manifest(tensors, model_type, config_json), data);
}

std::vector<std::uint8_t> make_plaintext_raw(std::string_view manifest_json,
                                             std::span<const std::uint8_t> tensor_data) {
  if (manifest_json.size() > std::numeric_limits<std::uint32_t>::max()) {
    std::fprintf(stderr, "quelt_writer: manifest longer than 4 GiB\n");
    std::abort();
  }
  std::vector<std::uint8_t> plaintext(4 + manifest_json.size() + tensor_data.size());
  store_le(plaintext, 0, manifest_json.size(), 4);
  if (!manifest_json.empty()) {
    std::memcpy(plaintext.data() + 4, manifest_json.data(), manifest_json.size());
  }
  if (!tensor_data.empty()) {
    std::memcpy(plaintext.data() + 4 + manifest_json.size(), tensor_data.data(),
                tensor_data.size());
  }
  return plaintext;
}

void store_u16(std::span<std::uint8_t> file, std::size_t offset, std::uint16_t value) {
  store_le(file, offset, value, 2);
}
void store_u32(std::span<std::uint8_t> file, std::size_t offset, std::uint32_t value) {
  store_le(file, offset, value, 4);
}
void store_u64(std::span<std::uint8_t> file, std::size_t offset, std::uint64_t value) {
  store_le(file, offset, value, 8);
}

}  // namespace quelt::writer
