// A query-expression tree: comparisons on attribute paths combined with not/and/or.
// Paths are kept as written; dots separate the segments of a path into nested objects and are
// interpreted when the query runs.
//
// Nodes never change once built, so combinations share their operands instead of copying them:
// copying an expression copies its top node only, and building a chain of any depth costs time
// linear in its length. Every node knows its depth and its size as a tree (an operand held twice
// counts twice, as evaluation visits it twice), so that code walking the tree can refuse a tree
// too deep for the stack or too large to walk before starting; trees are torn down without
// recursion.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "index/core/values/short_text.h"
#include "index/core/values/value.h"

namespace veldrake {

struct QueryExpr;

// attribute (path) compared with one value
struct Comparison {
  ShortText path;
  PyValue value;
};
struct Eq : Comparison {};
struct Ne : Comparison {};
struct Gt : Comparison {};
struct Ge : Comparison {};
struct Lt : Comparison {};
struct Le : Comparison {};
// lower <= attribute <= upper
struct Bt {
  ShortText path;
  PyValue lower;
  PyValue upper;
};
// attribute equals any of the values
struct In {
  ShortText path;
  std::vector<PyValue> values;
};
// An operand shared by every tree that holds it. Not const, only so that the last owner can take
// its operands apart when tearing it down.
using SharedExpr = std::shared_ptr<QueryExpr>;

// The parts of not/and/or, with the depth of the node that holds them.
struct Operands {
  explicit Operands(std::vector<SharedExpr> exprs);

  std::vector<SharedExpr> exprs;
  uint32_t depth;   // 1 + the deepest operand's depth
  uint64_t visits;  // 1 + the operands' visits, at most kMaxVisits + 1
};
// complement within the ids the query runs over (one operand)
struct Not : Operands {
  explicit Not(SharedExpr inner);
  const QueryExpr& expr() const { return *exprs.front(); }
};
struct And : Operands {
  using Operands::Operands;
};
struct Or : Operands {
  using Operands::Operands;
};

// A query expression: the root node of its tree.
struct QueryExpr {
  std::variant<Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or> node;

  // Trees deeper than this are not evaluated or printed in full: each level of evaluation is a
  // native call frame, and this many fit on the smallest thread stacks in use (256 KiB).
  static constexpr uint32_t kMaxDepth = 500;
  // Nor trees whose walk visits more nodes than this: sharing makes a tree of a few nodes visit
  // exponentially many (or_(e, e) repeated).
  static constexpr uint64_t kMaxVisits = uint64_t{1} << 26;
  static constexpr uint64_t kMaxPrinted = uint64_t{1} << 16;

  QueryExpr(decltype(node) node) : node(std::move(node)) {}
  QueryExpr(const QueryExpr&) = default;
  QueryExpr(QueryExpr&&) noexcept = default;
  QueryExpr& operator=(const QueryExpr&) = default;
  QueryExpr& operator=(QueryExpr&&) noexcept = default;
  ~QueryExpr();

  // 1 for a comparison, 1 + the deepest operand's depth for not/and/or.
  uint32_t depth() const;
  // The nodes a walk of the tree visits (above kMaxVisits: kMaxVisits + 1).
  uint64_t visits() const;

  // Debug form, e.g. Not(Eq("name", PyValue { obj: ..., primitave: Str("x"), hash: 12 })).
  // Below kMaxDepth levels, or once kMaxPrinted nodes are printed, operands print as "...".
  std::string debug_string() const;
};

}  // namespace veldrake
