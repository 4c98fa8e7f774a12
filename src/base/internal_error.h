// The failure of an internal check. Thrown anywhere in the engine, caught at the boundary of every
// Python-visible call and raised there as ext_runtime.PanicException with the same text.
#pragma once

#include <stdexcept>
#include <string>

namespace veldrake {

class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Stops the current call with an internal error carrying `message`.
[[noreturn]] inline void internal_error(const std::string& message) {
  throw InternalError(message);
}

// Checks an invariant; on failure stops the call with `message`.
inline void check(bool condition, const char* message) {
  if (!condition) internal_error(message);
}

}  // namespace veldrake
