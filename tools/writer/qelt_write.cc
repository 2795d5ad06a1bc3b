// File: tools/writer/qelt_write.cc
//
// qelt-write: the command-line front of the artefact writer, for the model export and the
// C and Python test suites. Two input forms (see tools/writer/README.md):
//   qelt-write [--key FILE] --manifest MANIFEST.json [--data TENSORS.bin] -o OUT.qelt
//   qelt-write [--key FILE] --tensors TENSORS.json -o OUT.qelt
// The salt and nonce are random unless given (--salt, --nonce) for reproducible output.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <openssl/rand.h>

#include "artefact_writer.h"
#include "common/file_reader.h"

namespace {

namespace fs = std::filesystem;
using quelt::writer::Tensor;

constexpr const char* USAGE =
    "usage: qelt-write [--key FILE] --manifest MANIFEST.json [--data TENSORS.bin] -o OUT.qelt\n"
    "       qelt-write [--key FILE] --tensors TENSORS.json -o OUT.qelt\n"
    "options: --salt HEX32  --nonce HEX24  (default: random)\n"
    "The default key is the one this build's library was made with.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::vector<std::uint8_t> read_file(const fs::path& path) {
  auto bytes = quelt::read_whole_file(path.c_str());
  if (!bytes) {
    const bool opened = bytes.error().step == quelt::FileError::Step::Read;
    throw std::runtime_error(path.string() + (opened ? ": read error" : ": cannot open"));
  }
  return std::move(bytes).value();
}

std::uint64_t get_u64(const nlohmann::json& value, const std::string& what) {
  if (!value.is_number_unsigned()) {
    throw std::runtime_error(what + " must be a non-negative integer");
  }
  return value.get<std::uint64_t>();
}

// Element size of the two dtypes the reader knows, 0 for anything else.
std::uint64_t element_size(const std::string& dtype) {
  return dtype == "fp32" ? 4 : dtype == "fp16" ? 2 : 0;
}

std::vector<std::uint8_t> plaintext_from_tensor_list(const fs::path& list_path) {
  nlohmann::json doc;
  {
    std::ifstream in(list_path);
    if (!in) throw std::runtime_error(list_path.string() + ": cannot open");
    try {
      doc = nlohmann::json::parse(in);
    } catch (const nlohmann::json::exception& e) {
      throw std::runtime_error(list_path.string() + ": " + e.what());
    }
  }
  if (!doc.is_object() || !doc.contains("tensors") || !doc["tensors"].is_array()) {
    throw std::runtime_error(list_path.string() + ": expected an object with a \"tensors\" list");
  }
  const fs::path dir = list_path.parent_path();
  std::string model_type = "wake_word";
  if (doc.contains("model_type")) model_type = doc["model_type"].get<std::string>();
  const std::string config = doc.contains("config") ? doc["config"].dump() : "{}";
  std::optional<std::vector<std::uint8_t>> data;
  if (doc.contains("data")) data = read_file(dir / doc["data"].get<std::string>());

  std::vector<Tensor> tensors;
  for (const nlohmann::json& entry : doc["tensors"]) {
    const std::string where = "tensor " + std::to_string(tensors.size());
    if (!entry.is_object() || !entry.contains("name") || !entry.contains("dtype") ||
        !entry.contains("shape") || !entry["shape"].is_array()) {
      throw std::runtime_error(where + ": needs \"name\", \"dtype\" and a \"shape\" list");
    }
    Tensor t;
    t.name = entry["name"].get<std::string>();
    t.dtype = entry["dtype"].get<std::string>();
    for (const nlohmann::json& dim : entry["shape"]) t.shape.push_back(get_u64(dim, where));
    if (entry.contains("file")) {
      t.bytes = read_file(dir / entry["file"].get<std::string>());
    } else if (entry.contains("offset") && entry.contains("nbytes")) {
      if (!data) throw std::runtime_error(where + ": offset given but no \"data\" file");
      const std::uint64_t offset = get_u64(entry["offset"], where + " offset");
      const std::uint64_t nbytes = get_u64(entry["nbytes"], where + " nbytes");
      if (offset > data->size() || nbytes > data->size() - offset) {
        throw std::runtime_error(where + " (" + t.name + "): bytes beyond the data file");
      }
      t.bytes.assign(data->begin() + static_cast<std::ptrdiff_t>(offset),
                     data->begin() + static_cast<std::ptrdiff_t>(offset + nbytes));
    } else {
      throw std::runtime_error(where + " (" + t.name +
                               "): needs \"file\" or \"offset\"+\"nbytes\"");
    }
    // Broken tensors are allowed on purpose (tests make them), but say so.
    if (const std::uint64_t size = element_size(t.dtype); size != 0) {
      std::uint64_t count = 1;
      for (const std::uint64_t dim : t.shape) count *= dim;
      if (count * size != t.bytes.size()) {
        std::fprintf(stderr, "qelt-write: warning: %s: %zu bytes for %llu %s elements\n",
                     t.name.c_str(), t.bytes.size(), static_cast<unsigned long long>(count),
                     t.dtype.c_str());
      }
    }
    tensors.push_back(std::move(t));
  }
  return quelt::writer::make_plaintext(tensors, model_type, config);
}

template <std::size_t N>
void parse_hex_option(const std::string& text, std::array<std::uint8_t, N>& out, const char* name) {
  if (!quelt::writer::decode_hex(text, out)) {
    throw UsageError(std::string(name) + " needs " + std::to_string(2 * N) + " hex digits");
  }
}

int run(int argc, char** argv) {
  std::optional<std::string> key_path, manifest_path, data_path, tensors_path, out_path;
  std::optional<std::string> salt_hex, nonce_hex;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (i + 1 >= argc) throw UsageError(arg + " needs a value (or is unknown)");
    const std::string value = argv[++i];
    if (arg == "--key") {
      key_path = value;
    } else if (arg == "--manifest") {
      manifest_path = value;
    } else if (arg == "--data") {
      data_path = value;
    } else if (arg == "--tensors") {
      tensors_path = value;
    } else if (arg == "-o" || arg == "--output") {
      out_path = value;
    } else if (arg == "--salt") {
      salt_hex = value;
    } else if (arg == "--nonce") {
      nonce_hex = value;
    } else {
      throw UsageError("unknown option " + arg);
    }
  }
  if (!out_path) throw UsageError("-o OUT.qelt is required");
  if (manifest_path.has_value() == tensors_path.has_value()) {
    throw UsageError("give exactly one of --manifest and --tensors");
  }
  if (tensors_path && data_path) throw UsageError("--data goes with --manifest");

  quelt::writer::Key key = quelt::writer::configured_key();
  if (key_path) {
    auto read = quelt::writer::read_key_file(*key_path);
    if (!read) throw std::runtime_error(read.error());
    key = read.value();
  }

  quelt::writer::SealOptions options;
  if (RAND_bytes(options.salt.data(), static_cast<int>(options.salt.size())) != 1 ||
      RAND_bytes(options.nonce.data(), static_cast<int>(options.nonce.size())) != 1) {
    throw std::runtime_error("no random bytes for salt and nonce");
  }
  if (salt_hex) parse_hex_option(*salt_hex, options.salt, "--salt");
  if (nonce_hex) parse_hex_option(*nonce_hex, options.nonce, "--nonce");

  std::vector<std::uint8_t> plaintext;
  if (manifest_path) {
    const std::vector<std::uint8_t> manifest = read_file(*manifest_path);
    const std::vector<std::uint8_t> data =
        data_path ? read_file(*data_path) : std::vector<std::uint8_t>{};
    plaintext = quelt::writer::make_plaintext_raw(
        std::string_view(reinterpret_cast<const char*>(manifest.data()), manifest.size()), data);
  } else {
    plaintext = plaintext_from_tensor_list(*tensors_path);
  }

  const std::vector<std::uint8_t> file = quelt::writer::seal(key, plaintext, options);
  std::ofstream out(*out_path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  out.close();
  if (!out) throw std::runtime_error(*out_path + ": write failed");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "qelt-write: %s\n%s", e.what(), USAGE);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qelt-write: %s\n", e.what());
    return 1;
  }
}
