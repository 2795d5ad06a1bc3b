// File: tests/common/file_reader_test.cc
//
// read_whole_file on files whose size fstat gives (empty, one byte past the first guess,
// several read chunks), on files it does not (a /proc file), and its two failing calls.
#include "common/file_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quelt {
namespace {

namespace fs = std::filesystem;

TEST(ReadWholeFile, ReadsEveryByte) {
  const fs::path dir = fs::temp_directory_path() / ("qww_file_reader_" + std::to_string(getpid()));
  fs::create_directories(dir);
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65536},
                                 std::size_t{65537}, std::size_t{300001}}) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + size);
    const fs::path path = dir / ("f" + std::to_string(size));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
    const auto read = read_whole_file(path.c_str());
    ASSERT_TRUE(read.has_value()) << size;
    EXPECT_EQ(read.value(), bytes) << size;
  }
  fs::remove_all(dir);
}

TEST(ReadWholeFile, ReadsPastASizeOfZero) {
  // /proc files report a size of 0 and still have contents.
  const auto read = read_whole_file("/proc/self/status");
  ASSERT_TRUE(read.has_value());
  const std::string text(read.value().begin(), read.value().end());
  EXPECT_EQ(text.rfind("Name:", 0), 0u);
  EXPECT_EQ(text.back(), '\n');
}

TEST(ReadWholeFile, NamesTheCallThatFailed) {
  const auto missing = read_whole_file("/nonexistent/model.qelt");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().step, FileError::Step::Open);
  EXPECT_EQ(missing.error().error_number, ENOENT);
  // A directory opens, and its first read fails.
  const auto directory = read_whole_file("/");
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().step, FileError::Step::Read);
  EXPECT_EQ(directory.error().error_number, EISDIR);
}

}  // namespace
}  // namespace quelt
