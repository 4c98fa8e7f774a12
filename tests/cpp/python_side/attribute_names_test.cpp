// Attribute names are interned for the life of the process, so only names that are stored may be
// interned: reading, probing or querying names that no object holds must leave the table as it
// is, or a program that looks up many distinct names (getattr with a default, hasattr, queries on
// user-supplied field names) grows it without bound.
#include <gtest/gtest.h>

#include "index/core/structures/string_interner/interner.h"
#include "index/interfaces/classes.h"
#include "module/binding.h"

namespace veldrake {
namespace {

// Runs statements in one namespace that knows Indexable, Index and PyQueryExpr (as Q).
class Namespace {
 public:
  Namespace() : globals_(OwnedRef::steal(PyDict_New())) {
    PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(globals_.get(), "Indexable",
                         reinterpret_cast<PyObject*>(indexable_type()));
    PyDict_SetItemString(globals_.get(), "Index", reinterpret_cast<PyObject*>(index_type()));
    PyDict_SetItemString(globals_.get(), "Q", reinterpret_cast<PyObject*>(query_expr_type()));
  }
  // False when Python raised (the error is printed).
  bool run(const char* statements) {
    OwnedRef done =
        OwnedRef::steal(PyRun_String(statements, Py_file_input, globals_.get(), globals_.get()));
    if (!done) PyErr_Print();
    return static_cast<bool>(done);
  }

 private:
  OwnedRef globals_;
};

uint32_t interned_names() {
  return interner().snapshot()->size();
}

TEST(AttributeNames, LookingUpNamesNoObjectHoldsInternsNothing) {
  Namespace python;
  ASSERT_TRUE(python.run("o = Indexable(stored=1)\nindex = Index()\nindex.add_object(o)\n"));
  const uint32_t before = interned_names();
  ASSERT_TRUE(
      python.run("for i in range(500):\n"
                 "    getattr(o, 'absent_a%d' % i, None)\n"
                 "    hasattr(o, 'absent_b%d' % i)\n"
                 "    index.get_by_attribute(**{'absent_c%d' % i: 1})\n"
                 "    index.reduced_query(Q.eq('absent_d%d' % i, 1)).collect()\n"
                 "    index.reduced_query(Q.eq('stored.absent_e%d' % i, 1)).collect()\n"
                 "    index.group_by('absent_f%d' % i)\n"));
  EXPECT_EQ(interned_names(), before);
  // A stored name is interned once.
  ASSERT_TRUE(python.run("o.fresh_name = 2\nassert o.fresh_name == 2\n"));
  EXPECT_EQ(interned_names(), before + 1);
}

}  // namespace
}  // namespace veldrake
