// File: format/json_number.cc
//
// Numbers in the manifest's pull reader: the RFC 8259 number grammar, the typed reading
// of unsigned fields (with "invalid type" for fractions and exponents, "invalid value" for
// negative or too large integers), the range check of the numbers in `config`, and the
// way messages write a float. Conversions use std::from_chars and std::to_chars,
// which are exact and independent of the process's locale.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "format/json_reader.h"

namespace quelt::format {
namespace {

bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }

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

// An integer of up to 64 bits always reads as a double, and a float token has been
// converted already; only an integer beyond 64 bits is converted here to find out.
bool JsonReader::check_double_range(const JsonNumber& number) {
  if (number.is_float) return !number.out_of_range || fail_after("number out of range");
  if (number.fits_u64) return true;
  double value = 0.0;
  const auto [ptr, ec] =
      std::from_chars(number.text.data(), number.text.data() + number.text.size(), value);
  if (ec == std::errc::result_out_of_range) return fail_after("number out of range");
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

}  // namespace quelt::format
