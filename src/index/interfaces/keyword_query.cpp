#include "index/interfaces/keyword_query.h"

#include <cstddef>
#include <unordered_set>
#include <utility>

#include "index/interfaces/arguments.h"

namespace veldrake {
namespace {

// Collects the distinct values of one keyword. Each value is stored once; the set holds
// positions into `values_`, so a candidate is appended first and dropped again when an equal
// value is already there.
class DistinctValues {
 public:
  DistinctValues() = default;
  // The set refers to this object's vector.
  DistinctValues(const DistinctValues&) = delete;
  DistinctValues& operator=(const DistinctValues&) = delete;

  void add(PyObject* object) {
    values_.push_back(PyValue::for_operand(object));
    if (!seen_.insert(values_.size() - 1).second) values_.pop_back();
  }

  std::vector<PyValue> take() && { return std::move(values_); }

 private:
  struct Hash {
    const std::vector<PyValue>* values;
    std::size_t operator()(std::size_t i) const {
      return static_cast<std::size_t>((*values)[i].hash());
    }
  };
  struct Equal {
    const std::vector<PyValue>* values;
    bool operator()(std::size_t a, std::size_t b) const { return (*values)[a] == (*values)[b]; }
  };

  std::vector<PyValue> values_;
  std::unordered_set<std::size_t, Hash, Equal> seen_{0, Hash{&values_}, Equal{&values_}};
};

// An iterator over the items `object` stands for, or none when it is a single value: a str, bytes,
// or an object that is not iterable. Any other failure of its __iter__ propagates.
OwnedRef items_iterator(PyObject* object) {
  if (one_value_by_type(object)) return {};
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError();
    PyErr_Clear();
  }
  return iterator;
}

std::vector<PyValue> keyword_values(PyObject* object) {
  OwnedRef iterator = items_iterator(object);
  if (!iterator) {
    std::vector<PyValue> single;
    single.push_back(PyValue::for_operand(object));
    return single;
  }
  DistinctValues values;
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) values.add(item.get());
  throw_if_failed(!PyErr_Occurred());
  return std::move(values).take();
}

}  // namespace

bool one_value_by_type(PyObject* value) {
  // Text is one value although iterable; the usual scalars are known not to be iterable without
  // an exception made and dropped.
  return PyUnicode_Check(value) || PyBytes_Check(value) || PyLong_CheckExact(value) ||
         PyFloat_CheckExact(value) || PyBool_Check(value) || value == Py_None;
}

HashQuery keywords_to_hash_query(PyObject* names, PyObject* const* values) {
  HashQuery query;
  if (!names) return query;
  const Py_ssize_t count = PyTuple_GET_SIZE(names);
  query.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    ShortText name(text_argument(PyTuple_GET_ITEM(names, i)));
    query.push_back(HashQueryTerm{std::move(name), keyword_values(values[i])});
  }
  return query;
}

}  // namespace veldrake
