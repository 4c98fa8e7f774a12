#include "index/core/query/query_expr.h"

#include <algorithm>
#include <array>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "index/core/values/quoted_text.h"

namespace veldrake {

Operands::Operands(std::vector<SharedExpr> operands)
    : exprs(std::move(operands)), depth(1), visits(1) {
  for (const SharedExpr& expr : exprs) {
    depth = std::max(depth, expr->depth() + 1);
    visits = std::min(visits + expr->visits(), QueryExpr::kMaxVisits + 1);
  }
}

Not::Not(SharedExpr inner) : Operands({std::move(inner)}) {}

namespace {

// The operands of `node` if it combines others, else null.
template <class Node>
auto operands_of(Node& node) {
  using Result = std::conditional_t<std::is_const_v<Node>, const Operands*, Operands*>;
  return std::visit(
      [](auto& alternative) -> Result {
        if constexpr (std::is_base_of_v<Operands, std::decay_t<decltype(alternative)>>) {
          return &alternative;
        } else {
          return nullptr;
        }
      },
      node);
}

}  // namespace

namespace {

// Operands released by the teardown running on this thread, or null when none runs.
thread_local std::vector<SharedExpr>* t_released = nullptr;

}  // namespace

QueryExpr::~QueryExpr() {
  // Releasing operands in place would recurse once per level. Instead the outermost teardown on
  // the thread releases them one at a time, and a node it destroys hands its operands to it.
  Operands* operands = operands_of(node);
  if (!operands || operands->depth <= 2) return;
  if (t_released) {
    try {
      for (SharedExpr& expr : operands->exprs) t_released->push_back(std::move(expr));
    } catch (const std::bad_alloc&) {
      // Out of memory: the operands not handed over go with this node, one level down.
    }
    return;
  }
  std::vector<SharedExpr> released = std::move(operands->exprs);
  t_released = &released;
  while (!released.empty()) {
    SharedExpr expr = std::move(released.back());
    released.pop_back();
    expr.reset();  // when it was the last owner, its operands join `released`
  }
  t_released = nullptr;
}

uint32_t QueryExpr::depth() const {
  const Operands* operands = operands_of(node);
  return operands ? operands->depth : 1;
}

uint64_t QueryExpr::visits() const {
  const Operands* operands = operands_of(node);
  return operands ? operands->visits : 1;
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

void append_expr(std::string& out, const QueryExpr& expr, uint32_t levels_left,
                 uint64_t& nodes_left);

// Appends the payloads of one node, separated by ", "; operands only while levels and nodes are
// left to print.
void append_payload(std::string& out, const QueryExpr& expr, uint32_t levels_left,
                    uint64_t& nodes_left) {
  auto append_operand = [&](std::string& text, const SharedExpr& operand) {
    append_expr(text, *operand, levels_left - 1, nodes_left);
  };
  std::visit(
      [&](const auto& node) {
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
        } else if (levels_left == 0 || nodes_left == 0) {
          out += "...";
        } else if constexpr (std::is_same_v<Node, Not>) {
          append_operand(out, node.exprs.front());
        } else {
          static_assert(std::is_same_v<Node, And> || std::is_same_v<Node, Or>);
          append_list(out, node.exprs, append_operand);
        }
      },
      expr.node);
}

void append_expr(std::string& out, const QueryExpr& expr, uint32_t levels_left,
                 uint64_t& nodes_left) {
  if (nodes_left > 0) --nodes_left;
  out += kNodeNames[expr.node.index()];
  out += '(';
  append_payload(out, expr, levels_left, nodes_left);
  out += ')';
}

}  // namespace

std::string QueryExpr::debug_string() const {
  std::string out;
  uint64_t nodes_left = kMaxPrinted;
  append_expr(out, *this, kMaxDepth, nodes_left);
  return out;
}

}  // namespace veldrake
