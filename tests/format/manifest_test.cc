// File: tests/format/manifest_test.cc
//
// The manifest reader and the tensor table. Schema messages and their positions are
// compared as literal texts (users see them); the JSON grammar is cross-checked against
// nlohmann-json, an independent parser, on a few thousand mutated documents, and `config`
// must come back as exactly the bytes that were written.
#include "format/manifest.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quelt::format {
namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::string_view JSON_WHITESPACE = " \t\n\r";

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Result<ManifestJson, CoreError> parse(std::string_view text) {
  return parse_manifest(bytes_of(text));
}

// The FormatJson text of a failed parse, or a marker naming what happened instead.
std::string json_error(std::string_view text) {
  auto result = parse(text);
  if (result.has_value()) return "<parsed>";
  if (const auto* e = std::get_if<errors::FormatJson>(&result.error())) return e->text;
  return "<" + render(result.error()) + ">";
}

// A manifest whose `config` and `tensors` values are the given JSON texts.
std::string manifest_with(std::string_view config, std::string_view tensors,
                          std::string_view version = "2") {
  return R"({"format_version":)" + std::string(version) + R"(,"model_type":"kws","config":)" +
         std::string(config) + R"(,"tensors":)" + std::string(tensors) + "}";
}

TEST(ParseManifest, AcceptsObjectAndArrayForms) {
  const std::string object_form = R"({
    "comment": {"ignored": [1, 2.5e3, "x", null, true]},
    "tensors": {
      "head.weight": {"nbytes": 64, "offset": 0, "shape": [1, 16], "dtype": "fp32", "x": 1},
      "head.bias": ["fp16", [], 64, 2]
    },
    "config": {"sample_rate": 16000, "name": "hey \u00e9\ud83d\ude42"},
    "model_type": "quelt-kws",
    "format_version": 2
  })";
  auto parsed = parse(object_form);
  ASSERT_TRUE(parsed.has_value()) << json_error(object_form);
  const ManifestJson& m = parsed.value();
  EXPECT_EQ(m.format_version, 2);
  EXPECT_EQ(m.model_type, "quelt-kws");
  EXPECT_EQ(m.config, R"({"sample_rate": 16000, "name": "hey \u00e9\ud83d\ude42"})");
  ASSERT_EQ(m.tensors.size(), 2u);
  const TensorEntryJson& w = m.tensors.at("head.weight");
  EXPECT_EQ(w.dtype, "fp32");
  EXPECT_EQ(w.shape, (std::vector<std::uint64_t>{1, 16}));
  EXPECT_EQ(w.offset, 0u);
  EXPECT_EQ(w.nbytes, 64u);
  const TensorEntryJson& b = m.tensors.at("head.bias");
  EXPECT_EQ(b.dtype, "fp16");
  EXPECT_TRUE(b.shape.empty());
  EXPECT_EQ(b.offset, 64u);
  EXPECT_EQ(b.nbytes, 2u);

  auto array_form = parse(R"( [2, "m", null, {"": ["fp32", [18446744073709551615], 1, 0]}] )");
  ASSERT_TRUE(array_form.has_value());
  EXPECT_EQ(array_form.value().config, "null");
  EXPECT_EQ(array_form.value().tensors.at("").shape[0], U64_MAX);

  EXPECT_TRUE(parse(manifest_with("null", "{}")).has_value());
  EXPECT_TRUE(parse(manifest_with("[]", "{}") + " \r\n\t ").has_value());
}

TEST(ParseManifest, RepeatedTensorNameKeepsTheLastEntry) {
  auto parsed = parse(manifest_with(R"({"k": 1, "k": 2})", R"({
      "a": ["fp32", [1], 0, 4],
      "b": ["fp32", [], 0, 4],
      "a": ["fp16", [3], 8, 6]})"));
  ASSERT_TRUE(parsed.has_value());
  const TensorEntryJson& a = parsed.value().tensors.at("a");
  EXPECT_EQ(a.dtype, "fp16");
  EXPECT_EQ(a.shape, std::vector<std::uint64_t>{3});
  EXPECT_EQ(a.offset, 8u);
  EXPECT_EQ(parsed.value().tensors.size(), 2u);
  EXPECT_EQ(parsed.value().config, R"({"k": 1, "k": 2})");  // kept as written
}

TEST(ParseManifest, VersionIsCheckedAfterTheWholeText) {
  auto v3 = parse(manifest_with("null", "{}", "3"));
  ASSERT_FALSE(v3.has_value());
  EXPECT_EQ(render(v3.error()), "FormatUnsupportedMajor { found: 3, expected: 2 }");
  auto v65535 = parse(manifest_with("null", "{}", "65535"));
  ASSERT_FALSE(v65535.has_value());
  EXPECT_EQ(render(v65535.error()), "FormatUnsupportedMajor { found: 65535, expected: 2 }");
  // A JSON problem anywhere wins over the version.
  EXPECT_EQ(json_error(manifest_with("null", "{}", "3") + "x"),
            "trailing characters at line 1 column 67");
  EXPECT_EQ(json_error(manifest_with("null", R"({"a": 5})", "0")),
            "invalid type: integer `5`, expected struct TensorEntryJson at line 1 column 70");
}

struct MessageCase {
  std::string text;
  std::string expected;
};

void expect_messages(const std::vector<MessageCase>& cases) {
  for (const MessageCase& c : cases) EXPECT_EQ(json_error(c.text), c.expected) << c.text;
}

TEST(ParseManifest, TopLevelAndStructShapes) {
  expect_messages({
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n\n  ", "EOF while parsing a value at line 3 column 2"},
      {R"("abc")",
       R"(invalid type: string "abc", expected struct ManifestJson at line 1 column 5)"},
      {"12", "invalid type: integer `12`, expected struct ManifestJson at line 1 column 2"},
      {"-2.50",
       "invalid type: floating point `-2.5`, expected struct ManifestJson at line 1 column 5"},
      {"\n null", "invalid type: null, expected struct ManifestJson at line 2 column 5"},
      {"false", "invalid type: boolean `false`, expected struct ManifestJson at line 1 column 5"},
      {"[]", "invalid length 0, expected struct ManifestJson with 4 elements at line 1 column 2"},
      {R"([2, "m"])",
       "invalid length 2, expected struct ManifestJson with 4 elements at line 1 column 8"},
      {R"([2, "m", null, {}, 5])", "trailing characters at line 1 column 20"},
      {R"([2, "m", null, {},])", "trailing comma at line 1 column 19"},
      {"{}", "missing field `format_version` at line 1 column 2"},
      {R"({"format_version": 2, "model_type": "m", "tensors": {}})",
       "missing field `config` at line 1 column 55"},
      {R"({"format_version": 2, "config": 1, "tensors": {}})",
       "missing field `model_type` at line 1 column 49"},
      {R"({"format_version": 2, "format_version": 2})",
       "duplicate field `format_version` at line 1 column 38"},
      {R"({"config": null, "config": null})", "duplicate field `config` at line 1 column 25"},
      {manifest_with("null", "{}") + " {}", "trailing characters at line 1 column 68"},
      {manifest_with("null", "{}") + "\n\n  ]", "trailing characters at line 3 column 3"},
  });
}

TEST(ParseManifest, FieldTypesAndRanges) {
  const auto version = [](std::string_view v) { return manifest_with("null", "{}", v); };
  const auto entry = [](std::string_view e) {
    return manifest_with("0", R"({"t": )" + std::string(e) + "}");
  };
  expect_messages({
      {version("-1"), "invalid value: integer `-1`, expected u16 at line 1 column 20"},
      {version("2.0"), "invalid type: floating point `2.0`, expected u16 at line 1 column 21"},
      {version("2e0"), "invalid type: floating point `2.0`, expected u16 at line 1 column 21"},
      {version("70000"), "invalid value: integer `70000`, expected u16 at line 1 column 23"},
      {version("65536"), "invalid value: integer `65536`, expected u16 at line 1 column 23"},
      {version("\"2\""), R"(invalid type: string "2", expected u16 at line 1 column 21)"},
      {version("[2]"), "invalid type: sequence, expected u16 at line 1 column 19"},
      {version("1e400"), "number out of range at line 1 column 23"},
      {R"({"model_type": null})", "invalid type: null, expected a string at line 1 column 19"},
      {manifest_with("0", "[]"), "invalid type: sequence, expected a map at line 1 column 61"},
      {entry(R"("x")"),
       R"(invalid type: string "x", expected struct TensorEntryJson at line 1 column 69)"},
      {entry(R"(["fp32", []])"),
       "invalid length 2, expected struct TensorEntryJson with 4 elements at line 1 column 78"},
      {entry(R"({"dtype": "fp32", "offset": 0, "nbytes": 0})"),
       "missing field `shape` at line 1 column 109"},
      {entry(R"({"dtype": "fp32", "shape": [], "offset": 0})"),
       "missing field `nbytes` at line 1 column 109"},
      {entry(R"({"shape": [], "shape": []})"), "duplicate field `shape` at line 1 column 87"},
      {entry(R"([5, [], 0, 0])"),
       "invalid type: integer `5`, expected a string at line 1 column 68"},
      {entry(R"(["fp32", {}, 0, 0])"),
       "invalid type: map, expected a sequence at line 1 column 76"},
      {entry(R"(["fp32", [1, -3], 0, 0])"),
       "invalid value: integer `-3`, expected u64 at line 1 column 81"},
      {entry(R"(["fp32", [0.5], 0, 0])"),
       "invalid type: floating point `0.5`, expected u64 at line 1 column 79"},
      {entry(R"(["fp32", [], 18446744073709551616, 0])"),
       "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 99"},
      {entry(R"(["fp32", [], 0, 1E2])"),
       "invalid type: floating point `100.0`, expected u64 at line 1 column 85"},
      {entry(R"(["fp32", [], 0, true])"),
       "invalid type: boolean `true`, expected u64 at line 1 column 86"},
  });
  // The largest values of each type are accepted, as is "-0", which is not negative.
  auto ok = parse(manifest_with(
      "0", R"({"t": ["fp32", [-0, 18446744073709551615], 18446744073709551615, 0]})", "2"));
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok.value().tensors.at("t").shape, (std::vector<std::uint64_t>{0, U64_MAX}));
  EXPECT_EQ(ok.value().tensors.at("t").offset, U64_MAX);
}

TEST(ParseManifest, SyntaxErrors) {
  const auto cfg = [](std::string_view c) { return manifest_with(c, "{}"); };
  expect_messages({
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[2, ", "EOF while parsing a value at line 1 column 4"},
      {"[2", "EOF while parsing a list at line 1 column 2"},
      {R"({"format_version)", "EOF while parsing a string at line 1 column 16"},
      {R"({"format_version" 2})", "expected `:` at line 1 column 19"},
      {R"({"format_version": 2 "x": 1})", "expected `,` or `}` at line 1 column 22"},
      {R"({"config": 1,})", "trailing comma at line 1 column 14"},
      {R"({config: 1})", "key must be a string at line 1 column 2"},
      {cfg("[1 2]"), "expected `,` or `]` at line 1 column 52"},
      {cfg("[1,]"), "trailing comma at line 1 column 52"},
      {cfg("tru"), "invalid literal at line 1 column 52"},
      {cfg("nul,"), "invalid literal at line 1 column 52"},
      {cfg("'x'"), "expected value at line 1 column 49"},
      {cfg("01"), "invalid number at line 1 column 50"},
      {cfg("-x"), "invalid number at line 1 column 50"},
      {cfg("1.e5"), "invalid number at line 1 column 51"},
      {cfg("1e+"), "invalid number at line 1 column 52"},
      {cfg("+1"), "expected value at line 1 column 49"},
      {cfg("1e309"), "number out of range at line 1 column 53"},
      {cfg(std::string(309, '9')), "number out of range at line 1 column 357"},
      {cfg(R"("a\x")"), "invalid escape at line 1 column 52"},
      {cfg(R"("\u12g4")"), "invalid escape at line 1 column 54"},
      {cfg(R"("\udc00")"), "unpaired surrogate in \\u escape at line 1 column 55"},
      {cfg(R"("\ud800x")"), "unpaired surrogate in \\u escape at line 1 column 56"},
      {cfg(R"("\ud800\u0041")"), "unpaired surrogate in \\u escape at line 1 column 61"},
      {cfg("\"tab\there\""),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 53"},
      {cfg("\"a\xC3\""), "invalid UTF-8 in string at line 1 column 51"},
      {cfg("\"\xED\xA0\x80\""), "invalid UTF-8 in string at line 1 column 50"},
      {cfg("\"\xF0\x82\x82\xAC\""), "invalid UTF-8 in string at line 1 column 50"},
      {cfg("\xEF\xBB\xBF"
           "1"),
       "expected value at line 1 column 49"},
      {std::string("{\"a\"\0:1}", 8), "expected `:` at line 1 column 5"},
  });
  // Skipped values are checked for well-formedness but not converted, so a huge float
  // under an unknown key is accepted.
  EXPECT_EQ(json_error(R"({"x": [1e999, -0.0e-999, {"y": "\ud83d\ude42"}], )" +
                       manifest_with("null", "{}").substr(1)),
            "<parsed>");
  EXPECT_EQ(json_error(R"({"x": [1, 2,], )" + manifest_with("null", "{}").substr(1)),
            "trailing comma at line 1 column 13");
}

TEST(ParseManifest, RecursionLimitIs127Levels) {
  // The manifest object is level 1, so `config` may open 126 more levels.
  const auto nested = [](int levels) {
    return manifest_with(std::string(static_cast<std::size_t>(levels), '[') +
                             std::string(static_cast<std::size_t>(levels), ']'),
                         "{}");
  };
  EXPECT_EQ(json_error(nested(126)), "<parsed>");
  EXPECT_EQ(json_error(nested(127)), "recursion limit exceeded at line 1 column 175");
  EXPECT_EQ(json_error(nested(100000)), "recursion limit exceeded at line 1 column 175");
  // The same under an unknown key, and with objects.
  std::string deep = R"({"x":)";
  for (int i = 0; i < 200; ++i) deep += R"({"a":)";
  EXPECT_EQ(json_error(deep), "recursion limit exceeded at line 1 column 636");
  // As many levels as allowed reach a tensor's shape at level 4 only; a top-level array
  // of 127 levels fails as the manifest's wrong length, not as recursion.
  EXPECT_EQ(json_error(std::string(127, '[') + std::string(127, ']')),
            "invalid type: sequence, expected u16 at line 1 column 2");
}

TEST(ParseManifest, ConfigIsKeptAsTheBytesWritten) {
  // Spellings a parser would normalise (exponents, trailing zeros, -0, escapes, key order,
  // a repeated key, inner whitespace and line breaks) survive byte for byte; the
  // whitespace around the value is not part of it.
  const std::vector<std::string> values = {
      "null",
      "-0",
      "1.50E+002",
      "\"caf\\u00e9 \\/ caf\xC3\xA9 \\ud83d\\ude42\"",
      "{\"z\": [1e-400, -0.0, 18446744073709551616],\r\n \"a\":{}, \"z\" :\t{\"k\" : null}}",
      std::string(126, '[') + std::string(126, ']'),
  };
  for (const std::string& value : values) {
    for (const char* around : {"", " \n\t\r "}) {
      auto object_form = parse(manifest_with(around + value + around, "{}"));
      ASSERT_TRUE(object_form.has_value()) << value << ": " << render(object_form.error());
      EXPECT_EQ(object_form.value().config, value);
      auto array_form = parse(std::string("[2, \"m\",") + around + value + around + ", {}]");
      ASSERT_TRUE(array_form.has_value()) << value << ": " << render(array_form.error());
      EXPECT_EQ(array_form.value().config, value);
    }
  }
  // Through the tensor table into the artefact, unchanged.
  ManifestJson m = parse(manifest_with(values[4], "{}")).value();
  auto built = build_tensor_map(std::move(m), {});
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(built.value().config, values[4]);
}

TEST(ParseManifest, ConfigMatchesAnIndependentParser) {
  const std::vector<std::string> seeds = {
      R"({"a": [1, -2, 3.25, -0.0, 1e-400, 18446744073709551615, 18446744073709551616]})",
      R"([true, false, null, "\"\\\/\b\f\n\r\t\u0000\u00e9\ud83d\ude42", {}, []])",
      R"({"k": {"k": {"k": [-9223372036854775808, -9223372036854775809, 12345678901234567890123]}}})",
      R"("caf\u00e9 \u2028 na\u00efve")",
      R"([0.1, 2.5E+3, 6.02e23, 4.9e-324, 1.7976931348623157e308, 123.456e-7])",
      R"([1e-99999999999999999999, 0e99999999999999999999, -0.000e-5000, 2.4e-324])",
      R"({"too big": 1e99999999999999999999})",
  };
  std::mt19937 rng(20240611);
  const std::string alphabet = "{}[],:\"\\u0123456789-+.eE tfnlrsax\n\t\xC3\xA9\xFF";
  int accepted = 0;
  for (int iteration = 0; iteration < 6000; ++iteration) {
    std::string text = seeds[static_cast<std::size_t>(iteration) % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && iteration >= static_cast<int>(seeds.size()); ++e) {
      const std::size_t at = rng() % (text.size() + 1);
      const char c = alphabet[rng() % alphabet.size()];
      switch (rng() % 3) {
        case 0:
          text.insert(at, 1, c);
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1);
          break;
        default:
          if (at < text.size()) text[at] = c;
      }
    }
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) continue;  // a leading BOM: the other skips it
    auto parsed = parse(manifest_with(text, "{}"));
    const bool reference_accepts = nlohmann::json::accept(text);
    ASSERT_EQ(parsed.has_value(), reference_accepts)
        << text << "\n"
        << (parsed.has_value() ? "" : render(parsed.error()));
    if (reference_accepts) {
      ++accepted;
      // The value's own bytes: the text without the whitespace around it.
      const std::size_t first = text.find_first_not_of(JSON_WHITESPACE);
      const std::size_t last = text.find_last_not_of(JSON_WHITESPACE);
      EXPECT_EQ(parsed.value().config, text.substr(first, last - first + 1)) << text;
    }
  }
  // The mutations must exercise both outcomes to mean anything.
  EXPECT_GT(accepted, 500);
  EXPECT_LT(accepted, 5500);
}

// A manifest held as a value, for the tensor table tests.
ManifestJson manifest_of(std::vector<std::pair<std::string, TensorEntryJson>> entries) {
  ManifestJson m;
  m.format_version = 2;
  m.model_type = "kws";
  m.config = R"({"rate": 16000})";
  for (auto& [name, entry] : entries) m.tensors.insert_or_assign(name, entry);
  return m;
}

std::string build_error(ManifestJson m, std::size_t data_len) {
  const std::vector<std::uint8_t> data(data_len, 0xAB);
  auto result = build_tensor_map(std::move(m), data);
  return result.has_value() ? "<built>" : render(result.error());
}

TEST(BuildTensorMap, CopiesTensorsAndMovesTheFreeFields) {
  std::vector<std::uint8_t> data(40);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  auto result = build_tensor_map(manifest_of({
                                     {"w", {"fp32", {2, 3}, 3, 24}},  // unaligned offset
                                     {"b", {"fp16", {}, 38, 2}},      // ends on the last byte
                                     {"z", {"fp32", {0, 5}, 40, 0}},  // empty, one past the end
                                     {"o", {"fp16", {4}, 3, 8}},      // overlaps w
                                 }),
                                 data);
  ASSERT_TRUE(result.has_value()) << render(result.error());
  const ModelArtefact& a = result.value();
  EXPECT_EQ(a.model_type, "kws");
  EXPECT_EQ(a.config, R"({"rate": 16000})");
  ASSERT_EQ(a.tensors.size(), 4u);
  const RawTensor& w = a.tensors.at("w");
  EXPECT_EQ(w.dtype, TensorDtype::Fp32);
  EXPECT_EQ(w.shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(w.data, std::vector<std::uint8_t>(data.begin() + 3, data.begin() + 27));
  EXPECT_EQ(a.tensors.at("b").dtype, TensorDtype::Fp16);
  EXPECT_EQ(a.tensors.at("b").data, (std::vector<std::uint8_t>{38, 39}));
  EXPECT_TRUE(a.tensors.at("z").data.empty());
  EXPECT_EQ(a.tensors.at("o").data, std::vector<std::uint8_t>(data.begin() + 3, data.begin() + 11));

  auto empty = build_tensor_map(manifest_of({}), {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty.value().tensors.empty());
}

TEST(BuildTensorMap, SizeAndBoundsChecks) {
  EXPECT_EQ(build_error(manifest_of({{"w", {"fp16", {2, 3}, 0, 24}}}), 100),
            R"(FormatTensorSizeMismatch { name: "w", declared: 24, computed: 12 })");
  EXPECT_EQ(build_error(manifest_of({{"w", {"FP32", {}, 0, 4}}}), 100),
            R"(FormatBadDtype { name: "w", dtype: "FP32" })");
  // Counts saturate at 2^64 - 1; a later zero still brings them to 0.
  constexpr std::uint64_t TWO_63 = std::uint64_t{1} << 63;
  EXPECT_EQ(
      build_error(manifest_of({{"w", {"fp32", {TWO_63, 4}, 0, 0}}}), 100),
      R"(FormatTensorSizeMismatch { name: "w", declared: 0, computed: 18446744073709551615 })");
  EXPECT_EQ(
      build_error(manifest_of({{"w", {"fp32", {TWO_63, 4}, 0, U64_MAX}}}), 100),
      R"(FormatTensorOutOfBounds { name: "w", offset: 0, nbytes: 18446744073709551615, available: 100 })");
  EXPECT_EQ(build_error(manifest_of({{"w", {"fp32", {TWO_63, 4, 0}, 7, 0}}}), 100), "<built>");
  EXPECT_EQ(
      build_error(manifest_of({{"w", {"fp16", {U64_MAX / 2 + 1}, 0, U64_MAX}}}), 100),
      R"(FormatTensorOutOfBounds { name: "w", offset: 0, nbytes: 18446744073709551615, available: 100 })");
  // offset + nbytes must not wrap around.
  EXPECT_EQ(
      build_error(manifest_of({{"w", {"fp32", {1}, U64_MAX - 1, 4}}}), 100),
      R"(FormatTensorOutOfBounds { name: "w", offset: 18446744073709551614, nbytes: 4, available: 100 })");
  EXPECT_EQ(build_error(manifest_of({{"w", {"fp32", {1}, 97, 4}}}), 100),
            R"(FormatTensorOutOfBounds { name: "w", offset: 97, nbytes: 4, available: 100 })");
  EXPECT_EQ(build_error(manifest_of({{"w", {"fp32", {0, 5}, 101, 0}}}), 100),
            R"(FormatTensorOutOfBounds { name: "w", offset: 101, nbytes: 0, available: 100 })");
  EXPECT_EQ(build_error(manifest_of({{"w", {"fp32", {1}, 96, 4}}}), 100), "<built>");
}

TEST(BuildTensorMap, FirstBadEntryInByteOrderWins) {
  const TensorEntryJson scalar{"fp32", {}, 0, 4};
  const TensorEntryJson short_scalar{"fp32", {}, 0, 3};
  const TensorEntryJson int8{"int8", {}, 0, 1};
  EXPECT_EQ(build_error(manifest_of({{"b", int8}, {"a", scalar}}), 8),
            R"(FormatBadDtype { name: "b", dtype: "int8" })");
  EXPECT_EQ(build_error(manifest_of({{"b", int8}, {"a", short_scalar}}), 8),
            R"(FormatTensorSizeMismatch { name: "a", declared: 3, computed: 4 })");
  // Upper case sorts before lower case, a prefix before its extensions, and UTF-8 lead
  // bytes (0xC3 for é) after every ASCII byte: bytes compare unsigned.
  EXPECT_EQ(build_error(manifest_of({{"a", int8}, {"B", short_scalar}}), 8),
            R"(FormatTensorSizeMismatch { name: "B", declared: 3, computed: 4 })");
  EXPECT_EQ(build_error(manifest_of({{"a.b", int8}, {"a", short_scalar}}), 8),
            R"(FormatTensorSizeMismatch { name: "a", declared: 3, computed: 4 })");
  EXPECT_EQ(build_error(manifest_of({{"\xC3\xA9", int8}, {"z", short_scalar}}), 8),
            R"(FormatTensorSizeMismatch { name: "z", declared: 3, computed: 4 })");
  EXPECT_EQ(build_error(manifest_of({{"\x7F", int8}, {"", short_scalar}}), 8),
            R"(FormatTensorSizeMismatch { name: "", declared: 3, computed: 4 })");
}

TEST(BuildTensorMap, OverlappingCopiesAreBudgeted) {
  // Every entry may address the whole region, so without a limit a manifest of n entries
  // would make loading copy n times the tensor data.
  constexpr std::size_t DATA = 4096;
  const std::uint64_t budget = 2 * DATA + (1u << 20);
  const std::size_t fitting = budget / DATA;  // 258 whole copies fit
  std::vector<std::pair<std::string, TensorEntryJson>> entries;
  for (std::size_t i = 0; i < fitting; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "t%05zu", i);
    entries.push_back({name, {"fp32", {DATA / 4}, 0, DATA}});
  }
  EXPECT_EQ(build_error(manifest_of(entries), DATA), "<built>");
  entries.push_back({"t99999", {"fp16", {2}, 0, 4}});
  EXPECT_EQ(build_error(manifest_of(entries), DATA),
            "FormatJson(\"tensor \\\"t99999\\\" would bring the copied tensor bytes to 1056772, "
            "over the limit of 1056768 (twice the tensor data plus 1 MiB)\")");
}

}  // namespace
}  // namespace quelt::format
