// File: common/result.h
//
// Result<T, E>: the value of a fallible operation or the error that stopped it. Errors are
// plain values inside the library; only the bindings turn them into status codes or
// exceptions. The surface follows std::expected (has_value, value, error) so that the
// class can be swapped for it once the toolchain has C++23.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace quelt {

// Wraps an error so that Result<T, E> can be built from it even when T and E convert
// into each other.
template <typename E>
struct Unexpected {
  E error;
};
template <typename E>
Unexpected(E) -> Unexpected<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  Result(Unexpected<E> error)                                            // NOLINT: implicit
      : state_(std::in_place_index<1>, std::move(error.error)) {}
  template <typename G>
    requires std::is_constructible_v<E, G&&>
  Result(Unexpected<G> error)  // NOLINT: implicit
      : state_(std::in_place_index<1>, E(std::move(error.error))) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  const T& value() const& {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  T&& value() && {
    assert(has_value());
    return std::move(*std::get_if<0>(&state_));
  }
  E& error() & {
    assert(!has_value());
    return *std::get_if<1>(&state_);
  }
  const E& error() const& {
    assert(!has_value());
    return *std::get_if<1>(&state_);
  }
  E&& error() && {
    assert(!has_value());
    return std::move(*std::get_if<1>(&state_));
  }

 private:
  std::variant<T, E> state_;
};

}  // namespace quelt

// Evaluates `expr` (a Result); on error returns that error from the enclosing function,
// otherwise declares `lhs` initialised with the moved value.
#define QWW_CONCAT_INNER_(a, b) a##b
#define QWW_CONCAT_(a, b) QWW_CONCAT_INNER_(a, b)
#define QWW_TRY_IMPL_(tmp, lhs, expr)                         \
  auto tmp = (expr);                                          \
  if (!tmp.has_value()) {                                     \
    return ::quelt::Unexpected{std::move(tmp).error()};       \
  }                                                           \
  lhs = std::move(tmp).value()
#define QWW_TRY(lhs, expr) QWW_TRY_IMPL_(QWW_CONCAT_(qww_try_, __LINE__), lhs, expr)
