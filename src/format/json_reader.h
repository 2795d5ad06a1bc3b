// File: format/json_reader.h
//
// A pull reader for JSON text (RFC 8259), made for the manifest: the caller asks for the
// next key, element or value and checks the schema as it goes, so that every problem, a
// schema problem found after a value was read included, is reported with the line and
// column where it was detected. (A general-purpose parser hands its events over without
// positions.) Any value the schema does not interpret can be skipped, still checked, or
// kept as its text, checked as well: the manifest's `config` is held as the bytes that
// were written, so the library needs no JSON value type of its own.
//
// The reader is the library's attack surface: it never reads past the text, nests arrays
// and objects at most MAX_DEPTH deep (so recursion is bounded), refuses ill-formed UTF-8
// and lone surrogates in strings, and allocates at most a small multiple of the text's
// length.
//
// Positions: lines count from 1; the column is the 1-based byte index within its line of
// the byte where the problem was detected, or 0 when the reader had taken nothing on that
// line yet (an empty text fails "at line 1 column 0"). A schema problem with a value is
// detected at the value's last byte, except for arrays and objects of the wrong type,
// which are detected at their opening bracket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quelt::format {

// A number token as written. Integers carry their magnitude when it fits in 64 bits;
// numbers with a fraction or an exponent carry their nearest double.
struct JsonNumber {
  std::string_view text;
  bool negative = false;
  bool is_float = false;        // has a fraction or an exponent
  bool fits_u64 = false;        // integers only: `magnitude` holds |value|
  std::uint64_t magnitude = 0;  // integers only
  double value = 0.0;           // floats only
  bool out_of_range = false;    // floats only: |value| overflows a double
};

// Every member that returns bool returns false once a problem has been found; error() then
// holds the first problem's description followed by " at line L column C". After a
// failure the reader must not be used further.
class JsonReader {
 public:
  // Arrays and objects nest at most this deep, the top-level value being level 1.
  static constexpr int MAX_DEPTH = 127;

  explicit JsonReader(std::span<const std::uint8_t> text);

  // Skips whitespace and returns the next byte without taking it; nullopt at the end.
  std::optional<char> peek_token();

  // Objects. begin_object takes the '{' under the cursor. next_key reads the separator
  // and the next key, or takes the closing '}' and sets `found` to false; `first` is true
  // for the first call after begin_object. expect_colon takes the ':' after a key.
  bool begin_object();
  bool next_key(bool first, std::string& key, bool& found);
  bool expect_colon();

  // Arrays, the same way: after next_element sets `found`, read the element's value.
  bool begin_array();
  bool next_element(bool first, bool& found);
  // After the last element of a fixed-length array: takes the ']' or fails, naming more
  // elements "trailing characters".
  bool end_fixed_array();

  // Skips any value, checking its grammar, strings and nesting. Numbers are not
  // converted, so one beyond a double's range passes.
  bool skip_value();
  // Reads any value as skip_value does, and also refuses a number beyond a double's range
  // ("number out of range"), so that any JSON parser reads the text back with finite
  // numbers. `out` views the value's text as written, from its first byte to its last.
  bool read_value_text(std::string_view& out);
  // Reads the string under the cursor (the caller has seen its '"').
  bool read_string(std::string& out);
  // Reads a number the schema wants as an unsigned integer no larger than `max`, refusing
  // negative values, fractions and exponents; `expected` names the type ("u16").
  bool read_unsigned(std::uint64_t max, std::string_view expected, std::uint64_t& out);
  // Reads a string the schema wants; any other value fails as an invalid type.
  bool read_string_value(std::string_view expected, std::string& out);

  // Fails with "invalid type: <what is under the cursor>, expected <expected>". Scalars are
  // read first (their own syntax errors come first); arrays and objects are not.
  bool fail_invalid_type(std::string_view expected);
  // Fails at the last byte taken, e.g. "missing field `config`" after a '}'.
  bool fail_after(std::string_view message);
  // Fails at the byte under the cursor.
  bool fail_here(std::string_view message);

  // Skips whitespace; anything else left fails as "trailing characters".
  bool expect_end();

  const std::string& error() const { return error_; }

 private:
  bool at_end() const { return pos_ == text_.size(); }
  std::uint8_t current() const { return static_cast<std::uint8_t>(text_[pos_]); }
  bool fail_at(std::size_t consumed, std::string_view message);
  bool read_value(bool check_range);
  bool read_number(JsonNumber& out);
  bool read_literal(std::string_view word);
  bool read_hex4(std::uint32_t& out);
  bool read_escape(std::string& out);
  bool check_double_range(const JsonNumber& number);

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::string error_;
};

// A float as messages write it: the shortest digits that read back as the same double,
// in plain decimal notation, with ".0" when they form a whole number ("2.0", "0.001").
std::string format_float(double value);

}  // namespace quelt::format
