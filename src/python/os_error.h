// File: python/os_error.h
//
// The wording of a system error in the module's messages, as from_path shows it.
#pragma once

#include <string>

namespace quelt::python {

// The C library's description of an errno followed by " (os error N)", e.g.
// "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

}  // namespace quelt::python
