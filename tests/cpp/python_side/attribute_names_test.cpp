// Attribute names are interned for the life of the process, so only names that are stored may be
// interned: reading, probing or querying names that no object holds must leave the table as it
// is, or a program that looks up many distinct names (getattr with a default, hasattr, queries on
// user-supplied field names) grows it without bound.
#include <gtest/gtest.h>

#include "base/structures/string_interner/interner.h"
#include "index/core/python/binding.h"
#include "python_eval.h"

namespace veldrake {
namespace {

uint32_t interned_names() {
  return interner().size();
}

// Calls the Python function `function`; false when it raised (the error is printed).
bool call(PyObject* function) {
  OwnedRef done = OwnedRef::steal(PyObject_CallNoArgs(function));
  if (!done) PyErr_Print();
  return static_cast<bool>(done);
}

TEST(AttributeNames, LookingUpNamesNoObjectHoldsInternsNothing) {
  OwnedRef steps = testing::evaluate(
      "o = Indexable(stored=1)\nindex = Index()\nindex.add_object(o)\n"
      "def look_up_absent_names():\n"
      "  for i in range(500):\n"
      "    getattr(o, 'absent_a%d' % i, None)\n"
      "    hasattr(o, 'absent_b%d' % i)\n"
      "    index.get_by_attribute(**{'absent_c%d' % i: 1})\n"
      "    index.reduced_query(Q.eq('absent_d%d' % i, 1)).collect()\n"
      "    index.reduced_query(Q.eq('stored.absent_e%d' % i, 1)).collect()\n"
      "    index.group_by('absent_f%d' % i)\n"
      "def store_a_fresh_name():\n"
      "  o.fresh_name = 2\n"
      "  assert o.fresh_name == 2\n",
      "(look_up_absent_names, store_a_fresh_name)");
  ASSERT_TRUE(steps);
  const uint32_t before = interned_names();
  ASSERT_TRUE(call(PyTuple_GET_ITEM(steps.get(), 0)));
  EXPECT_EQ(interned_names(), before);
  ASSERT_TRUE(call(PyTuple_GET_ITEM(steps.get(), 1)));
  EXPECT_EQ(interned_names(), before + 1);  // a stored name is interned once
}

}  // namespace
}  // namespace veldrake
