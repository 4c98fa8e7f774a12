// An attribute value as an object's attribute map holds it. Objects are made by the million and
// most of their values are numbers, bools and text, so those take no more than their payload:
// numbers and bools in place, text as the str object itself. Keeping the str spares rebuilding it
// on every read, which then only takes a reference, and objects written from one str share it.
// An Indexable (objects often hold another, an owner or a parent) is its handle, in place, and a
// date, datetime or timedelta whose key its fields give is the object, as text is, and a container
// is its block of leaves (see shared_leaves.h). Every other value is a PyValue kept out of line.
// The engine works on PyValues: `value()` makes one, without the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "index/core/python/python_ref.h"
#include "index/core/values/value.h"

namespace veldrake {

class StoredValue {
 public:
  // Made as PyValue::from_object makes a value. Interpreter lock held. An ASCII str, the most
  // common value written, is taken inline.
  static StoredValue from_object(PyObject* borrowed) {
#ifndef PYPY_VERSION
    if (Py_TYPE(borrowed) == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(borrowed)) {
      Py_INCREF(borrowed);
      return StoredValue(Form::Text, borrowed);
    }
#endif
    return converted(borrowed);
  }
  // Keeps `value` out of line.
  explicit StoredValue(PyValue value);

  StoredValue(StoredValue&& other) noexcept;
  StoredValue& operator=(StoredValue&& other) noexcept;
  // Empties the value (leaving an int), for a holder of the interpreter lock: a str is released at
  // once, without asking which thread runs. Inline, as writes drop the value they replace.
  void clear_holding_gil() noexcept {
    if (form_ == Form::Text || form_ == Form::Time)
      Py_DECREF(text());
    else if (form_ > Form::Text)
      release();
    form_ = Form::Int;
  }
  // The move assignment, for a holder of the interpreter lock (see clear_holding_gil). Inline, as
  // it is most writes of an object in no index.
  void assign_holding_gil(StoredValue&& other) noexcept {
    clear_holding_gil();
    std::memcpy(payload_, other.payload_, sizeof(payload_));
    form_ = std::exchange(other.form_, Form::Int);
  }
  StoredValue(const StoredValue&) = delete;
  StoredValue& operator=(const StoredValue&) = delete;
  // A str is released at once with the interpreter lock held, else queued; releasing one runs no
  // Python code. Inline, as most values hold nothing to release.
  ~StoredValue() {
    if (form_ >= Form::Text) release();
  }

  // The value as the engine compares and indexes it; any thread.
  PyValue value() const;
  // The value as a Python object (see PyValue::to_object). Interpreter lock held. A str only
  // takes a reference, inline: that is most attribute reads.
  OwnedRef to_object() const {
    if (form_ == Form::Text) return OwnedRef::new_reference(text());
    return made_object();
  }

  ValueKind kind() const;
  // The object the cycle collector may have to see, borrowed; nullptr for numbers, text, bools
  // and times kept in place (none of which holds references).
  PyObject* object() const {
    return form_ >= Form::Indexable ? held_object() : nullptr;
  }
  // The leaves of a container kept as values, empty for other kinds (see PyValue::element_cells).
  std::span<const PyValue> element_cells() const;
  // How many leaves of a container are kept as str objects rather than values (see
  // SharedLeaves::texts); none for other kinds.
  std::size_t text_leaf_count() const {
    return form_ == Form::Iterable
               ? with_leaves([](const SharedLeaves& leaves) { return leaves.texts().size(); })
               : 0;
  }
  // Every write asks this of two values, most often scalars: they are told apart by one compare.
  bool involves_indexable() const {
    if (form_ < Form::Indexable) return false;
    return form_ == Form::Indexable ||
           (form_ == Form::Iterable &&
            with_leaves([](const SharedLeaves& leaves) { return leaves.any_indexable(); })) ||
           (form_ == Form::Boxed && boxed()->involves_indexable());
  }
  // A time kept without its Python object, which only Python code can make (see to_object).
  bool is_time_without_object() const {
    return form_ == Form::Boxed && boxed()->kind() == ValueKind::Time && !boxed()->object();
  }

 private:
  // The forms that hold something to release come last.
  enum class Form : uint8_t { Int, Float, Bool, Text, Time, Indexable, Iterable, Boxed };

  template <class Payload>
  StoredValue(Form form, Payload payload) : form_(form) {
    static_assert(sizeof(Payload) <= sizeof(payload_));
    std::memcpy(payload_, &payload, sizeof(Payload));
  }
  // from_object for every value but an ASCII str.
  static StoredValue converted(PyObject* borrowed);
  template <class Payload>
  Payload payload() const {
    Payload payload;
    std::memcpy(&payload, payload_, sizeof(Payload));
    return payload;
  }
  PyValue* boxed() const {
    return payload<PyValue*>();
  }
  // The str of a Text value, or the object of a Time value, borrowed.
  PyObject* text() const {
    return payload<PyObject*>();
  }
  // A copy of the handle of an Indexable value.
  PyHandle indexable() const;
  // `use(const SharedLeaves&)` on the block of an Iterable value, which stays owned by this value.
  template <class Use>
  std::invoke_result_t<Use, const SharedLeaves&> with_leaves(Use&& use) const {
    SharedLeaves held = SharedLeaves::from_word(payload<void*>());
    auto result = use(std::as_const(held));
    std::move(held).into_word();
    return result;
  }
  void release();
  // object() of an Indexable, iterable or boxed value.
  PyObject* held_object() const;
  // to_object, made out of line.
  OwnedRef made_object() const;

  // Bytes, read and written whole, so that the value needs no alignment and a map entry (a 32-bit
  // name id beside the value) takes thirteen bytes.
  unsigned char payload_[8] = {};
  Form form_;
};

static_assert(sizeof(StoredValue) == 9 && alignof(StoredValue) == 1);

}  // namespace veldrake
