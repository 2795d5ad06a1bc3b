// File: format/errors.cc
//
// render: the one text form of a loading error, the structured rendering that the Python
// module shows after its prefix. A kind is written as its name, then its value in
// parentheses (Io, FormatJson, Core) or its named fields in braces; text fields are quoted
// and escaped so that a hostile tensor name cannot forge or hide parts of the message.
#include "format/errors.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "format/utf8.h"

namespace quelt::format {
namespace {

// Code points written as \u{hex} besides the C0/C1 controls: the ones that print nothing
// visible or change the text's layout or direction (format characters, separators other
// than the plain space, private use, noncharacters). Unassigned code points are written
// as they are, which keeps the table to what matters in a message.
bool is_invisible(char32_t cp) {
  struct Range {
    char32_t first;
    char32_t last;
  };
  static constexpr Range INVISIBLE[] = {
      {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x0600, 0x0605},    {0x061C, 0x061C},
      {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},    {0x08E2, 0x08E2},
      {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},    {0x2028, 0x202F},
      {0x205F, 0x2064},   {0x2066, 0x206F},   {0x3000, 0x3000},    {0xE000, 0xF8FF},
      {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},    {0x110BD, 0x110BD},
      {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},  {0x1D173, 0x1D17A},
      {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
  };
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
  if ((cp & 0xFFFE) == 0xFFFE) return true;  // U+xFFFE and U+xFFFF in every plane
  for (const Range& r : INVISIBLE) {
    if (cp >= r.first && cp <= r.last) return true;
  }
  return false;
}

void append_hex_escape(std::string& out, char32_t cp) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = DIGITS[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (n > 0) out += buffer[--n];
  out += '}';
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Utf8Char ch = decode_utf8(text, pos);
    if (ch.length == 0) {
      // Text fields are UTF-8 wherever this library makes them; a path from the operating
      // system may not be. Each stray byte shows as U+FFFD, so the output stays UTF-8.
      out += "\xEF\xBF\xBD";
      ++pos;
      continue;
    }
    switch (ch.code_point) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (is_invisible(ch.code_point)) {
          append_hex_escape(out, ch.code_point);
        } else {
          out.append(text.substr(pos, ch.length));
        }
    }
    pos += ch.length;
  }
  out += '"';
}

// Writes `Name { a: 1, b: "x" }`, the form of every kind with named fields.
class StructWriter {
 public:
  StructWriter(std::string& out, std::string_view name) : out_(out) {
    out_ += name;
    out_ += " { ";
  }
  ~StructWriter() { out_ += " }"; }
  StructWriter(const StructWriter&) = delete;
  StructWriter& operator=(const StructWriter&) = delete;

  StructWriter& field(std::string_view name, std::uint64_t value) {
    begin(name);
    out_ += std::to_string(value);
    return *this;
  }
  StructWriter& field(std::string_view name, std::string_view text) {
    begin(name);
    append_quoted(out_, text);
    return *this;
  }
  StructWriter& field(std::string_view name, const std::vector<std::uint64_t>& list) {
    begin(name);
    out_ += '[';
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i > 0) out_ += ", ";
      out_ += std::to_string(list[i]);
    }
    out_ += ']';
    return *this;
  }

 private:
  void begin(std::string_view name) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
  }

  std::string& out_;
  bool first_ = true;
};

void append_text_kind(std::string& out, std::string_view name, std::string_view text) {
  out += name;
  out += '(';
  append_quoted(out, text);
  out += ')';
}

void append_core(std::string& out, const CoreError& error) {
  std::visit(
      [&out](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, errors::Io>) {
          append_text_kind(out, "Io", e.text);
        } else if constexpr (std::is_same_v<E, errors::FormatTruncated>) {
          StructWriter(out, "FormatTruncated")
              .field("offset", e.offset)
              .field("needed", e.needed)
              .field("actual", e.actual);
        } else if constexpr (std::is_same_v<E, errors::FormatBadMagic>) {
          StructWriter(out, "FormatBadMagic").field("found", e.found);
        } else if constexpr (std::is_same_v<E, errors::FormatUnsupportedMajor>) {
          StructWriter(out, "FormatUnsupportedMajor")
              .field("found", e.found)
              .field("expected", e.expected);
        } else if constexpr (std::is_same_v<E, errors::FormatBadFlags>) {
          StructWriter(out, "FormatBadFlags").field("found", e.found).field("expected", e.expected);
        } else if constexpr (std::is_same_v<E, errors::FormatJson>) {
          append_text_kind(out, "FormatJson", e.text);
        } else if constexpr (std::is_same_v<E, errors::DecryptFailed>) {
          out += "DecryptFailed";
        } else if constexpr (std::is_same_v<E, errors::FormatBadDtype>) {
          StructWriter(out, "FormatBadDtype").field("name", e.name).field("dtype", e.dtype);
        } else if constexpr (std::is_same_v<E, errors::FormatTensorSizeMismatch>) {
          StructWriter(out, "FormatTensorSizeMismatch")
              .field("name", e.name)
              .field("declared", e.declared)
              .field("computed", e.computed);
        } else if constexpr (std::is_same_v<E, errors::FormatTensorOutOfBounds>) {
          StructWriter(out, "FormatTensorOutOfBounds")
              .field("name", e.name)
              .field("offset", e.offset)
              .field("nbytes", e.nbytes)
              .field("available", e.available);
        } else if constexpr (std::is_same_v<E, errors::MissingTensor>) {
          StructWriter(out, "MissingTensor").field("name", e.name);
        } else if constexpr (std::is_same_v<E, errors::ShapeMismatch>) {
          StructWriter(out, "ShapeMismatch")
              .field("name", e.name)
              .field("actual", e.actual)
              .field("expected", e.expected);
        } else {
          static_assert(sizeof(E) == 0, "every CoreError kind needs a rendering");
        }
      },
      error);
}

}  // namespace

std::string render(const CoreError& error) {
  std::string out;
  append_core(out, error);
  return out;
}

std::string render(const WakeWordError& error) {
  std::string out = "Core(";
  append_core(out, error.core);
  out += ')';
  return out;
}

std::string render_quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace quelt::format
