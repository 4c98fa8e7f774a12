#include "index/core/query/query_ops.h"

#include <algorithm>
#include <type_traits>

#include "base/structures/string_interner/interner.h"
#include "index/core/filtered_index.h"
#include "index/core/query/dotted_path.h"
#include "index/core/query/query_scope.h"

namespace veldrake {
namespace {

// The value index of `attribute`, or null; the running query counts as its reader.
QueryMap* map_of(const RwLocked<QueryMaps>& maps, std::string_view attribute) {
  std::optional<uint32_t> attr = interner().lookup(attribute);
  QueryMap* map = attr ? query_map_at(maps, *attr) : nullptr;
  if (map) QueryScope::reading(*map);
  return map;
}

Bitmap evaluate_node(const RwLocked<QueryMaps>& maps, const Bitmap& allowed, const QueryExpr& expr);

// The ordering of a one-sided comparison node.
template <class Node>
constexpr Ordering ordering_of() {
  if constexpr (std::is_same_v<Node, Gt>) return Ordering::Gt;
  if constexpr (std::is_same_v<Node, Ge>) return Ordering::Ge;
  if constexpr (std::is_same_v<Node, Lt>) return Ordering::Lt;
  return Ordering::Le;
}

template <class Node>
Bitmap compare_on(const QueryMap& map, const Node& node, const Bitmap* within) {
  if constexpr (std::is_same_v<Node, Eq>) {
    return map.equal_to(node.value, within);
  } else if constexpr (std::is_same_v<Node, Gt> || std::is_same_v<Node, Ge> ||
                       std::is_same_v<Node, Lt> || std::is_same_v<Node, Le>) {
    return map.ordered(ordering_of<Node>(), node.value, within);
  } else if constexpr (std::is_same_v<Node, Bt>) {
    return map.between(node.lower, node.upper, within);
  } else if constexpr (std::is_same_v<Node, In>) {
    return map.equal_to_any(node.values, within);
  } else {
    internal_error("not a comparison");
  }
}

// A comparison on `path`: on this index's value index, or, for a dotted path, on the value index
// of its last segment over the reached objects, walked back to the holders.
template <class Node>
Bitmap evaluate_comparison(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                           const Node& node) {
  std::optional<DottedPath> path = DottedPath::resolve(maps, node.path.view());
  if (!path) return Bitmap();
  if (!path->is_dotted()) return compare_on(path->first(), node, &allowed);
  const QueryMap* last = path->last_values();
  if (!last) return Bitmap();
  return path->holders_of(compare_on(*last, node, nullptr), &allowed);
}

std::vector<Bitmap> evaluate_all(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                                 const std::vector<SharedExpr>& exprs) {
  std::vector<Bitmap> results;
  results.reserve(exprs.size());
  for (const SharedExpr& expr : exprs) results.push_back(evaluate_node(maps, allowed, *expr));
  return results;
}

// How early a part of an And is evaluated: equalities usually narrow most, complements and
// combinations last, as they then only look at the candidates left.
int and_rank(const QueryExpr& expr) {
  return std::visit(
      [](const auto& node) {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, Eq> || std::is_same_v<Node, In>) return 0;
        if constexpr (std::is_same_v<Node, Ne> || std::is_same_v<Node, Not> ||
                      std::is_same_v<Node, And> || std::is_same_v<Node, Or>) {
          return 2;
        }
        return 1;
      },
      expr.node);
}

// The parts one after the other, each evaluated within what the parts before it left (a part
// on a dotted path may answer beyond that set, hence the intersection); an empty partial result
// ends the walk.
Bitmap evaluate_and(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                    const std::vector<SharedExpr>& exprs) {
  if (exprs.empty()) return Bitmap();
  std::vector<const QueryExpr*> order;
  order.reserve(exprs.size());
  for (const SharedExpr& expr : exprs) order.push_back(expr.get());
  std::stable_sort(order.begin(), order.end(), [](const QueryExpr* a, const QueryExpr* b) {
    return and_rank(*a) < and_rank(*b);
  });
  Bitmap result = evaluate_node(maps, allowed, *order.front());
  result.and_inplace(allowed);
  for (std::size_t i = 1; i < order.size() && !result.is_empty(); ++i)
    result.and_inplace(evaluate_node(maps, result, *order[i]));
  return result;
}

}  // namespace

Bitmap evaluate_query(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                      const QueryExpr& expr) {
  QueryScope scope;
  return evaluate_node(maps, allowed, expr);
}

uint64_t count_query(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                     const QueryExpr& expr) {
  QueryScope scope;
  return std::visit(
      [&](const auto& node) -> uint64_t {
        using Node = std::decay_t<decltype(node)>;
        constexpr bool ordering = std::is_same_v<Node, Gt> || std::is_same_v<Node, Ge> ||
                                  std::is_same_v<Node, Lt> || std::is_same_v<Node, Le>;
        if constexpr (ordering || std::is_same_v<Node, Bt>) {
          std::optional<DottedPath> path = DottedPath::resolve(maps, node.path.view());
          if (!path) return 0;
          if (!path->is_dotted()) {
            const QueryMap& map = path->first();
            if constexpr (std::is_same_v<Node, Bt>) {
              return map.count_between(node.lower, node.upper, &allowed);
            } else {
              return map.count_ordered(ordering_of<Node>(), node.value, &allowed);
            }
          }
        }
        return evaluate_node(maps, allowed, expr).cardinality();
      },
      expr.node);
}

namespace {

Bitmap evaluate_node(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                     const QueryExpr& expr) {
  return std::visit(
      [&](const auto& node) -> Bitmap {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, Ne>) {
          Bitmap matching = evaluate_comparison(maps, allowed, Eq{node});
          return Bitmap::difference(allowed, matching);
        } else if constexpr (std::is_same_v<Node, Not>) {
          return Bitmap::difference(allowed, evaluate_node(maps, allowed, node.expr()));
        } else if constexpr (std::is_same_v<Node, And>) {
          return evaluate_and(maps, allowed, node.exprs);
        } else if constexpr (std::is_same_v<Node, Or>) {
          Bitmap result;
          for (const Bitmap& part : evaluate_all(maps, allowed, node.exprs))
            result.or_inplace(part);
          return result;
        } else {
          return evaluate_comparison(maps, allowed, node);
        }
      },
      expr.node);
}

}  // namespace

Bitmap filter_index_by_hashes(const RwLocked<QueryMaps>& maps, const HashQuery& query,
                              const Bitmap* within) {
  QueryScope scope;
  Bitmap result;
  bool first = true;
  for (const HashQueryTerm& term : query) {
    QueryMap* map = map_of(maps, term.name.view());
    if (!map) return Bitmap();
    Bitmap matching = map->equal_to_any(term.values, within);
    if (first) {
      result = std::move(matching);
      first = false;
    } else {
      result.and_inplace(matching);
    }
    if (result.is_empty()) return result;
  }
  return result;
}

EqualIds equal_ids(const QueryMap* map, const PyValue& value, std::span<uint32_t> room) {
  if (!map) return {};
  if (std::optional<std::size_t> copied = map->copy_equal_ids(value, room))
    return {room.first(*copied), {}, std::nullopt};
  EqualIds ids;
  if (std::optional<std::vector<uint32_t>> listed = map->ordered_equal_ids(value)) {
    ids.listed = std::move(*listed);
    ids.few = ids.listed;
  } else {
    ids.many = map->equal_to(value, nullptr);
  }
  return ids;
}

}  // namespace veldrake
