// File: python/file_reader.h
//
// Reading a model file whole for WakeWordEngine.from_path: open, read to the end, close.
// Nothing stays open after the call, whatever the outcome.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"

namespace quelt::python {

// The file's bytes, or the errno of the call that failed.
Result<std::vector<std::uint8_t>, int> read_whole_file(const char* path);

// The C library's description of an errno followed by " (os error N)", e.g.
// "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

}  // namespace quelt::python
