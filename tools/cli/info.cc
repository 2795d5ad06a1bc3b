// File: tools/cli/info.cc

#include "info.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/load_error.h"
#include "format/artefact.h"
#include "format/errors.h"
#include "format/header.h"
#include "model_file.h"
#include "nn/model.h"
#include "options.h"
#include "wake_word.h"

namespace quelt::cli {

namespace {

const char* dtype_name(format::TensorDtype dtype) {
  return dtype == format::TensorDtype::Fp32 ? "fp32" : "fp16";
}

std::uint64_t element_size(format::TensorDtype dtype) {
  return dtype == format::TensorDtype::Fp32 ? 4 : 2;
}

}  // namespace

int run_info(const std::string& path) {
  auto bytes = read_model_file(path);
  if (!bytes) {
    std::fprintf(stderr, "quelt-wake-word: %s\n", bytes.error().c_str());
    return EXIT_MODEL;
  }
  const std::span<const std::uint8_t> file(bytes.value());
  auto artefact = format::deserialize_artefact(file);
  if (!artefact) {
    const engine::LoadError error{engine::LoadError::Stage::Deserialize, artefact.error()};
    std::fprintf(stderr, "quelt-wake-word: %s: %s\n", path.c_str(),
                 engine::describe(error).c_str());
    return EXIT_MODEL;
  }
  const format::ModelArtefact& model = artefact.value();

  std::map<std::string, std::uint64_t> per_dtype;
  std::uint64_t parameters = 0;
  for (const auto& [name, tensor] : model.tensors) {
    ++per_dtype[dtype_name(tensor.dtype)];
    // The reader has checked that the bytes match the shape.
    parameters += tensor.data.size() / element_size(tensor.dtype);
  }
  std::string dtypes;
  for (const auto& [dtype, count] : per_dtype) {
    if (!dtypes.empty()) dtypes += ", ";
    dtypes += dtype + " (" + std::to_string(count) + ")";
  }

  // A readable artefact starts with its whole header.
  const format::Header header = format::decode_header(file.first<format::HEADER_LEN>());
  std::printf("file:            %s (%zu bytes)\n", path.c_str(), file.size());
  std::printf("format version:  %u.%u\n", unsigned{header.version_major},
              unsigned{header.version_minor});
  std::printf("model type:      %s\n", model.model_type.c_str());
  std::printf("wake word:       %s\n", wake_word_of(model.config, path).c_str());
  // The reader has checked the text, so the parser accepts it.
  const nlohmann::json config = nlohmann::json::parse(model.config);
  if (!config.is_null() && !(config.is_object() && config.empty())) {
    std::printf("config:          %s\n",
                config.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  }
  std::printf("tensors:         %zu\n", model.tensors.size());
  std::printf("dtypes:          %s\n", dtypes.empty() ? "none" : dtypes.c_str());
  std::printf("parameters:      %llu\n", static_cast<unsigned long long>(parameters));

  auto built = nn::build_model(model.tensors);
  if (!built) {
    std::printf("engine:          cannot be built: %s\n", format::render(built.error()).c_str());
    return EXIT_MODEL;
  }
  std::printf("engine:          builds (%zu tensors of %zu used)\n", nn::N_TENSORS,
              model.tensors.size());
  return EXIT_OK;
}

}  // namespace quelt::cli
