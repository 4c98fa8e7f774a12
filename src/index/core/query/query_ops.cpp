#include "index/core/query/query_ops.h"

#include <algorithm>
#include <type_traits>

#include "base/structures/string_interner/interner.h"
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

// The same comparison over another path (the rest of a dotted path).
template <class Node>
QueryExpr with_path(const Node& node, std::string_view path) {
  Node copy = node;
  copy.path = ShortText(path);
  return QueryExpr{std::move(copy)};
}

Bitmap compare_on(const QueryMap& map, const QueryExpr& expr, const Bitmap& allowed) {
  return std::visit(
      [&](const auto& node) -> Bitmap {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, Eq>) {
          return map.equal_to(node.value, &allowed);
        } else if constexpr (std::is_same_v<Node, Gt>) {
          return map.ordered(Ordering::Gt, node.value, &allowed);
        } else if constexpr (std::is_same_v<Node, Ge>) {
          return map.ordered(Ordering::Ge, node.value, &allowed);
        } else if constexpr (std::is_same_v<Node, Lt>) {
          return map.ordered(Ordering::Lt, node.value, &allowed);
        } else if constexpr (std::is_same_v<Node, Le>) {
          return map.ordered(Ordering::Le, node.value, &allowed);
        } else if constexpr (std::is_same_v<Node, Bt>) {
          return map.between(node.lower, node.upper, &allowed);
        } else if constexpr (std::is_same_v<Node, In>) {
          return map.equal_to_any(node.values, &allowed);
        } else {
          internal_error("not a comparison");
        }
      },
      expr.node);
}

// A comparison on `path`: on this index's value index, or, for a dotted path, in the nested
// index of the first segment, mapped back to the holders.
template <class Node>
Bitmap evaluate_comparison(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                           const Node& node) {
  auto [first, rest] = attr_parts(node.path.view());
  QueryMap* map = map_of(maps, first);
  if (!map) return Bitmap();
  if (!rest) return compare_on(*map, QueryExpr{node}, allowed);
  IndexAPI& nested = map->nested();
  return nested.direct_parents(nested.evaluate(with_path(node, *rest)));
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

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path) {
  std::size_t dot = path.find('.');
  if (dot == std::string_view::npos) return {path, std::nullopt};
  return {path.substr(0, dot), path.substr(dot + 1)};
}

Bitmap evaluate_query(const RwLocked<QueryMaps>& maps, const Bitmap& allowed,
                      const QueryExpr& expr) {
  QueryScope scope;
  return evaluate_node(maps, allowed, expr);
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

}  // namespace veldrake
