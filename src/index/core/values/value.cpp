#include "index/core/values/value.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <unordered_set>

#include "base/structures/string_interner/fold_hasher.h"
#include "base/structures/string_interner/str_hash.h"
#include "index/core/indexable_object.h"
#include "index/core/python/binding.h"
#include "index/core/values/quoted_text.h"

namespace veldrake {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Clang before 17 does not deduce aggregate template arguments without a guide.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// A failed conversion of a value whose type promised it would work.
[[noreturn]] void type_check_failed(const char* what) {
  PyErr_Clear();
  internal_error(std::string("type checked: ") + what);
}

uint64_t address_of(const void* pointer) {
  return reinterpret_cast<uintptr_t>(pointer);
}

// `object` is the value's Python object, whose identity is that of unknown values.
uint64_t hash_of(const CastValue& primitive, const void* object) {
  FoldHasher hasher;
  std::visit(
      Overloaded{
          [&](int64_t value) { hasher.add64(static_cast<uint64_t>(value)).add(1); },
          [&](double value) { hasher.add64(std::bit_cast<uint64_t>(value)).add(2); },
          [&](const ShortText& text) { hasher.add64(hash_str(text.view())).add(0xFF).add(3); },
          [&](bool value) { hasher.add64(value ? 1 : 0).add(4); },
          [&](const IterableValue& iterable) {
            hasher.add64(address_of(iterable.elements.identity())).add(5);
          },
          [&](const StoredIndexable& stored) {
            hasher.add64(address_of(stored.python_handle.get())).add(6);
          },
          [&](UnknownValue) { hasher.add64(address_of(object)).add(7); },
          [&](const BytesValue& bytes) {
            hasher.add64(hash_str(bytes.content.view())).add(0xFF).add(8);
          },
          [&](const TimeValue& time) {
            hasher.add64(static_cast<uint64_t>(time.ticks))
                .add(static_cast<uint32_t>(time.kind))
                .add(9);
          },
          [&](const BigIntValue& big) {
            hasher.add64(std::bit_cast<uint64_t>(big.below))
                .add64(std::bit_cast<uint64_t>(big.above))
                .add(10);
          },
      },
      primitive);
  return hasher.finish();
}

// The doubles next to `number`, an int beyond 64 bits whose sign is `sign`.
BigIntValue big_int_bracket(PyObject* number, int sign) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  constexpr double kLargest = std::numeric_limits<double>::max();
  const double nearest = PyLong_AsDouble(number);
  if (nearest == -1.0 && PyErr_Occurred()) {  // beyond every finite double
    PyErr_Clear();
    return sign > 0 ? BigIntValue{kLargest, kInfinity} : BigIntValue{-kInfinity, -kLargest};
  }
  OwnedRef back = OwnedRef::steal(PyLong_FromDouble(nearest));
  const int below = back ? PyObject_RichCompareBool(number, back.get(), Py_LT) : -1;
  const int above = back ? PyObject_RichCompareBool(number, back.get(), Py_GT) : -1;
  if (below < 0 || above < 0) type_check_failed("int cannot be compared");
  if (below) return {std::nextafter(nearest, -kInfinity), nearest};
  if (above) return {nearest, std::nextafter(nearest, kInfinity)};
  return {nearest, nearest};
}

// An int as a 64-bit integer; beyond that range an operand is bracketed, a stored value fails.
CastValue integer_value(PyObject* object, bool operand) {
  if (PyLong_CheckExact(object)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (!overflow) return int64_t{value};
  }
  OwnedRef number = OwnedRef::steal(PyNumber_Index(object));
  if (!number) type_check_failed("int has no integer value");
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (overflow && operand) return big_int_bracket(number.get(), overflow);
  if (overflow) type_check_failed("int does not fit in 64 bits");
  if (value == -1 && PyErr_Occurred()) type_check_failed("int has no integer value");
  return int64_t{value};
}

double to_double(PyObject* object) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) type_check_failed("float has no float value");
  return value;
}

ShortText to_text(PyObject* object) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (!text) type_check_failed("str cannot be encoded as UTF-8");
  return ShortText(std::string_view(text, static_cast<std::size_t>(size)));
}

// Whether `object` is a str that cannot be encoded as UTF-8 (it holds a lone surrogate).
bool is_unencodable_text(PyObject* object, ValueClass value_class) {
  if (value_class != ValueClass::Str || PyUnicode_AsUTF8AndSize(object, nullptr)) return false;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError();
  PyErr_Clear();
  return true;
}

bool to_bool(PyObject* object) {
  int truth = PyObject_IsTrue(object);
  if (truth < 0) type_check_failed("bool has no truth value");
  return truth != 0;
}

// The form of bytes and times; none for the other classes, and for a time without an exact key.
std::optional<CastValue> keyed_primitive(PyObject* object, ValueClass value_class) {
  std::optional<TimeValue> time;
  switch (value_class) {
    case ValueClass::Bytes: {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(object, &data, &size) < 0) type_check_failed("bytes unreadable");
      return BytesValue{ShortText(std::string_view(data, static_cast<std::size_t>(size)))};
    }
    case ValueClass::Time:
      time = python_time_value(object);
      break;
    case ValueClass::NumpyDateTime:
      time = numpy_time_value(object, OrderedKind::kNumpyDateTime);
      break;
    case ValueClass::NumpyTimeDelta:
      time = numpy_time_value(object, OrderedKind::kNumpyTimeDelta);
      break;
    default:
      break;
  }
  if (time) return CastValue(*time);
  return std::nullopt;
}

bool is_container(ValueClass value_class) {
  return value_class == ValueClass::List || value_class == ValueClass::Tuple ||
         value_class == ValueClass::Dict || value_class == ValueClass::Set;
}

IterableKind iterable_kind(ValueClass value_class) {
  switch (value_class) {
    case ValueClass::List:
      return IterableKind::List;
    case ValueClass::Tuple:
      return IterableKind::Tuple;
    case ValueClass::Dict:
      return IterableKind::Dict;
    default:
      return IterableKind::Set;
  }
}

const char* iterable_name(IterableKind kind) {
  switch (kind) {
    case IterableKind::List:
      return "List";
    case IterableKind::Dict:
      return "Dict";
    case IterableKind::Tuple:
      return "Tuple";
    case IterableKind::Set:
      return "Set";
  }
  return "?";
}

std::string hex_address(const void* pointer) {
  char digits[2 * sizeof(uintptr_t) + 1];
  auto end =
      std::to_chars(digits, digits + sizeof digits, reinterpret_cast<uintptr_t>(pointer), 16).ptr;
  return "0x" + std::string(digits, end);
}

// The shortest decimal form that reads back as `value`, with ".0" on integral values.
std::string float_text(double value) {
  char digits[32];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  std::string out(digits, end);
  if (std::isfinite(value) && out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

#ifndef PYPY_VERSION
// Eight bytes at a time: stored texts are mostly short, and a loop per byte would cost more than
// the decoder it spares.
bool is_ascii(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    high |= word;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, text.data() + i, text.size() - i);
  return ((high | tail) & kHighBits) == 0;
}
#endif

// A str holding `text`, UTF-8. Most stored texts are ASCII, which CPython's str stores as it is:
// such a text is copied into a new str without running the decoder, which costs as much again.
OwnedRef text_object(std::string_view text) {
#ifndef PYPY_VERSION
  if (is_ascii(text)) {
    OwnedRef str = checked(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
    return str;
  }
#endif
  return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

}  // namespace

StoredIndexable StoredIndexable::from_object(PyObject* indexable) {
  return StoredIndexable{PyHandle::new_reference(indexable)};
}

const IndexableRecord& StoredIndexable::record() const {
  return record_of(python_handle.get());
}

uint32_t StoredIndexable::id() const {
  return record().id;
}

ObjectState& StoredIndexable::state() const {
  return record().state;
}

template <class Primitive>
PyValue::PyValue(PyHandle obj, Primitive&& primitive)
    : obj_(std::move(obj)),
      primitive_(std::forward<Primitive>(primitive)),
      hash_(hash_of(primitive_, obj_.get())) {}

PyValue::PyValue() : PyValue(PyHandle(), UnknownValue{}) {}

PyValue PyValue::from_object(PyObject* borrowed) {
  return from_classified(borrowed, classify(borrowed), false);
}

PyValue PyValue::from_classified(PyObject* borrowed, ValueClass value_class, bool operand) {
  if (is_container(value_class)) return from_container(borrowed, iterable_kind(value_class));
  return from_leaf(borrowed, value_class, operand);
}

PyValue PyValue::for_operand(PyObject* borrowed) {
  ValueClass value_class = classify(borrowed);
  if (is_unencodable_text(borrowed, value_class))
    return PyValue(PyHandle::new_reference(borrowed), UnknownValue{});
  return from_classified(borrowed, value_class, true);
}

PyValue PyValue::from_primitive(CastValue primitive) {
  return PyValue(PyHandle(), std::move(primitive));
}

PyValue PyValue::from_text(std::string_view text) {
  return PyValue(PyHandle(), ShortText(text));
}

PyValue PyValue::from_str_object(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  return from_text(std::string_view(data, static_cast<std::size_t>(size)));
}

PyValue PyValue::from_leaf(PyObject* object, ValueClass value_class, bool operand) {
  // Numbers, text and bools are made anew when read, so they keep no reference to the object
  // (which would cost an allocation and a reference count per value).
  switch (value_class) {
    case ValueClass::Int:
      return PyValue(PyHandle(), integer_value(object, operand));
    case ValueClass::Float:
      return PyValue(PyHandle(), to_double(object));
    case ValueClass::Str:
      return PyValue(PyHandle(), to_text(object));
    case ValueClass::Bool:
      return PyValue(PyHandle(), to_bool(object));
    default:
      break;
  }
  PyHandle handle = PyHandle::new_reference(object);
  if (std::optional<CastValue> keyed = keyed_primitive(object, value_class))
    return PyValue(std::move(handle), std::move(*keyed));
  if (value_class != ValueClass::Ind) return PyValue(std::move(handle), UnknownValue{});
  return from_indexable(std::move(handle));
}

PyValue PyValue::from_indexable(PyHandle handle) {
  // One reference for the value and its stored object, so the value holds exactly one.
  StoredIndexable stored{handle};
  return PyValue(std::move(handle), std::move(stored));
}

PyValue PyValue::from_container(PyObject* container, IterableKind kind) {
  if (std::optional<SharedLeaves> texts = text_leaves(container, kind))
    return PyValue(PyHandle(), IterableValue{std::move(*texts)});
  Elements elements;
  if (kind != IterableKind::Dict && !collect_flat_leaves(container, elements))
    collect_leaves(container, elements);
  return PyValue(PyHandle(), IterableValue{SharedLeaves(kind, container, std::move(elements))});
}

std::optional<SharedLeaves> PyValue::text_leaves(PyObject* container, IterableKind kind) {
#ifndef PYPY_VERSION
  if (!PyList_CheckExact(container) && !PyTuple_CheckExact(container)) return std::nullopt;
  // No Python code runs while the items are read, so the container cannot change meanwhile.
  const std::span<PyObject* const> texts(PySequence_Fast_ITEMS(container),
                                         static_cast<std::size_t>(Py_SIZE(container)));
  for (PyObject* item : texts) {
    if (Py_TYPE(item) != &PyUnicode_Type) return std::nullopt;
    if (!PyUnicode_IS_COMPACT_ASCII(item) && !PyUnicode_AsUTF8AndSize(item, nullptr)) {
      PyErr_Clear();  // refused by the general path
      return std::nullopt;
    }
  }
  return SharedLeaves::of_texts(kind, container, texts);
#else
  (void)container;
  (void)kind;
  return std::nullopt;
#endif
}

bool PyValue::collect_flat_leaves(PyObject* container, Elements& out) {
  const bool list = PyList_CheckExact(container);
  if (!list && !PyTuple_CheckExact(container)) return false;
  // Read by position as the list's own iterator does; the length is read again at every step,
  // since converting a time may run Python code that changes the list.
  const auto size = [&] { return list ? PyList_GET_SIZE(container) : PyTuple_GET_SIZE(container); };
  out.reserve(static_cast<std::size_t>(size()));
  for (Py_ssize_t i = 0; i < size(); ++i) {
    OwnedRef item = OwnedRef::new_reference(list ? PyList_GET_ITEM(container, i)
                                                 : PyTuple_GET_ITEM(container, i));
    ValueClass value_class = classify(item.get());
    if (value_class == ValueClass::Dict) continue;
    if (is_container(value_class)) {
      out.clear();
      return false;
    }
    out.push_back(from_leaf(item.get(), value_class, false));
  }
  return true;
}

void PyValue::collect_leaves(PyObject* root, Elements& out) {
  struct Level {
    OwnedRef container;  // kept alive so that its address stays its own while on the path
    OwnedRef iterator;
  };
  std::vector<Level> path;
  std::unordered_set<PyObject*> on_path;
  auto enter = [&](PyObject* container) {
    path.push_back({OwnedRef::new_reference(container), checked(PyObject_GetIter(container))});
    on_path.insert(container);
  };
  enter(root);
  while (!path.empty()) {
    OwnedRef item = OwnedRef::steal(PyIter_Next(path.back().iterator.get()));
    if (!item) {
      throw_if_failed(!PyErr_Occurred());
      on_path.erase(path.back().container.get());
      path.pop_back();
      continue;
    }
    ValueClass value_class = classify(item.get());
    if (value_class == ValueClass::Dict) continue;
    if (is_container(value_class)) {
      if (!on_path.contains(item.get())) enter(item.get());
    } else {
      out.push_back(from_leaf(item.get(), value_class, false));
    }
  }
}

OwnedRef PyValue::to_object() const {
  switch (kind()) {
    case ValueKind::Int:
      return checked(PyLong_FromLongLong(std::get<int64_t>(primitive_)));
    case ValueKind::Float:
      return checked(PyFloat_FromDouble(std::get<double>(primitive_)));
    case ValueKind::Str:
      return text_object(std::get<ShortText>(primitive_).view());
    case ValueKind::Bool:
      return OwnedRef::new_reference(std::get<bool>(primitive_) ? Py_True : Py_False);
    case ValueKind::Time:
      if (!obj_) return time_object(std::get<TimeValue>(primitive_));
      return obj_.new_ref();
    default:
      check(object() != nullptr, "value has no Python object");
      return OwnedRef::new_reference(object());
  }
}

LeafValues PyValue::elements() const {
  const auto* iterable = std::get_if<IterableValue>(&primitive_);
  if (!iterable) return LeafValues();
  const std::span<PyObject* const> texts = iterable->elements.texts();
  if (texts.empty()) return LeafValues(iterable->elements.cells());
  return LeafValues(texts);
}

std::span<const PyValue> PyValue::element_cells() const {
  const auto* iterable = std::get_if<IterableValue>(&primitive_);
  return iterable ? iterable->elements.cells() : std::span<const PyValue>();
}

LeafValues::LeafValues(std::span<PyObject* const> texts) {
  if (texts.size() > InPlace::kCapacity) {
    on_heap_.reserve(texts.size());
    for (PyObject* text : texts) on_heap_.push_back(PyValue::from_str_object(text));
    view_ = on_heap_;
    return;
  }
  for (PyObject* text : texts) {
    new (in_place_.data() + in_place_.count) PyValue(PyValue::from_str_object(text));
    ++in_place_.count;
  }
  view_ = {in_place_.data(), in_place_.count};
}

bool operator==(const PyValue& a, const PyValue& b) {
  if (a.hash_ != b.hash_) return false;
  const CastValue& other = b.primitive_;
  switch (a.kind()) {
    case ValueKind::Int: {
      auto* number = std::get_if<int64_t>(&other);
      return number && *number == std::get<int64_t>(a.primitive_);
    }
    case ValueKind::Float: {
      auto* number = std::get_if<double>(&other);
      return number && *number == std::get<double>(a.primitive_);
    }
    case ValueKind::Str: {
      auto* text = std::get_if<ShortText>(&other);
      return text && *text == std::get<ShortText>(a.primitive_);
    }
    case ValueKind::Bool: {
      auto* truth = std::get_if<bool>(&other);
      return truth && *truth == std::get<bool>(a.primitive_);
    }
    case ValueKind::Iterable:
      return b.kind() == ValueKind::Iterable && std::get<IterableValue>(a.primitive_).elements ==
                                                    std::get<IterableValue>(b.primitive_).elements;
    case ValueKind::Ind: {
      auto* stored = std::get_if<StoredIndexable>(&other);
      return stored && stored->python_handle.get() ==
                           std::get<StoredIndexable>(a.primitive_).python_handle.get();
    }
    case ValueKind::Unknown:
      return b.kind() == ValueKind::Unknown && a.obj_.get() == b.obj_.get();
    case ValueKind::Bytes: {
      auto* bytes = std::get_if<BytesValue>(&other);
      return bytes && bytes->content == std::get<BytesValue>(a.primitive_).content;
    }
    case ValueKind::Time: {
      auto* time = std::get_if<TimeValue>(&other);
      const TimeValue& value = std::get<TimeValue>(a.primitive_);
      return time && *time == value && !value.is_nat();
    }
    case ValueKind::BigInt: {
      auto* big = std::get_if<BigIntValue>(&other);
      const BigIntValue& value = std::get<BigIntValue>(a.primitive_);
      return big && big->below == value.below && big->above == value.above;
    }
  }
  return false;
}

std::string PyValue::debug_string() const {
  std::string primitive = std::visit(
      Overloaded{
          [](int64_t value) { return "Int(" + std::to_string(value) + ")"; },
          [](double value) { return "Float(" + float_text(value) + ")"; },
          [](const ShortText& text) {
            std::string out = "Str(";
            append_quoted(out, text.view());
            return out + ")";
          },
          [](bool value) { return std::string(value ? "Bool(true)" : "Bool(false)"); },
          [](const IterableValue& iterable) {
            return std::string("Iterable(") + iterable_name(iterable.elements.kind()) + ")";
          },
          [](const StoredIndexable& stored) { return "Ind(" + std::to_string(stored.id()) + ")"; },
          [](UnknownValue) { return std::string("Unknown"); },
          [](const BytesValue& bytes) {
            std::string out = "Bytes(";
            append_quoted_bytes(out, bytes.content.view());
            return out + ")";
          },
          [](const TimeValue& time) {
            return std::string(time_kind_name(time.kind)) + "(" +
                   (time.is_nat() ? std::string("NaT") : std::to_string(time.ticks)) + ")";
          },
          [](const BigIntValue& big) {
            return "BigInt(" + float_text(big.below) + ".." + float_text(big.above) + ")";
          },
      },
      primitive_);
  std::string object = "None";
  if (PyObject* held = this->object()) {
    object = std::string("<") + Py_TYPE(held)->tp_name + " object at " + hex_address(held) + ">";
  }
  return "PyValue { obj: " + object + ", primitave: " + primitive +
         ", hash: " + std::to_string(hash_) + " }";
}

}  // namespace veldrake
