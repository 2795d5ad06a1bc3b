// File: common/check.h
//
// QWW_CHECK stops the process on a broken internal invariant (a size that construction
// fixed, say). These are programming errors, not input conditions: no binding can reach
// them with the configuration it passes, so they are not error values. Unlike assert they
// stay in release builds, because continuing past one would read or write out of bounds.
// The library never prints, so the message is kept where a debugger or core dump shows it.
#pragma once

#include <cstdlib>

namespace quelt::detail {
[[noreturn]] inline void check_failed(const char* message) noexcept {
  // Visible in a core dump or a debugger's frame view.
  [[maybe_unused]] volatile const char* const reason = message;
  std::abort();
}
}  // namespace quelt::detail

#define QWW_CHECK(cond, message)                                         \
  do {                                                                   \
    if (!(cond)) [[unlikely]] ::quelt::detail::check_failed(message);    \
  } while (false)
