// Argument and result conversions shared by the Index and FilteredIndex classes.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <vector>

#include "index/core/index_api.h"
#include "index/core/python/python_ref.h"
#include "index/core/query/hash_query.h"
#include "index/core/query/query_expr.h"

namespace veldrake {

// A new list of the objects of `ids`, ascending by id, that `stamp` shows among the records in
// `items` (see admissions.h). Take the stamp before the ids.
OwnedRef list_of(const RwLocked<Items>& items, const Bitmap& ids, const AnswerStamp& stamp);
// The same for ids given ascending.
OwnedRef list_of(const RwLocked<Items>& items, std::span<const uint32_t> ids,
                 const AnswerStamp& stamp);

// The calling convention of the `method($self, **kwargs)` methods: their keywords arrive as a
// tuple of names and an array of values, without a dict made for every call.
inline constexpr int kKeywordsCall = METH_FASTCALL | METH_KEYWORDS;

// The keyword query of a `method($self, **kwargs)` call made with kKeywordsCall; positional
// arguments are refused.
HashQuery keyword_query(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const char* method);

// The answer of a get_by_attribute call that is one equality (one keyword whose value is one value
// by its type), found without building a keyword query: the ids are read in place and handed
// to the list. nullopt for any other call, which keyword_query then parses.
std::optional<OwnedRef> one_equality_answer(const IndexAPI& engine, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames);

// A copy of the expression of the single `query` argument of `method` (RecursionError when it
// nests deeper than QueryExpr::kMaxDepth).
QueryExpr query_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const char* method);
// A copy of the expression of the argument `query`, refused as query_argument refuses it.
QueryExpr evaluable_query(PyObject* query);

// Checks that `method` was called without arguments.
void no_arguments(PyObject* args, PyObject* kwargs, const char* method);

}  // namespace veldrake
