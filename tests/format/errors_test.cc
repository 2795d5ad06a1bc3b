// File: tests/format/errors_test.cc
//
// The rendering of every error kind, checked against literal expected texts: these are
// what the Python module shows users, so a change in spacing or quoting is a regression.
#include "format/errors.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quelt::format {
namespace {

struct RenderCase {
  CoreError error;
  std::string expected;
};

TEST(Render, EveryCoreErrorKind) {
  constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
  const std::vector<RenderCase> cases = {
      {errors::Io{"/tmp/m.qelt: No such file or directory"},
       R"(Io("/tmp/m.qelt: No such file or directory"))"},
      {errors::FormatTruncated{0, 64, 10}, "FormatTruncated { offset: 0, needed: 64, actual: 10 }"},
      {errors::FormatTruncated{U64_MAX, 44, 0},
       "FormatTruncated { offset: 18446744073709551615, needed: 44, actual: 0 }"},
      // An ELF file: 0x7F 'E' 'L' 'F' read little-endian, in decimal.
      {errors::FormatBadMagic{1179403647}, "FormatBadMagic { found: 1179403647 }"},
      {errors::FormatBadMagic{0xFFFFFFFFu}, "FormatBadMagic { found: 4294967295 }"},
      {errors::FormatUnsupportedMajor{3, 2}, "FormatUnsupportedMajor { found: 3, expected: 2 }"},
      {errors::FormatBadFlags{2, 1}, "FormatBadFlags { found: 2, expected: 1 }"},
      {errors::FormatJson{"EOF while parsing a value at line 1 column 0"},
       R"(FormatJson("EOF while parsing a value at line 1 column 0"))"},
      {errors::FormatJson{"missing field `config` at line 3 column 1"},
       R"(FormatJson("missing field `config` at line 3 column 1"))"},
      {errors::DecryptFailed{}, "DecryptFailed"},
      {errors::FormatBadDtype{"b", "int8"}, R"(FormatBadDtype { name: "b", dtype: "int8" })"},
      {errors::FormatTensorSizeMismatch{"w", 24, 12},
       R"(FormatTensorSizeMismatch { name: "w", declared: 24, computed: 12 })"},
      {errors::FormatTensorOutOfBounds{"head.bias", 96, 4, 98},
       R"(FormatTensorOutOfBounds { name: "head.bias", offset: 96, nbytes: 4, available: 98 })"},
      {errors::MissingTensor{"head.bias"}, R"(MissingTensor { name: "head.bias" })"},
      {errors::MissingTensor{""}, R"(MissingTensor { name: "" })"},
      {errors::ShapeMismatch{"head.weight", {16}, {1, 16}},
       R"(ShapeMismatch { name: "head.weight", actual: [16], expected: [1, 16] })"},
      {errors::ShapeMismatch{"x", {}, {U64_MAX, 0, 7}},
       R"(ShapeMismatch { name: "x", actual: [], expected: [18446744073709551615, 0, 7] })"},
  };
  for (const RenderCase& c : cases) {
    EXPECT_EQ(render(c.error), c.expected);
  }
}

TEST(Render, WakeWordErrorNestsTheCoreError) {
  EXPECT_EQ(render(WakeWordError{errors::DecryptFailed{}}), "Core(DecryptFailed)");
  EXPECT_EQ(render(WakeWordError{errors::MissingTensor{"head.bias"}}),
            R"(Core(MissingTensor { name: "head.bias" }))");
  EXPECT_EQ(render(WakeWordError{errors::ShapeMismatch{"head.weight", {16}, {1, 16}}}),
            R"(Core(ShapeMismatch { name: "head.weight", actual: [16], expected: [1, 16] }))");
  EXPECT_EQ(render(WakeWordError{errors::FormatJson{"x\"y"}}), R"(Core(FormatJson("x\"y")))");
}

TEST(Render, EscapesTextFields) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"a\"b", R"("a\"b")"},
      {"back\\slash", R"("back\\slash")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string("nul\0x", 5), R"("nul\0x")"},
      // Other controls, C1 controls and DEL as \u{...} in lower-case hex, no padding.
      {"\x01\x1b\x1f\x7f", R"("\u{1}\u{1b}\u{1f}\u{7f}")"},
      {"\xC2\x85\xC2\x9F", R"("\u{85}\u{9f}")"},
      // Invisible and direction-changing characters would hide what the name really is.
      {"a\xE2\x80\xAE"
       "b",
       R"("a\u{202e}b")"},
      {"\xEF\xBB\xBF"
       "x\xC2\xA0",
       R"("\u{feff}x\u{a0}")"},
      {"\xE2\x80\x8B\xE2\x80\xA8", R"("\u{200b}\u{2028}")"},
      {"\xEF\xBF\xBE\xF4\x8F\xBF\xBF\xEE\x80\x80", R"("\u{fffe}\u{10ffff}\u{e000}")"},
      // Printable non-ASCII text stays as it is.
      {"gewicht.\xC3\xBC\xE2\x82\xAC\xF0\x9F\x99\x82 ",
       "\"gewicht.\xC3\xBC\xE2\x82\xAC\xF0\x9F\x99\x82 \""},
      {"'single' {braces} `tick`", R"("'single' {braces} `tick`")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(render(errors::MissingTensor{c.text}), "MissingTensor { name: " + c.expected + " }")
        << c.expected;
    EXPECT_EQ(render_quoted(c.text), c.expected);
  }
}

TEST(Render, IllFormedUtf8BecomesReplacementCharacters) {
  // One U+FFFD per stray byte: a lone continuation byte, a truncated sequence, an overlong
  // '/', an encoded surrogate and a lead byte past U+10FFFF.
  EXPECT_EQ(render_quoted("\x80"), "\"\xEF\xBF\xBD\"");
  EXPECT_EQ(render_quoted("a\xE2\x82"), "\"a\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(render_quoted("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(render_quoted("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(render_quoted("\xF5"), "\"\xEF\xBF\xBD\"");
  EXPECT_EQ(render(errors::Io{"/tmp/\xFF: No such file or directory"}),
            "Io(\"/tmp/\xEF\xBF\xBD: No such file or directory\")");
}

}  // namespace
}  // namespace quelt::format
