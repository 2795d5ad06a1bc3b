// File: format/json_reader.cc
//
// The manifest's pull reader. Every byte access is guarded by at_end(); positions are
// turned into line and column only when a problem is reported, by counting line feeds in
// the text taken so far, so the reading itself keeps no line bookkeeping.
#include "format/json_reader.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "format/errors.h"
#include "format/utf8.h"

namespace quelt::format {
namespace {

bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A float as a message shows it: the shortest digits that read back as the same double,
// in plain decimal notation, with ".0" when they form a whole number ("2.0", "100000.0",
// "0.001").
std::string format_float(double value) {
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  if (ec != std::errc()) return "NaN";  // cannot happen: 64 bytes hold any double
  const std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = sci.find('e');
  std::string_view mantissa = sci.substr(0, e);
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);
  std::string out;
  if (!mantissa.empty() && mantissa[0] == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits += c;
  }
  if (exponent >= 0) {
    const auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out.append(digits, 0, int_len);
      out += '.';
      out.append(digits, int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

// Whether a float token whose conversion was out of range overflowed (rather than
// underflowed): the decimal exponent of its leading significant digit decides, and for
// out-of-range values it is far from 0 on one side or the other.
bool overflows(std::string_view text) {
  std::string_view mantissa = text.substr(0, text.find_first_of("eE"));
  if (!mantissa.empty() && mantissa[0] == '-') mantissa.remove_prefix(1);
  const std::size_t point = mantissa.find('.');
  const std::string_view int_part = mantissa.substr(0, point);
  const std::string_view frac_part =
      point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
  // The value lies below 10^magnitude and at or above 10^(magnitude - 1).
  std::int64_t magnitude = 0;
  if (const std::size_t first = int_part.find_first_not_of('0'); first != int_part.npos) {
    magnitude = static_cast<std::int64_t>(int_part.size() - first);
  } else if (const std::size_t f = frac_part.find_first_not_of('0'); f != frac_part.npos) {
    magnitude = -static_cast<std::int64_t>(f);
  } else {
    return false;  // zero
  }
  std::int64_t exponent = 0;
  if (const std::size_t e = text.find_first_of("eE"); e != text.npos) {
    std::size_t i = e + 1;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    for (; i < text.size(); ++i) {
      exponent = std::min<std::int64_t>(exponent * 10 + (text[i] - '0'), 1'000'000'000);
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

}  // namespace

JsonReader::JsonReader(std::span<const std::uint8_t> text)
    : text_(reinterpret_cast<const char*>(text.data()), text.size()) {}

bool JsonReader::fail_at(std::size_t consumed, std::string_view message) {
  if (!error_.empty()) return false;  // the first problem is the one reported
  consumed = std::min(consumed, text_.size());
  const std::string_view taken = text_.substr(0, consumed);
  const auto line = 1 + static_cast<std::uint64_t>(std::count(taken.begin(), taken.end(), '\n'));
  const std::size_t last_newline = taken.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  error_.assign(message);
  error_ += " at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
  return false;
}

bool JsonReader::fail_after(std::string_view message) { return fail_at(pos_, message); }

bool JsonReader::fail_here(std::string_view message) { return fail_at(pos_ + 1, message); }

std::optional<char> JsonReader::peek_token() {
  while (!at_end()) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return c;
    ++pos_;
  }
  return std::nullopt;
}

bool JsonReader::expect_end() {
  if (peek_token()) return fail_here("trailing characters");
  return true;
}

bool JsonReader::begin_object() {
  if (depth_ == MAX_DEPTH) return fail_here("recursion limit exceeded");
  ++depth_;
  ++pos_;
  return true;
}

bool JsonReader::next_key(bool first, std::string& key, bool& found) {
  std::optional<char> c = peek_token();
  if (!c) return fail_after("EOF while parsing an object");
  if (*c == '}') {
    ++pos_;
    --depth_;
    found = false;
    return true;
  }
  if (!first) {
    if (*c != ',') return fail_here("expected `,` or `}`");
    ++pos_;
    c = peek_token();
    if (!c) return fail_after("EOF while parsing an object");
    if (*c == '}') return fail_here("trailing comma");
  }
  if (*c != '"') return fail_here("key must be a string");
  found = true;
  return read_string(key);
}

bool JsonReader::expect_colon() {
  const std::optional<char> c = peek_token();
  if (!c) return fail_after("EOF while parsing an object");
  if (*c != ':') return fail_here("expected `:`");
  ++pos_;
  return true;
}

bool JsonReader::begin_array() {
  if (depth_ == MAX_DEPTH) return fail_here("recursion limit exceeded");
  ++depth_;
  ++pos_;
  return true;
}

bool JsonReader::next_element(bool first, bool& found) {
  std::optional<char> c = peek_token();
  if (!c) return fail_after("EOF while parsing a list");
  if (*c == ']') {
    ++pos_;
    --depth_;
    found = false;
    return true;
  }
  if (!first) {
    if (*c != ',') return fail_here("expected `,` or `]`");
    ++pos_;
    c = peek_token();
    if (!c) return fail_after("EOF while parsing a value");
    if (*c == ']') return fail_here("trailing comma");
  }
  found = true;
  return true;
}

bool JsonReader::end_fixed_array() {
  bool found = false;
  if (!next_element(/*first=*/false, found)) return false;
  if (found) return fail_here("trailing characters");
  return true;
}

bool JsonReader::read_value(nlohmann::json* out) {
  const std::optional<char> c = peek_token();
  if (!c) return fail_after("EOF while parsing a value");
  switch (*c) {
    case '{': {
      if (!begin_object()) return false;
      if (out) *out = nlohmann::json::object();
      std::string key;
      bool found = false;
      for (bool first = true;; first = false) {
        if (!next_key(first, key, found)) return false;
        if (!found) return true;
        if (!expect_colon()) return false;
        nlohmann::json* slot = nullptr;
        if (out) {
          // A repeated key keeps its last value, as in the tensor table.
          slot = &(*out)[key];
          *slot = nullptr;
        }
        if (!read_value(slot)) return false;
      }
    }
    case '[': {
      if (!begin_array()) return false;
      if (out) *out = nlohmann::json::array();
      bool found = false;
      for (bool first = true;; first = false) {
        if (!next_element(first, found)) return false;
        if (!found) return true;
        nlohmann::json* slot = nullptr;
        if (out) {
          out->push_back(nullptr);
          slot = &out->back();
        }
        if (!read_value(slot)) return false;
      }
    }
    case '"': {
      std::string s;
      if (!read_string(s)) return false;
      if (out) *out = std::move(s);
      return true;
    }
    case 't':
    case 'f':
      if (!read_literal(*c == 't' ? "true" : "false")) return false;
      if (out) *out = *c == 't';
      return true;
    case 'n':
      if (!read_literal("null")) return false;
      if (out) *out = nullptr;
      return true;
    default:
      if (*c == '-' || is_digit(static_cast<std::uint8_t>(*c))) {
        JsonNumber number;
        if (!read_number(number)) return false;
        return out ? number_to_json(number, *out) : true;
      }
      return fail_here("expected value");
  }
}

bool JsonReader::number_to_json(const JsonNumber& number, nlohmann::json& out) {
  if (!number.is_float && number.fits_u64 && !number.negative) {
    out = number.magnitude;
    return true;
  }
  constexpr std::uint64_t I64_MIN_MAGNITUDE = std::uint64_t{1} << 63;
  if (!number.is_float && number.fits_u64 && number.magnitude <= I64_MIN_MAGNITUDE) {
    // -(m - 1) - 1 reaches INT64_MIN without overflowing.
    out = number.magnitude == 0 ? std::int64_t{0}
                                : -static_cast<std::int64_t>(number.magnitude - 1) - 1;
    return true;
  }
  // Fractions, exponents and integers beyond 64 bits are kept as the nearest double.
  double value = number.value;
  if (!number.is_float) {
    const auto [ptr, ec] =
        std::from_chars(number.text.data(), number.text.data() + number.text.size(), value);
    if (ec == std::errc::result_out_of_range) return fail_after("number out of range");
  } else if (number.out_of_range) {
    return fail_after("number out of range");
  }
  out = value;
  return true;
}

bool JsonReader::read_literal(std::string_view word) {
  for (const char expected : word) {
    if (at_end()) return fail_after("EOF while parsing a value");
    if (text_[pos_] != expected) return fail_here("invalid literal");
    ++pos_;
  }
  return true;
}

bool JsonReader::read_number(JsonNumber& out) {
  const std::size_t start = pos_;
  out = JsonNumber{};
  if (current() == '-') {
    out.negative = true;
    ++pos_;
  }
  if (at_end()) return fail_after("EOF while parsing a value");
  if (!is_digit(current())) return fail_here("invalid number");
  out.fits_u64 = true;
  if (current() == '0') {
    ++pos_;
    if (!at_end() && is_digit(current())) return fail_here("invalid number");
  } else {
    while (!at_end() && is_digit(current())) {
      const auto digit = static_cast<std::uint64_t>(current() - '0');
      if (out.fits_u64 && (__builtin_mul_overflow(out.magnitude, 10, &out.magnitude) ||
                           __builtin_add_overflow(out.magnitude, digit, &out.magnitude))) {
        out.fits_u64 = false;
      }
      ++pos_;
    }
  }
  if (!at_end() && current() == '.') {
    out.is_float = true;
    ++pos_;
    if (at_end()) return fail_after("EOF while parsing a value");
    if (!is_digit(current())) return fail_here("invalid number");
    while (!at_end() && is_digit(current())) ++pos_;
  }
  if (!at_end() && (current() == 'e' || current() == 'E')) {
    out.is_float = true;
    ++pos_;
    if (!at_end() && (current() == '+' || current() == '-')) ++pos_;
    if (at_end()) return fail_after("EOF while parsing a value");
    if (!is_digit(current())) return fail_here("invalid number");
    while (!at_end() && is_digit(current())) ++pos_;
  }
  out.text = text_.substr(start, pos_ - start);
  if (out.is_float) {
    out.fits_u64 = false;
    out.magnitude = 0;
    const auto [ptr, ec] =
        std::from_chars(out.text.data(), out.text.data() + out.text.size(), out.value);
    if (ec == std::errc::result_out_of_range) {
      // from_chars leaves the value alone when it does not fit: an underflow reads as a
      // zero of the right sign, as strtod would give it.
      out.out_of_range = overflows(out.text);
      out.value = out.negative ? -0.0 : 0.0;
    }
  }
  return true;
}

bool JsonReader::read_hex4(std::uint32_t& out) {
  out = 0;
  for (int i = 0; i < 4; ++i) {
    if (at_end()) return fail_after("EOF while parsing a string");
    const std::uint8_t b = current();
    std::uint32_t digit = 0;
    if (is_digit(b)) {
      digit = b - '0';
    } else if (b >= 'a' && b <= 'f') {
      digit = b - 'a' + 10u;
    } else if (b >= 'A' && b <= 'F') {
      digit = b - 'A' + 10u;
    } else {
      return fail_here("invalid escape");
    }
    out = out << 4 | digit;
    ++pos_;
  }
  return true;
}

// The cursor is on the byte after the backslash.
bool JsonReader::read_escape(std::string& out) {
  if (at_end()) return fail_after("EOF while parsing a string");
  const char c = text_[pos_];
  switch (c) {
    case '"':
    case '\\':
    case '/':
      out += c;
      break;
    case 'b':
      out += '\b';
      break;
    case 'f':
      out += '\f';
      break;
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    case 'u': {
      ++pos_;
      std::uint32_t cp = 0;
      if (!read_hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_after("unpaired surrogate in \\u escape");
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        // A leading surrogate must be followed at once by an escaped trailing one.
        for (const char expected : {'\\', 'u'}) {
          if (at_end()) return fail_after("EOF while parsing a string");
          if (text_[pos_] != expected) return fail_here("unpaired surrogate in \\u escape");
          ++pos_;
        }
        std::uint32_t low = 0;
        if (!read_hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail_after("unpaired surrogate in \\u escape");
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      append_utf8(out, cp);
      return true;
    }
    default:
      return fail_here("invalid escape");
  }
  ++pos_;
  return true;
}

bool JsonReader::read_string(std::string& out) {
  out.clear();
  ++pos_;  // the opening quote
  while (true) {
    // Copy the run of bytes that need no attention in one go.
    const std::size_t run_start = pos_;
    while (!at_end()) {
      const std::uint8_t b = current();
      if (b == '"' || b == '\\' || b < 0x20 || b >= 0x80) break;
      ++pos_;
    }
    out.append(text_.substr(run_start, pos_ - run_start));
    if (at_end()) return fail_after("EOF while parsing a string");
    const std::uint8_t b = current();
    if (b == '"') {
      ++pos_;
      return true;
    }
    if (b == '\\') {
      ++pos_;
      if (!read_escape(out)) return false;
    } else if (b < 0x20) {
      return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    } else {
      const Utf8Char ch = decode_utf8(text_, pos_);
      if (ch.length == 0) return fail_here("invalid UTF-8 in string");
      out.append(text_.substr(pos_, ch.length));
      pos_ += ch.length;
    }
  }
}

bool JsonReader::read_unsigned(std::uint64_t max, std::string_view expected, std::uint64_t& out) {
  const std::optional<char> c = peek_token();
  if (!c || (*c != '-' && !is_digit(static_cast<std::uint8_t>(*c)))) {
    return fail_invalid_type(expected);
  }
  JsonNumber number;
  if (!read_number(number)) return false;
  if (number.is_float) {
    if (number.out_of_range) return fail_after("number out of range");
    return fail_after("invalid type: floating point `" + format_float(number.value) +
                      "`, expected " + std::string(expected));
  }
  // "-0" is the integer zero, not a negative value.
  const bool negative = number.negative && !(number.fits_u64 && number.magnitude == 0);
  if (negative || !number.fits_u64 || number.magnitude > max) {
    return fail_after("invalid value: integer `" + std::string(number.text) + "`, expected " +
                      std::string(expected));
  }
  out = number.magnitude;
  return true;
}

bool JsonReader::read_string_value(std::string_view expected, std::string& out) {
  const std::optional<char> c = peek_token();
  if (c != '"') return fail_invalid_type(expected);
  return read_string(out);
}

bool JsonReader::fail_invalid_type(std::string_view expected) {
  const std::optional<char> c = peek_token();
  if (!c) return fail_after("EOF while parsing a value");
  const std::string tail = ", expected " + std::string(expected);
  switch (*c) {
    case '{':
      return fail_here("invalid type: map" + tail);
    case '[':
      return fail_here("invalid type: sequence" + tail);
    case '"': {
      std::string s;
      if (!read_string(s)) return false;
      return fail_after("invalid type: string " + render_quoted(s) + tail);
    }
    case 't':
    case 'f': {
      const std::string_view word = *c == 't' ? "true" : "false";
      if (!read_literal(word)) return false;
      return fail_after("invalid type: boolean `" + std::string(word) + "`" + tail);
    }
    case 'n':
      if (!read_literal("null")) return false;
      return fail_after("invalid type: null" + tail);
    default:
      break;
  }
  if (*c != '-' && !is_digit(static_cast<std::uint8_t>(*c))) return fail_here("expected value");
  JsonNumber number;
  if (!read_number(number)) return false;
  if (number.is_float) {
    if (number.out_of_range) return fail_after("number out of range");
    return fail_after("invalid type: floating point `" + format_float(number.value) + "`" + tail);
  }
  return fail_after("invalid type: integer `" + std::string(number.text) + "`" + tail);
}

}  // namespace quelt::format
