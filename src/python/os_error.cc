// File: python/os_error.cc
//
// os_error_text over GNU strerror_r, which is thread-safe where strerror is not.

#include "python/os_error.h"

#include <cstring>
#include <string>

namespace quelt::python {

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r: returns the message, which may or may not live in `buffer`.
  const char* description = ::strerror_r(error_number, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace quelt::python
