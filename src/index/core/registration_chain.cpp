#include "index/core/registration_chain.h"

#include <algorithm>
#include <vector>

namespace veldrake {
namespace {

thread_local std::vector<uint32_t> g_chain;

}  // namespace

RegistrationChain::RegistrationChain(uint32_t id) {
  g_chain.push_back(id);
}

RegistrationChain::~RegistrationChain() {
  g_chain.pop_back();
}

bool RegistrationChain::contains(uint32_t id) {
  return std::find(g_chain.begin(), g_chain.end(), id) != g_chain.end();
}

}  // namespace veldrake
