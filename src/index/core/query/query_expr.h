// A query-expression tree: comparisons on attribute paths combined with not/and/or.
// Paths are kept as written; dots separate the segments of a path into nested objects and are
// interpreted when the query runs. Copying an expression copies the whole tree.
#pragma once

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
// complement within the ids the query runs over
struct Not {
  std::unique_ptr<QueryExpr> expr;

  explicit Not(QueryExpr inner);
  Not(const Not& other);
  Not(Not&&) noexcept = default;
  Not& operator=(const Not& other);
  Not& operator=(Not&&) noexcept = default;
};
struct And {
  std::vector<QueryExpr> exprs;
};
struct Or {
  std::vector<QueryExpr> exprs;
};

// A query expression: the root node of its tree.
struct QueryExpr {
  std::variant<Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or> node;

  // Debug form, e.g. Not(Eq("name", PyValue { obj: ..., primitave: Str("x"), hash: 12 })).
  std::string debug_string() const;
};

}  // namespace veldrake
