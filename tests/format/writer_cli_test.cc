// Tests of the qelt-write command line, the path the model export and the C and Python
// suites take: both input forms, loaded back by the reader. Host only (the tool is run
// as a child process, which the emulated AArch64 tests cannot do).
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "artefact_writer.h"
#include "common/file_reader.h"
#include "format/artefact.h"
#include "format/errors.h"

namespace quelt::format {
namespace {

namespace fs = std::filesystem;

class QeltWrite : public ::testing::Test {
 protected:
  QeltWrite() : dir_(fs::temp_directory_path() / ("qww_cli_" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
  }
  ~QeltWrite() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  void put(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  void put(const std::string& name, const std::string& text) const {
    std::ofstream(path(name)) << text;
  }
  std::vector<std::uint8_t> get(const std::string& name) const {
    auto bytes = read_whole_file(path(name).c_str());
    EXPECT_TRUE(bytes.has_value()) << name;
    return bytes.has_value() ? std::move(bytes).value() : std::vector<std::uint8_t>{};
  }
  // Exit status of qelt-write with the given arguments (stderr kept for the log).
  int run(const std::string& args) const {
    const int status = std::system((std::string(QWW_QELT_WRITE) + " " + args).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  fs::path dir_;
};

TEST_F(QeltWrite, TensorListWithDataFileAndPerTensorFile) {
  const std::vector<float> w = {1.0f, -2.5f, 3.0f, 0.125f, 6.0f, -7.0f};
  const std::vector<float> b = {0.5f, 65504.0f};
  std::vector<std::uint8_t> data = writer::fp16_bytes(b);  // offset 0: fp16, 4 bytes
  const std::vector<std::uint8_t> w_bytes = writer::fp32_bytes(w);
  data.insert(data.end(), w_bytes.begin(), w_bytes.end());  // offset 4: fp32, 24 bytes
  put("weights.bin", data);
  put("scalar.bin", writer::fp32_bytes(std::vector<float>{42.0f}));
  put("tensors.json", R"({
    "model_type": "wake_word", "config": {"note": [1, 2]}, "data": "weights.bin",
    "tensors": [
      {"name": "blocks.0.w", "dtype": "fp32", "shape": [2, 3], "offset": 4, "nbytes": 24},
      {"name": "head.bias", "dtype": "fp16", "shape": [2], "offset": 0, "nbytes": 4},
      {"name": "scale", "dtype": "fp32", "shape": [], "file": "scalar.bin"}
    ]})");
  ASSERT_EQ(run("--tensors " + path("tensors.json") + " -o " + path("out.qelt")), 0);
  const auto result = deserialize_artefact(get("out.qelt"));
  ASSERT_TRUE(result.has_value()) << render(result.error());
  const ModelArtefact& a = result.value();
  EXPECT_EQ(a.config, R"({"note":[1,2]})");  // as the tool writes it out again
  EXPECT_EQ(a.tensors.at("blocks.0.w").data, w_bytes);
  EXPECT_EQ(a.tensors.at("blocks.0.w").shape, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(a.tensors.at("head.bias").dtype, TensorDtype::Fp16);
  EXPECT_EQ(a.tensors.at("head.bias").data, writer::fp16_bytes(b));
  EXPECT_EQ(a.tensors.at("scale").data, writer::fp32_bytes(std::vector<float>{42.0f}));

  // Random salt and nonce by default; fixed ones give identical files.
  ASSERT_EQ(run("--tensors " + path("tensors.json") + " -o " + path("again.qelt")), 0);
  EXPECT_NE(get("out.qelt"), get("again.qelt"));
  const std::string fixed =
      " --salt 000102030405060708090a0b0c0d0e0f --nonce 0102030405060708090a0b0c";
  ASSERT_EQ(run("--tensors " + path("tensors.json") + fixed + " -o " + path("f1.qelt")), 0);
  ASSERT_EQ(run("--tensors " + path("tensors.json") + fixed + " -o " + path("f2.qelt")), 0);
  EXPECT_EQ(get("f1.qelt"), get("f2.qelt"));
}

TEST_F(QeltWrite, VerbatimManifestAndDataRegion) {
  put("m.json", R"({"format_version":2,"model_type":"m","config":null,)"
                R"("tensors":{"t":{"dtype":"fp16","shape":[1],"offset":1,"nbytes":2}}})");
  put("d.bin", std::vector<std::uint8_t>{9, 0x00, 0x3C});
  ASSERT_EQ(
      run("--manifest " + path("m.json") + " --data " + path("d.bin") + " -o " + path("m.qelt")),
      0);
  const auto result = deserialize_artefact(get("m.qelt"));
  ASSERT_TRUE(result.has_value()) << render(result.error());
  EXPECT_EQ(result.value().tensors.at("t").data, (std::vector<std::uint8_t>{0x00, 0x3C}));

  // A broken manifest is written as it is; the reader reports it.
  put("bad.json", R"({"format_version":3,"model_type":"m","config":0,"tensors":{}})");
  ASSERT_EQ(run("--manifest " + path("bad.json") + " -o " + path("bad.qelt")), 0);
  const auto bad = deserialize_artefact(get("bad.qelt"));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(render(bad.error()), "FormatUnsupportedMajor { found: 3, expected: 2 }");
}

TEST_F(QeltWrite, KeyOptionAndErrors) {
  put("m.json", R"({"format_version":2,"model_type":"","config":{},"tensors":{}})");
  put("other.key", "ikm = " + std::string(64, '1') + "\ninfo = " + std::string(32, '2') + "\n");
  ASSERT_EQ(
      run("--key " + path("other.key") + " --manifest " + path("m.json") + " -o " + path("k.qelt")),
      0);
  const auto foreign = deserialize_artefact(get("k.qelt"));
  ASSERT_FALSE(foreign.has_value());
  EXPECT_EQ(render(foreign.error()), "DecryptFailed");

  EXPECT_EQ(run("--manifest " + path("m.json") + " 2>/dev/null"), 2);  // no -o
  EXPECT_EQ(run("--bogus x -o " + path("x.qelt") + " 2>/dev/null"), 2);
  EXPECT_EQ(
      run("--manifest " + path("m.json") + " --salt 00 -o " + path("x.qelt") + " 2>/dev/null"), 2);
  EXPECT_EQ(run("--manifest " + path("missing.json") + " -o " + path("x.qelt") + " 2>/dev/null"),
            1);
  put("beyond.json", R"({"data": "d.bin", "tensors": [{"name": "t", "dtype": "fp32",
      "shape": [1], "offset": 2, "nbytes": 4}]})");
  put("d.bin", std::vector<std::uint8_t>{1, 2, 3});
  EXPECT_EQ(run("--tensors " + path("beyond.json") + " -o " + path("x.qelt") + " 2>/dev/null"), 1);
}

}  // namespace
}  // namespace quelt::format
