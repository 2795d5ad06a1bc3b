// File: python/borrow.h
//
// The borrow counter that guards a WakeWordEngine's session. Every member runs with the
// interpreter lock held, yet Python code can still run in the middle of a call (an
// element's __index__ or __float__ during a push), and that code may reach the same engine,
// possibly from another thread that got the lock meanwhile. The counter turns such
// re-entry into a RuntimeError instead of a session mutated halfway through a push.
//
// The state is 0 when free, n > 0 while n shared borrows are held, -1 while the one
// exclusive borrow is held. No atomics: the interpreter lock serialises every access.
#pragma once

#include <cstdint>

#include "python/py.h"

namespace quelt::python {

class BorrowFlag {
 public:
  std::int64_t state = 0;
};

// Takes a borrow for the lifetime of the guard. When the borrow is refused the guard
// holds nothing, a RuntimeError is set and held() is false.
class Borrow {
 public:
  enum class Kind { SHARED, EXCLUSIVE };

  Borrow(BorrowFlag& flag, Kind kind) : flag_(flag), kind_(kind) {
    if (kind == Kind::EXCLUSIVE) {
      if (flag.state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      flag.state = -1;
    } else {
      if (flag.state < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++flag.state;
    }
    held_ = true;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (!held_) return;
    if (kind_ == Kind::EXCLUSIVE) {
      flag_.state = 0;
    } else {
      --flag_.state;
    }
  }

  bool held() const { return held_; }

 private:
  BorrowFlag& flag_;
  Kind kind_;
  bool held_ = false;
};

}  // namespace quelt::python
