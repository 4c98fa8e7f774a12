// The objects whose attributes this thread is indexing right now, outermost first.
//
// Registering a nested object indexes its attributes, which may hold further objects; an object
// met again on that way down is indexed as a value only, so registration ends for every graph of
// objects holding each other.
#pragma once

#include <cstdint>

namespace veldrake {

class RegistrationChain {
 public:
  // Enters `id` for the scope.
  explicit RegistrationChain(uint32_t id);
  ~RegistrationChain();
  RegistrationChain(const RegistrationChain&) = delete;
  RegistrationChain& operator=(const RegistrationChain&) = delete;

  static bool contains(uint32_t id);
};

}  // namespace veldrake
