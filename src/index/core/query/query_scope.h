// One query's hold on the value indexes it reads. A query counts itself as a reader of each value
// index the first time it reads it, until the query ends; a write replacing a value there adds the
// new value, waits for the readers counted before (QueryMap::replace), and only then removes the
// old value. So a query finds an object being written under its old or its new value, even when
// it reads the index several times (an or_ of two equalities, or the values of an in_).
//
// The outermost scope on a thread is the query; scopes opened inside it (nested indexes
// evaluating dotted paths) add their reads to it.
#pragma once

#include <utility>
#include <vector>

#include "index/core/query/query_map.h"

namespace veldrake {

class QueryScope {
 public:
  QueryScope();
  ~QueryScope();
  QueryScope(const QueryScope&) = delete;
  QueryScope& operator=(const QueryScope&) = delete;

  // Counts the running query as a reader of `map` (once per query). No-op outside a query.
  static void reading(const QueryMap& map);

 private:
  bool outermost_;
  std::vector<std::pair<const QueryMap*, unsigned>> entered_;  // with the phase entered in
};

}  // namespace veldrake
