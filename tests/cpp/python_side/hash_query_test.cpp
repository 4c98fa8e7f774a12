#include "index/core/query/hash_query.h"

#include <gtest/gtest.h>

#include <vector>

#include "module/binding.h"
#include "python_eval.h"

namespace veldrake {
namespace {

using testing::evaluate;

// The query for keyword arguments given as a dict expression, passed as a vectorcall would.
HashQuery query_of(const char* statements, const char* kwargs) {
  OwnedRef dict = evaluate(statements, kwargs);
  OwnedRef names = checked(PySequence_Tuple(OwnedRef::steal(PyDict_Keys(dict.get())).get()));
  OwnedRef values = checked(PyDict_Values(dict.get()));
  return keywords_to_hash_query(names.get(), PySequence_Fast_ITEMS(values.get()));
}

// The items of a Python list expression as values.
std::vector<PyValue> values_of(const char* list) {
  OwnedRef items = evaluate(list);
  std::vector<PyValue> values;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    values.push_back(PyValue::from_object(PyList_GetItem(items.get(), i)));
  }
  return values;
}

TEST(KeywordsToHashQuery, TextStaysWholeAndIterablesGiveTheirDistinctItems) {
  HashQuery query =
      query_of("",
               "{'s': 'abc', 'n': 5, 'list': [1, 2, 1, 1.0, True, 2], 'set': {3},"
               " 'dict': {'k': 1}, 'gen': (c for c in 'aba'), 'nan': [float('nan')] * 2}");
  ASSERT_EQ(query.size(), 7u);
  EXPECT_EQ(query[0].name.view(), "s");
  EXPECT_EQ(query[0].values, values_of("['abc']"));
  EXPECT_EQ(query[1].values, values_of("[5]"));
  EXPECT_EQ(query[2].values, values_of("[1, 2, 1.0, True]"));
  EXPECT_EQ(query[3].values, values_of("[3]"));
  EXPECT_EQ(query[4].values, values_of("['k']"));
  EXPECT_EQ(query[5].name.view(), "gen");
  EXPECT_EQ(query[5].values, values_of("['a', 'b']"));
  // NaN equals nothing, so each occurrence stays.
  EXPECT_EQ(query[6].values.size(), 2u);
  EXPECT_TRUE(keywords_to_hash_query(nullptr, nullptr).empty());
}

TEST(KeywordsToHashQuery, ErrorsOfTheIterationPropagateUnchanged) {
  struct Case {
    const char* statements;
    const char* kwargs;
    PyObject* error;
  };
  for (const Case& c :
       {Case{"def gen():\n  yield 1\n  raise ValueError", "{'a': gen()}", PyExc_ValueError},
        Case{"class It:\n  def __iter__(self): raise KeyError", "{'a': It()}", PyExc_KeyError},
        Case{"", "{1: 2}", PyExc_TypeError}}) {
    EXPECT_THROW(query_of(c.statements, c.kwargs), PythonError) << c.kwargs;
    EXPECT_TRUE(PyErr_ExceptionMatches(c.error)) << c.kwargs;
    PyErr_Clear();
  }
}

}  // namespace
}  // namespace veldrake
