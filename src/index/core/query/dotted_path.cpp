#include "index/core/query/dotted_path.h"

#include <span>

#include "base/structures/string_interner/interner.h"
#include "index/core/query/query_scope.h"

namespace veldrake {

std::optional<DottedPath> DottedPath::resolve(const RwLocked<QueryMaps>& maps,
                                              std::string_view path) {
  std::vector<uint32_t> attrs;
  for (;;) {
    std::size_t dot = path.find('.');
    std::optional<uint32_t> attr = interner().lookup(path.substr(0, dot));
    if (!attr) return std::nullopt;
    attrs.push_back(*attr);
    if (dot == std::string_view::npos) break;
    path.remove_prefix(dot + 1);
  }
  const QueryMap* first = query_map_at(maps, attrs.front());
  if (!first) return std::nullopt;
  QueryScope::reading(*first);
  if (attrs.size() == 1) attrs.clear();
  return DottedPath(first, std::move(attrs));
}

const QueryMap* DottedPath::last_values() const {
  const QueryMap* values = first_->reachable()->value_map(attrs_.back());
  if (values) QueryScope::reading(*values);
  return values;
}

Bitmap DottedPath::holders_of(Bitmap reached, const Bitmap* within) const {
  std::span<const uint32_t> before_last(attrs_.data(), attrs_.size() - 1);
  Bitmap holders = first_->reachable()->holders_along(before_last, std::move(reached), within);
  first_->drop_withheld(holders);
  return holders;
}

}  // namespace veldrake
