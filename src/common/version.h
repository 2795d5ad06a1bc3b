// File: common/version.h
//
// Versions the library reports. The C library and the Python module version separately.
#pragma once

#include <cstdint>

namespace quelt {
inline constexpr std::uint32_t C_ABI_VERSION = 0x00010000;
inline constexpr const char* C_LIBRARY_VERSION = "0.1.0";
inline constexpr const char* PYTHON_MODULE_VERSION = "0.1.5";
}  // namespace quelt
