// File: tools/cli/wake_word.cc

#include "wake_word.h"

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

namespace quelt::cli {

namespace {

std::string without_control_characters(std::string text) {
  // Bytes of multi-byte UTF-8 sequences are all >= 0x80, so they are left alone.
  std::replace_if(
      text.begin(), text.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7f'; }, ' ');
  return text;
}

std::string file_stem(const std::string& model_path) {
  std::string name = std::filesystem::path(model_path).filename().string();
  constexpr std::string_view suffix = ".qelt";
  if (name.size() > suffix.size() && name.ends_with(suffix)) {
    name.resize(name.size() - suffix.size());
  }
  return name;
}

}  // namespace

std::string wake_word_of(std::string_view config_json, const std::string& model_path) {
  // The reader has checked the text; a parse failure would still only mean "no word".
  const nlohmann::json config = nlohmann::json::parse(config_json, nullptr, false);
  if (config.is_object()) {
    const auto word = config.find("wake_word");
    if (word != config.end() && word->is_string() && !word->get_ref<const std::string&>().empty()) {
      return without_control_characters(word->get<std::string>());
    }
  }
  return without_control_characters(file_stem(model_path));
}

std::vector<std::string> model_labels(const std::vector<std::string>& wake_words,
                                      const std::vector<std::string>& model_paths) {
  std::vector<std::string> labels;
  labels.reserve(wake_words.size());
  for (std::size_t i = 0; i < wake_words.size(); ++i) {
    const auto shared = std::count(wake_words.begin(), wake_words.end(), wake_words[i]) > 1;
    labels.push_back(shared
                         ? wake_words[i] + " (" + without_control_characters(model_paths[i]) + ")"
                         : wake_words[i]);
  }
  return labels;
}

}  // namespace quelt::cli
