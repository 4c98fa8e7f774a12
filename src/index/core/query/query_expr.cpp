#include "index/core/query/query_expr.h"

#include <array>
#include <string_view>
#include <type_traits>
#include <utility>

#include "index/core/values/quoted_text.h"

namespace veldrake {

Not::Not(QueryExpr inner) : expr(std::make_unique<QueryExpr>(std::move(inner))) {}

Not::Not(const Not& other) : expr(std::make_unique<QueryExpr>(*other.expr)) {}

Not& Not::operator=(const Not& other) {
  // The copy is made before the old tree goes, so self-assignment keeps the tree intact.
  expr = std::make_unique<QueryExpr>(*other.expr);
  return *this;
}

namespace {

// Variant names, in the order of the alternatives of QueryExpr::node.
constexpr std::array<std::string_view, 11> kNodeNames = {"Eq", "Ne", "Gt",  "Ge",  "Lt", "Le",
                                                         "Bt", "In", "Not", "And", "Or"};
static_assert(kNodeNames.size() == std::variant_size_v<decltype(QueryExpr::node)>);

// Appends `items` as "[a, b]", each printed by `print(out, item)`.
template <class Item, class Print>
void append_list(std::string& out, const std::vector<Item>& items, Print&& print) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    print(out, items[i]);
  }
  out += ']';
}

void append_value(std::string& out, const PyValue& value) {
  out += value.debug_string();
}

void append_expr(std::string& out, const QueryExpr& expr);

// Appends the payloads of one node, separated by ", ".
void append_payload(std::string& out, const QueryExpr& expr) {
  std::visit(
      [&out](const auto& node) {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_base_of_v<Comparison, Node>) {
          append_quoted(out, node.path.view());
          out += ", ";
          append_value(out, node.value);
        } else if constexpr (std::is_same_v<Node, Bt>) {
          append_quoted(out, node.path.view());
          out += ", ";
          append_value(out, node.lower);
          out += ", ";
          append_value(out, node.upper);
        } else if constexpr (std::is_same_v<Node, In>) {
          append_quoted(out, node.path.view());
          out += ", ";
          append_list(out, node.values, append_value);
        } else if constexpr (std::is_same_v<Node, Not>) {
          append_expr(out, *node.expr);
        } else {
          static_assert(std::is_same_v<Node, And> || std::is_same_v<Node, Or>);
          append_list(out, node.exprs, append_expr);
        }
      },
      expr.node);
}

void append_expr(std::string& out, const QueryExpr& expr) {
  out += kNodeNames[expr.node.index()];
  out += '(';
  append_payload(out, expr);
  out += ')';
}

}  // namespace

std::string QueryExpr::debug_string() const {
  std::string out;
  append_expr(out, *this);
  return out;
}

}  // namespace veldrake
