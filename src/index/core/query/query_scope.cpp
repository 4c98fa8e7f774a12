#include "index/core/query/query_scope.h"

#include <algorithm>

namespace veldrake {
namespace {

thread_local QueryScope* t_query = nullptr;

}  // namespace

QueryScope::QueryScope() : outermost_(t_query == nullptr) {
  if (outermost_) t_query = this;
}

QueryScope::~QueryScope() {
  if (!outermost_) return;
  for (const auto& [map, phase] : entered_) map->readers().leave(phase);
  t_query = nullptr;
}

void QueryScope::reading(const QueryMap& map) {
  QueryScope* query = t_query;
  if (!query) return;
  auto& entered = query->entered_;
  if (std::any_of(entered.begin(), entered.end(), [&](const auto& e) { return e.first == &map; }))
    return;
  entered.reserve(entered.size() + 1);  // a failure to grow leaves nothing entered
  entered.emplace_back(&map, map.readers().enter());
}

}  // namespace veldrake
