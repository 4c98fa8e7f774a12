// Object ids: double releases, leaks and exhaustion, which Python programs cannot observe.
#include <gtest/gtest.h>

#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"
#include "index/interfaces/classes.h"
#include "python_eval.h"

namespace veldrake {
namespace {

class ObjectIds : public ::testing::Test {
 protected:
  // Far above the ids of objects other tests keep alive.
  void SetUp() override { reset_ids_for_testing(1u << 30); }
  void TearDown() override { reset_ids_for_testing(1u << 31); }
};

TEST_F(ObjectIds, ARecordReleasesItsIdOnceAndAFailedConstructorGivesItBack) {
  uint32_t id = 0;
  {
    IndexableRecord record(allocate_id(), Py_None);
    id = record.id;
    EXPECT_EQ(objects_by_id().get(id), Py_None);
  }
  EXPECT_EQ(objects_by_id().get(id), nullptr);  // gone before the id can be reused
  EXPECT_EQ(allocate_id(), id);                 // released once, by the record
  EXPECT_EQ(allocate_id(), id + 1);
  OwnedRef error = testing::evaluate(
      "try:\n  Indexable(a=1, x=2**64)\nexcept BaseException as e:\n  error = e", "error");
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), panic_exception_type());
  EXPECT_EQ(allocate_id(), id + 2);
}

TEST_F(ObjectIds, TheLastIdIsHandedOutOnceAndThenOnlyReleasedOnes) {
  reset_ids_for_testing(UINT32_MAX);
  EXPECT_EQ(allocate_id(), UINT32_MAX);
  EXPECT_THROW(allocate_id(), PythonError);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_OverflowError));
  PyErr_Clear();
  // Making an object fails as a whole.
  EXPECT_FALSE(OwnedRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(indexable_type()))));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_OverflowError));
  PyErr_Clear();
  release_id(UINT32_MAX);
  EXPECT_EQ(allocate_id(), UINT32_MAX);
}

}  // namespace
}  // namespace veldrake
