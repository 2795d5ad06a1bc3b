// File: format/json_reader.cc
//
// The manifest's pull reader. Every byte access is guarded by at_end(); positions are
// turned into line and column only when a problem is reported, by counting line feeds in
// the text taken so far, so the reading itself keeps no line bookkeeping.
#include "format/json_reader.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

bool JsonReader::skip_value() { return read_value(/*check_range=*/false); }

bool JsonReader::read_value_text(std::string_view& out) {
  peek_token();  // the text starts after the whitespace
  const std::size_t start = pos_;
  if (!read_value(/*check_range=*/true)) return false;
  out = text_.substr(start, pos_ - start);
  return true;
}

bool JsonReader::read_value(bool check_range) {
  const std::optional<char> c = peek_token();
  if (!c) return fail_after("EOF while parsing a value");
  switch (*c) {
    case '{': {
      if (!begin_object()) return false;
      std::string key;
      bool found = false;
      for (bool first = true;; first = false) {
        if (!next_key(first, key, found)) return false;
        if (!found) return true;
        if (!expect_colon() || !read_value(check_range)) return false;
      }
    }
    case '[': {
      if (!begin_array()) return false;
      bool found = false;
      for (bool first = true;; first = false) {
        if (!next_element(first, found)) return false;
        if (!found) return true;
        if (!read_value(check_range)) return false;
      }
    }
    case '"': {
      std::string s;
      return read_string(s);
    }
    case 't':
    case 'f':
      return read_literal(*c == 't' ? "true" : "false");
    case 'n':
      return read_literal("null");
    default:
      if (*c == '-' || is_digit(static_cast<std::uint8_t>(*c))) {
        JsonNumber number;
        if (!read_number(number)) return false;
        return !check_range || check_double_range(number);
      }
      return fail_here("expected value");
  }
}

bool JsonReader::read_literal(std::string_view word) {
  for (const char expected : word) {
    if (at_end()) return fail_after("EOF while parsing a value");
    if (text_[pos_] != expected) return fail_here("invalid literal");
    ++pos_;
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
