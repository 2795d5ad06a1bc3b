// File: tools/cli/model_file.cc
//
// Model loading for the CLI over read_whole_file and engine::create_session.

#include "model_file.h"

#include <cstring>
#include <filesystem>
#include <span>

#include "common/file_reader.h"
#include "engine/load.h"

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

Result<engine::Session, std::string> load_session(const std::string& path) {
  auto bytes = read_model_file(path);
  if (!bytes) return Unexpected{std::move(bytes).error()};
  auto session = engine::create_session(std::span<const std::uint8_t>(bytes.value()));
  if (session) return std::move(session).value();
  return Unexpected{path + ": " + engine::describe(session.error())};
}

}  // namespace quelt::cli
