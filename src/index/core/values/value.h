// Attribute values as the engine sees them.
//
// A PyValue is made from a Python object while the interpreter lock is held and from then on never
// needs it: the primitive form (int, float, text, bool) is copied out and the object dropped, a
// container is flattened into its leaf values at that moment, and the original object of the
// other kinds is kept through a PyHandle that may be copied and dropped on any thread.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "index/core/python/python_ref.h"
#include "index/core/values/shared_leaves.h"
#include "index/core/values/short_text.h"
#include "index/core/values/time_value.h"
#include "index/core/values/types.h"

namespace veldrake {

struct IndexableRecord;
struct ObjectState;
class PyValue;
class LeafValues;

// A list, tuple, set or dict value: its container and leaf values, shared by the copies of the
// value. Held inside the value's primitive, where it takes no more room than a text does.
struct IterableValue {
  SharedLeaves elements;
};

// An Indexable held by a value or an index. The handle keeps the Python object alive, and with it
// the record inside it, which the engine reads without the interpreter lock.
struct StoredIndexable {
  PyHandle python_handle;

  // `indexable` is an Indexable instance; interpreter lock held.
  static StoredIndexable from_object(PyObject* indexable);
  // The same object under a reference of its own; interpreter lock held. Each Python object that
  // reports its references to the cycle collector must own the handles it reports.
  StoredIndexable fresh() const { return from_object(python_handle.get()); }

  const IndexableRecord& record() const;
  uint32_t id() const;
  ObjectState& state() const;
};

// A value of a type the engine cannot look into (None, enum members, classes, any other object):
// equal only to the very same object.
struct UnknownValue {};

// The content of a bytes object, which is compared as it is.
struct BytesValue {
  ShortText content;
};

// An int beyond 64 bits given as a query operand: the doubles just below and just above it,
// equal when it is one. No stored number can equal it otherwise, and these bound it exactly.
struct BigIntValue {
  double below;
  double above;
};

using CastValue = std::variant<int64_t, double, ShortText, bool, IterableValue, StoredIndexable,
                               UnknownValue, BytesValue, TimeValue, BigIntValue>;

// The alternatives of CastValue, in their order.
enum class ValueKind : uint8_t {
  Int,
  Float,
  Str,
  Bool,
  Iterable,
  Ind,
  Unknown,
  Bytes,
  Time,
  BigInt
};

// One attribute value, as the engine stores and compares it.
class PyValue {
 public:
  // The unknown value without an object.
  PyValue();

  // Classifies `borrowed` by its exact type (see types.h) and flattens containers. Interpreter
  // lock held. A value that cannot be taken (an int beyond 64 bits, text that is not UTF-8)
  // is an internal error starting "type checked"; no Python exception is left set.
  static PyValue from_object(PyObject* borrowed);
  // A query operand, made as by from_object, except for values no stored value can equal: text
  // holding a lone surrogate (which cannot be stored) becomes an unknown value, matching nothing,
  // and an int beyond 64 bits is taken (BigInt) and compared exactly.
  static PyValue for_operand(PyObject* borrowed);
  // A value without a Python object.
  static PyValue from_primitive(CastValue primitive);
  // A text value, made in place: stored text is read back into one on every write.
  static PyValue from_text(std::string_view text);
  // The text of `str`, a str whose UTF-8 form is made; any thread: the form is read, not made,
  // which CPython allows without the interpreter lock.
  static PyValue from_str_object(PyObject* str);
  // The value of an Indexable that `handle` holds.
  static PyValue from_indexable(PyHandle handle);

  // The value as a Python object: int, float, str and bool are made anew, the others are the
  // original object (a time without one is made from its key; for the other kinds that is an
  // internal error). Interpreter lock held.
  OwnedRef to_object() const;

  ValueKind kind() const { return static_cast<ValueKind>(primitive_.index()); }
  const CastValue& primitive() const { return primitive_; }
  uint64_t hash() const { return hash_; }
  // The original object, borrowed; nullptr when there is none (always for numbers, text and
  // bools). A container is held by its leaves' block.
  PyObject* object() const {
    if (const auto* iterable = std::get_if<IterableValue>(&primitive_))
      return iterable->elements.container();
    return obj_.get();
  }
  // The leaf values of a list, tuple or set, at any depth, in iteration order; dicts, nested or
  // not, contribute none, and a container met again inside itself is not entered again. Empty
  // for other kinds. Copies of this value share the elements; those kept as text are made anew.
  LeafValues elements() const;
  // The elements kept as values, read in place: all of them, or none when they are texts, which
  // hold nothing the cycle collector or an index follows (see shared_leaves.h).
  std::span<const PyValue> element_cells() const;
  // An Indexable, or an iterable with an Indexable among its elements (found by a scan of them:
  // values are stored by the million, a flag would cost each of them eight bytes). Inline, as
  // every write asks it of plain values.
  bool involves_indexable() const {
    return kind() == ValueKind::Ind ||
           (kind() == ValueKind::Iterable &&
            std::get<IterableValue>(primitive_).elements.any_indexable());
  }

  // For reprs and test failures: PyValue { obj: ..., primitave: Int(5), hash: ... }.
  std::string debug_string() const;

  // Values of different hash are never equal. Ints, floats and bools compare by number, text and
  // bytes by content, times by kind and key (NaT equals nothing), Indexables and unknown values
  // by object; an iterable equals only itself (and its copies).
  friend bool operator==(const PyValue& a, const PyValue& b);

 private:
  using Elements = std::vector<PyValue>;

  // `primitive` is a CastValue or one of its alternatives, which is then made in place.
  template <class Primitive>
  PyValue(PyHandle obj, Primitive&& primitive);
  static PyValue from_classified(PyObject* object, ValueClass value_class, bool operand);
  static PyValue from_leaf(PyObject* object, ValueClass value_class, bool operand);
  static PyValue from_container(PyObject* container, IterableKind kind);
  // The leaves of an exact list or tuple that holds no container, read in place: most container
  // values are such, and need neither an iterator nor the bookkeeping of nesting. False, with
  // `out` left empty, for any other container.
  static bool collect_flat_leaves(PyObject* container, Elements& out);
  // The container's leaves as a block of texts, when it is an exact list or tuple of exact str
  // objects whose UTF-8 form can be made (on PyPy, never: there reading that form needs the
  // interpreter lock).
  static std::optional<SharedLeaves> text_leaves(PyObject* container, IterableKind kind);
  // Appends the leaves under `root` to `out`, depth first, with a stack of its own rather than
  // recursion so that deep nesting cannot exhaust the C stack.
  static void collect_leaves(PyObject* root, Elements& out);

  PyHandle obj_;
  CastValue primitive_;
  uint64_t hash_;
};

// Values are stored by the million: an iterable's elements ride in the primitive, beside nothing.
static_assert(sizeof(PyValue) <= 48);

// The elements of a value: its container's cells, borrowed, or values made from its texts. A write
// makes those of its old and its new value: a few are made in place, the rest on the heap.
class LeafValues {
 public:
  LeafValues() = default;
  explicit LeafValues(std::span<const PyValue> cells) : view_(cells) {}
  // Values made from `texts`, str objects whose UTF-8 form is made.
  explicit LeafValues(std::span<PyObject* const> texts);
  LeafValues(const LeafValues&) = delete;
  LeafValues& operator=(const LeafValues&) = delete;

  std::span<const PyValue> span() const { return view_; }
  const PyValue* begin() const { return view_.data(); }
  const PyValue* end() const { return view_.data() + view_.size(); }
  std::size_t size() const { return view_.size(); }

 private:
  // Values made in place, destroyed with it (also when making a later one fails).
  struct InPlace {
    static constexpr std::size_t kCapacity = 4;
    alignas(PyValue) unsigned char room[kCapacity * sizeof(PyValue)];
    std::size_t count = 0;

    PyValue* data() { return reinterpret_cast<PyValue*>(room); }
    ~InPlace() { std::destroy_n(data(), count); }
  };

  std::span<const PyValue> view_;
  InPlace in_place_;
  std::vector<PyValue> on_heap_;
};

}  // namespace veldrake
