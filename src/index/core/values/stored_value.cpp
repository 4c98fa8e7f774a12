#include "index/core/values/stored_value.h"

#include <cstring>
#include <utility>
#include <vector>

#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"

namespace veldrake {

StoredValue StoredValue::converted(PyObject* borrowed) {
  // The common exact types directly: a PyValue would be made, and hashed, only to be taken apart.
  PyTypeObject* type = Py_TYPE(borrowed);
  if (type == &PyFloat_Type) return StoredValue(Form::Float, PyFloat_AsDouble(borrowed));
  if (type == &PyBool_Type) return StoredValue(Form::Bool, borrowed == Py_True);
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(borrowed, &overflow);
    if (!overflow) return StoredValue(Form::Int, int64_t{number});
  }
#ifndef PYPY_VERSION
  // The UTF-8 form is made now, with the interpreter lock, and kept by the str, so that value()
  // can read it on any thread. PyPy makes it on demand through calls that need the lock, so
  // there text is kept as a PyValue.
  if (type == &PyUnicode_Type) {
    // A compact ASCII str, its own UTF-8 form, was taken by from_object.
    if (PyUnicode_AsUTF8AndSize(borrowed, nullptr)) {
      Py_INCREF(borrowed);
      return StoredValue(Form::Text, borrowed);
    }
    PyErr_Clear();  // PyValue::from_object refuses it below
  }
#endif
  if (is_indexable(borrowed))
    return StoredValue(Form::Indexable, PyHandle::new_reference(borrowed).into_word());
  // Its key is read again, from the same fields, whenever value() is asked.
  if (field_time_value(borrowed)) {
    Py_INCREF(borrowed);
    return StoredValue(Form::Time, borrowed);
  }
  return StoredValue(PyValue::from_object(borrowed));
}

StoredValue::StoredValue(PyValue value) : form_(Form::Int) {
  switch (value.kind()) {
    case ValueKind::Int:
      *this = StoredValue(Form::Int, std::get<int64_t>(value.primitive()));
      break;
    case ValueKind::Float:
      *this = StoredValue(Form::Float, std::get<double>(value.primitive()));
      break;
    case ValueKind::Bool:
      *this = StoredValue(Form::Bool, std::get<bool>(value.primitive()));
      break;
    case ValueKind::Ind:
      *this = StoredValue(
          Form::Indexable,
          PyHandle(std::get<StoredIndexable>(value.primitive()).python_handle).into_word());
      break;
    case ValueKind::Iterable:
      *this = StoredValue(
          Form::Iterable,
          SharedLeaves(std::get<IterableValue>(value.primitive()).elements).into_word());
      break;
    default:
      *this = StoredValue(Form::Boxed, new PyValue(std::move(value)));
      break;
  }
}

StoredValue::StoredValue(StoredValue&& other) noexcept : form_(other.form_) {
  std::memcpy(payload_, other.payload_, sizeof(payload_));
  other.form_ = Form::Int;
}

StoredValue& StoredValue::operator=(StoredValue&& other) noexcept {
  if (this != &other) {
    release();
    std::memcpy(payload_, other.payload_, sizeof(payload_));
    form_ = std::exchange(other.form_, Form::Int);
  }
  return *this;
}

void StoredValue::release() {
  if (form_ == Form::Text || form_ == Form::Time) release_reference(text());
  if (form_ == Form::Indexable) PyHandle::from_word(payload<void*>()).reset();
  if (form_ == Form::Iterable) {
    SharedLeaves dropped = SharedLeaves::from_word(payload<void*>());
  }
  if (form_ == Form::Boxed) delete boxed();
  form_ = Form::Int;
}

PyHandle StoredValue::indexable() const {
  PyHandle held = PyHandle::from_word(payload<void*>());
  PyHandle copy = held;
  std::move(held).into_word();  // still owned by this value
  return copy;
}

PyObject* StoredValue::held_object() const {
  if (form_ == Form::Indexable) {
    PyHandle held = PyHandle::from_word(payload<void*>());
    PyObject* object = held.get();
    std::move(held).into_word();  // still owned by this value
    return object;
  }
  if (form_ == Form::Iterable)
    return with_leaves([](const SharedLeaves& leaves) { return leaves.container(); });
  return boxed()->object();
}

PyValue StoredValue::value() const {
  switch (form_) {
    case Form::Int:
      return PyValue::from_primitive(payload<int64_t>());
    case Form::Float:
      return PyValue::from_primitive(payload<double>());
    case Form::Bool:
      return PyValue::from_primitive(payload<bool>());
    case Form::Text:
      // The str's UTF-8 form was made when it was stored.
      return PyValue::from_str_object(text());
    case Form::Time:
      return PyValue::from_primitive(*field_time_value(text()));
    case Form::Indexable:
      return PyValue::from_indexable(indexable());
    case Form::Iterable:
      return with_leaves([](const SharedLeaves& leaves) {
        return PyValue::from_primitive(IterableValue{leaves});
      });
    case Form::Boxed:
      break;
  }
  return *boxed();
}

OwnedRef StoredValue::made_object() const {
  switch (form_) {
    case Form::Int:
      return checked(PyLong_FromLongLong(payload<int64_t>()));
    case Form::Float:
      return checked(PyFloat_FromDouble(payload<double>()));
    case Form::Bool:
      return OwnedRef::new_reference(payload<bool>() ? Py_True : Py_False);
    case Form::Text:
    case Form::Time:
      return OwnedRef::new_reference(text());
    case Form::Indexable:
    case Form::Iterable:
      return OwnedRef::new_reference(object());
    case Form::Boxed:
      break;
  }
  return boxed()->to_object();
}

ValueKind StoredValue::kind() const {
  switch (form_) {
    case Form::Int:
      return ValueKind::Int;
    case Form::Float:
      return ValueKind::Float;
    case Form::Bool:
      return ValueKind::Bool;
    case Form::Text:
      return ValueKind::Str;
    case Form::Time:
      return ValueKind::Time;
    case Form::Indexable:
      return ValueKind::Ind;
    case Form::Iterable:
      return ValueKind::Iterable;
    case Form::Boxed:
      break;
  }
  return boxed()->kind();
}

std::span<const PyValue> StoredValue::element_cells() const {
  // The span reads the block this value owns.
  if (form_ == Form::Iterable)
    return with_leaves([](const SharedLeaves& leaves) { return leaves.cells(); });
  return form_ == Form::Boxed ? boxed()->element_cells() : std::span<const PyValue>();
}

}  // namespace veldrake
