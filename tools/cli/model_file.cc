// File: tools/cli/model_file.cc
//
// Model loading for the CLI over read_whole_file, engine::create_session and, for the
// config, format::deserialize_artefact.

#include "model_file.h"

#include <cstring>
#include <filesystem>
#include <span>

#include "common/file_reader.h"
#include "engine/load.h"
#include "engine/load_error.h"
#include "format/artefact.h"

namespace quelt::cli {

std::optional<std::string> default_model_path() {
  std::vector<std::string> candidates;
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    candidates.push_back(
        (self.parent_path() / QWW_CLI_INSTALLED_MODEL_FROM_BINDIR).lexically_normal());
  }
  candidates.emplace_back(QWW_CLI_SOURCE_TREE_MODEL);
  for (const std::string& candidate : candidates) {
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

Result<std::vector<std::uint8_t>, std::string> read_model_file(const std::string& path) {
  auto bytes = read_whole_file(path.c_str());
  if (!bytes)
    return Unexpected{"cannot open " + path + ": " + std::strerror(bytes.error().error_number)};
  return std::move(bytes).value();
}

Result<LoadedModel, std::string> load_model(const std::string& path) {
  auto bytes = read_model_file(path);
  if (!bytes) return Unexpected{std::move(bytes).error()};
  const std::span<const std::uint8_t> file(bytes.value());
  auto session = engine::create_session(file);
  if (!session) return Unexpected{path + ": " + engine::describe(session.error())};
  // The session keeps no config, so the artefact is read a second time for it: a few
  // milliseconds once per model, and the session is made exactly as the bindings make it.
  auto artefact = format::deserialize_artefact(file);
  if (!artefact) {
    const engine::LoadError error{engine::LoadError::Stage::Deserialize, artefact.error()};
    return Unexpected{path + ": " + engine::describe(error)};
  }
  return LoadedModel{std::move(session).value(), std::move(artefact).value().config};
}

}  // namespace quelt::cli
