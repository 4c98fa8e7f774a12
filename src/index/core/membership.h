// An object's list of the indexes that hold it (ObjectState::memberships): attribute writes
// update exactly these. Each live index appears once, in ascending address order; entries of
// destroyed indexes are dropped whenever the list changes. Callers hold the object's lock.
#pragma once

#include <memory>
#include <vector>

#include "index/core/indexable_record.h"

namespace veldrake {

void register_membership(ObjectState& state, const std::shared_ptr<IndexAPI>& index);
void unregister_membership(ObjectState& state, const IndexAPI& index);
// Strong references to the live indexes, in list order.
std::vector<std::shared_ptr<IndexAPI>> live_memberships(const ObjectState& state);

}  // namespace veldrake
