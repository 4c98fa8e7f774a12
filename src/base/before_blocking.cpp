#include "base/before_blocking.h"

#include <utility>

#include "base/hot_thread_local.h"

namespace veldrake {
namespace {

VELDRAKE_HOT_THREAD_LOCAL BeforeBlocking* t_innermost = nullptr;

}  // namespace

BeforeBlocking::BeforeBlocking(Action action, void* context)
    : action_(action), context_(context), outer_(std::exchange(t_innermost, this)) {}

BeforeBlocking::~BeforeBlocking() {
  t_innermost = outer_;
}

void BeforeBlocking::now() {
  BeforeBlocking* scope = t_innermost;
  if (!scope || !scope->action_) return;
  // Cleared first: the action may itself block.
  const Action action = std::exchange(scope->action_, nullptr);
  action(scope->context_);
}

}  // namespace veldrake
