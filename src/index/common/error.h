// Internal errors of the index core.
//
// A broken invariant or a failed internal operation throws `InternalError`
// carrying its message. The binding layer turns it into the Python exception
// `Calderwick.InternalError` at every entry point; no C++ exception ever
// reaches CPython.
#pragma once

#include <stdexcept>
#include <string>

namespace calderwick {

class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void internal_error(const std::string& message) { throw InternalError(message); }

// Bounds-checked element access for the fixed arrays of the core: an index
// outside the array is an internal error, never undefined behaviour.
template <typename Container>
decltype(auto) checked_at(Container& c, size_t i) {
  if (i >= std::size(c)) {
    internal_error("index out of range: the index is " + std::to_string(i) + " but the length is " +
                   std::to_string(std::size(c)));
  }
  return c[i];
}

}  // namespace calderwick
