// File: common/file_reader.h
//
// Reading a file whole, for everything that loads a model or a test file from disk: the
// Python module's from_path, the command-line tool, qelt-write and the tests. Nothing
// stays open after the call, whatever the outcome.
#pragma once

#include <cstdint>
#include <vector>

#include "common/result.h"

namespace quelt {

// Why a file could not be read: the errno of the call that failed, and which call it was
// (a directory opens, and fails at the first read with EISDIR).
struct FileError {
  enum class Step : std::uint8_t { Open, Read };
  Step step;
  int error_number;
};

// The file's bytes, however large, also from files that grow while being read and from
// those whose size the kernel does not know (pipes, /proc).
Result<std::vector<std::uint8_t>, FileError> read_whole_file(const char* path);

}  // namespace quelt
