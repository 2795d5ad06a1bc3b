// File: tools/cli/wake_word.h
//
// The name under which a model's detections are reported. The engine keeps an artefact's
// config as JSON text and never reads it; the tool takes the word the model was trained
// for from its "wake_word" field, so that several models can listen side by side and each
// line says which word was heard.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quelt::cli {

// The config's "wake_word" when the config is an object whose "wake_word" is a non-empty
// string, else the model file's name without its directory and without ".qelt". Control
// characters (tabs, line breaks) become spaces, so that the name never splits a line.
std::string wake_word_of(std::string_view config_json, const std::string& model_path);

// One label per model, in order: its wake word, or "word (path)" for every model whose
// word another model on the command line shares, so that their lines stay apart.
std::vector<std::string> model_labels(const std::vector<std::string>& wake_words,
                                      const std::vector<std::string>& model_paths);

}  // namespace quelt::cli
