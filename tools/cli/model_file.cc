// File: tools/cli/model_file.cc
//
// Model loading for the CLI over engine::create_session.

#include "model_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>

#include "engine/load.h"

namespace quelt::cli {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::optional<std::string> default_model_path() {
  std::vector<std::string> candidates;
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    candidates.push_back(
        (self.parent_path() / QUELT_CLI_INSTALLED_MODEL_FROM_BINDIR).lexically_normal());
  }
  candidates.emplace_back(QUELT_CLI_SOURCE_TREE_MODEL);
  for (const std::string& candidate : candidates) {
    if (std::filesystem::is_regular_file(candidate, error)) return candidate;
  }
  return std::nullopt;
}

Result<std::vector<std::uint8_t>, std::string> read_model_file(const std::string& path) {
  const auto cannot = [&path](int error) {
    return Unexpected{"cannot open " + path + ": " + std::strerror(error)};
  };
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return cannot(errno);
  std::vector<std::uint8_t> bytes;
  std::uint8_t block[1 << 16];
  while (true) {
    const std::size_t got = std::fread(block, 1, sizeof block, file.get());
    bytes.insert(bytes.end(), block, block + got);
    if (got < sizeof block) break;
  }
  // A directory opens but does not read (EISDIR).
  if (std::ferror(file.get())) return cannot(errno != 0 ? errno : EIO);
  return bytes;
}

Result<engine::Session, std::string> load_session(const std::string& path) {
  auto bytes = read_model_file(path);
  if (!bytes) return Unexpected{std::move(bytes).error()};
  auto session = engine::create_session(std::span<const std::uint8_t>(bytes.value()));
  if (session) return std::move(session).value();
  return Unexpected{path + ": " + engine::describe(session.error())};
}

}  // namespace quelt::cli
