#include "index/interfaces/classes.h"

#include <structmember.h>

#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/compact_mutex.h"
#include "base/structures/string_interner/interner.h"
#include "index/core/attribute_write.h"
#include "index/core/indexable_object.h"
#include "index/core/map_changes_without_gil.h"
#include "index/core/python/binding.h"
#include "index/core/values/stored_value.h"
#include "index/interfaces/arguments.h"
#include "index/interfaces/attribute_names.h"
#include "index/interfaces/heap_types.h"

namespace veldrake {
namespace {

// Memory of dead objects of the exact Indexable type, kept for the next ones: programs make and
// drop such objects by the million. Subclass instances differ in size and are never kept.
class FreeList {
 public:
  static constexpr std::size_t kCapacity = 512;

  // Room for every block at once: keep() runs in deallocation, which must not fail.
  FreeList() { blocks_.reserve(kCapacity); }

  // A kept block, or nullptr.
  void* take() {
    std::lock_guard lock(mutex_);
    if (blocks_.empty()) return nullptr;
    void* block = blocks_.back();
    blocks_.pop_back();
    return block;
  }
  // Keeps `block` unless the list is full; false when the caller must free it.
  bool keep(void* block) {
    std::lock_guard lock(mutex_);
    if (blocks_.size() >= kCapacity) return false;
    blocks_.push_back(block);
    return true;
  }

 private:
  CompactMutex mutex_;  // taken for a few instructions, most often by one thread
  std::vector<void*> blocks_;
};

// Never destroyed: objects may die while the process exits.
FreeList& free_list() {
  static FreeList* const instance = new FreeList();
  return *instance;
}

// A new object of `type` whose record takes `id`, from the free list when the type allows it.
// The record is made in place before any Python code can run, so the cycle collector, which
// tracks a freshly allocated object at once, never sees the object without it.
OwnedRef allocate_object(PyTypeObject* type, uint32_t id) {
  void* block = type == registered_indexable_type() ? free_list().take() : nullptr;
  OwnedRef self;
  if (block) {
    self = OwnedRef::steal(PyObject_Init(static_cast<PyObject*>(block), type));
  } else {
    try {
      self = allocate_instance(type);
    } catch (const PythonError&) {
      release_id(id);
      throw;
    }
  }
  new (&native_of<IndexableRecord>(self.get())) IndexableRecord(id, self.get());
  weak_references_of(self.get()) = nullptr;
  if (block) PyObject_GC_Track(self.get());
  return self;
}

// True when a class of `type`'s method resolution order defines `name` as a data descriptor
// written by user logic (a property with a setter, __dict__): for instances of subclasses such
// names keep their usual meaning instead of becoming stored attributes. A slot (`__slots__`, a
// dataclass with slots=True) only reserves room for a value, so its name is stored like any other.
// What the first class of `type`'s method resolution order that defines `name` binds it to
// (borrowed), or null; found without raising, since callers ask on every construction.
PyObject* class_attribute(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    // The field, not PyType_GetSlot: before 3.10 (and on PyPy) that refuses static types.
    PyObject* found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (found) return found;
    throw_if_failed(!PyErr_Occurred());
  }
  return nullptr;
}

bool names_data_descriptor(PyTypeObject* type, PyObject* name) {
  PyObject* found = class_attribute(type, name);
  return found && Py_TYPE(found)->tp_descr_set != nullptr &&
         std::string_view(Py_TYPE(found)->tp_name) != "member_descriptor";
}

// Frozen dataclasses set their fields with object.__setattr__, which would put them beside the
// attribute map where no index sees them; such classes are refused when instantiated.
void refuse_frozen_dataclass(PyTypeObject* type) {
  OwnedRef key = checked(PyUnicode_InternFromString("__dataclass_params__"));
  PyObject* params = class_attribute(type, key.get());
  if (!params) return;
  OwnedRef frozen = checked(PyObject_GetAttrString(params, "frozen"));
  if (PyObject_IsTrue(frozen.get()) == 1) {
    raise_type_error(std::string(type->tp_name) +
                     ": a frozen dataclass cannot be Indexable, as its fields would bypass the "
                     "indexes; drop frozen=True (or keep the frozen object as an attribute value)");
  }
}

void store_keywords(PyObject* self, PyObject* kwargs) {
  record_of(self).state.attributes.reserve(static_cast<std::size_t>(PyDict_Size(kwargs)));
  const bool subclass = Py_TYPE(self) != registered_indexable_type();
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    // A name that cannot be encoded (a lone surrogate) is refused as an attribute write refuses it.
    const uint32_t id = attribute_id(key);
    // A keyword means what an attribute write would: a subclass's property setter runs.
    if (subclass && names_data_descriptor(Py_TYPE(self), key)) {
      throw_if_failed(PyObject_GenericSetAttr(self, key, value) == 0);
      continue;
    }
    // The object is not shared yet, so its state needs no lock.
    record_of(self).state.attributes.insert(id, StoredValue::from_object(value));
  }
}

PyObject* indexable_new(PyTypeObject* type, PyObject*, PyObject* kwargs) {
  return guarded_object([&] {
    // Registered, as the class exists. CPython's __new__ wrapper refuses
    // `Indexable.__new__(Index)`; PyPy's does not check.
    PyTypeObject* const indexable = registered_indexable_type();
    if (!PyType_IsSubtype(type, indexable)) {
      raise_type_error(std::string("Indexable.__new__(") + type->tp_name +
                       "): not a subtype of Indexable");
    }
    if (type != indexable) refuse_frozen_dataclass(type);
    // The id first: when none is left, nothing has been made.
    OwnedRef self = allocate_object(type, allocate_id());
    // From here a failure releases the object, and with it the id.
    if (kwargs) store_keywords(self.get(), kwargs);
    return self;
  });
}

// Reports the objects held by the attribute values. They are collected under the object's lock and
// reported after it, since a visitor may allocate and so run a collection that locks objects; they
// stay alive meanwhile, as releases made without the interpreter lock wait for it.
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const IndexableRecord& record = record_of(self);
  // The collector must never see an exception: nothing is allocated, and the lock is taken even
  // after a failed write poisoned it. The visit callbacks run no Python code and take no lock of
  // ours, so they are called with the object locked.
  auto guard = record.state.lock.lock_ignoring_poison();
  for (const auto& [attr, value] : record.state.attributes) {
    Py_VISIT(value.object());
    for (const PyValue& element : value.element_cells()) Py_VISIT(element.object());
  }
  return 0;
}

// Drops the attribute values, breaking the cycles they close. Only unreachable objects are
// cleared, and every index holding an object keeps it reachable, so no index is affected.
int indexable_clear(PyObject* self) {
  const IndexableRecord& record = record_of(self);
  AttributeMap dropped;
  {
    auto guard = record.state.lock.lock();
    std::swap(dropped, record.state.attributes);
    guard.commit();
  }
  return 0;
}

// Keeps the memory of an exact Indexable for the next one when the free list has room.
void release_memory(PyObject* self) {
  if (Py_TYPE(self) != registered_indexable_type() || !free_list().keep(self)) free_instance(self);
}

void indexable_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (weak_references_of(self)) PyObject_ClearWeakRefs(self);
    // Dropping the attributes may drop the last reference to the next object of a long chain;
    // the trashcan defers such nested deallocations instead of recursing on the C stack.
#ifdef Py_TRASHCAN_BEGIN
  Py_TRASHCAN_BEGIN(self, indexable_dealloc)
#endif
      delete_native_object<IndexableRecord>(self, release_memory);
#ifdef Py_TRASHCAN_BEGIN
  Py_TRASHCAN_END
#endif
}

[[noreturn]] void raise_no_attribute(PyObject* name) {
  PyErr_Clear();
  OwnedRef error = checked(PyObject_CallFunctionObjArgs(PyExc_AttributeError, name, nullptr));
  PyErr_SetObject(PyExc_AttributeError, error.get());
  throw PythonError();
}

// The stored attribute as a Python object, or null when there is none. The object is made while
// nothing can change the map: making an int, float, str or bool, or taking a reference, runs no
// Python code and never waits for a lock. Only a time stored without its object is copied out
// first, since its constructor is Python code. The map is read without the object's lock while no
// write can change a map without the interpreter lock (see map_changes_without_gil.h); a poisoned
// lock refuses the read either way.
OwnedRef stored_attribute(const IndexableRecord& record, uint32_t attr) {
  if (MapChangeWithoutGil::none_in_flight()) {
    if (record.state.lock.is_poisoned()) internal_error(kPoisonedLock);
    const StoredValue* value = record.state.attributes.get(attr);
    if (!value) return OwnedRef();
    if (!value->is_time_without_object()) return value->to_object();
    return value->value().to_object();  // the map is not read again
  }
  std::optional<PyValue> time;
  {
    auto guard = record.state.lock.lock_to_read();
    const StoredValue* value = record.state.attributes.get(attr);
    if (!value) return OwnedRef();
    if (!value->is_time_without_object()) return value->to_object();
    time = value->value();
  }
  return time->to_object();
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  return guarded_object([&] {
    std::optional<uint32_t> attr;  // none for a name never stored, on this object or another
    try {
      attr = known_attribute_id(name);
    } catch (const PythonError&) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw;
      raise_no_attribute(name);
    }
    if (attr) {
      if (OwnedRef value = stored_attribute(record_of(self), *attr)) return value;
    }
    // Methods, class attributes and a subclass's own __dict__.
    OwnedRef found = OwnedRef::steal(PyObject_GenericGetAttr(self, name));
    if (!found && PyErr_ExceptionMatches(PyExc_AttributeError)) raise_no_attribute(name);
    throw_if_failed(static_cast<bool>(found));
    return found;
  });
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return guarded([&] {
    const uint32_t attr = attribute_id(name);
    if (!value) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      throw PythonError();
    }
    if (Py_TYPE(self) != registered_indexable_type() &&
        names_data_descriptor(Py_TYPE(self), name)) {
      throw_if_failed(PyObject_GenericSetAttr(self, name, value) == 0);
      return 0;
    }
    write_attribute(record_of(self), attr, StoredValue::from_object(value));
    return 0;
  });
}

PyObject* indexable_repr(PyObject* self) {
  return guarded_object([&] {
    const IndexableRecord& record = record_of(self);
    std::size_t count = 0;
    {
      auto guard = record.state.lock.lock_to_read();
      count = record.state.attributes.size();
    }
    std::string text = "<Indexable with " + std::to_string(count) + " attributes>";
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

// The name of attribute `id` as a str; every stored name was interned before it was stored.
OwnedRef name_object(uint32_t id) {
  std::string_view name = interner().name_of(id);
  return checked(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
}

// The stored names in map order, then what object.__dir__ lists.
PyObject* indexable_dir(PyObject* self, PyObject*) {
  return guarded_object([&] {
    const IndexableRecord& record = record_of(self);
    std::vector<uint32_t> ids;
    {
      auto guard = record.state.lock.lock_to_read();
      ids = record.state.attributes.keys();
    }
    OwnedRef result = checked(PyList_New(0));
    for (uint32_t id : ids)
      throw_if_failed(PyList_Append(result.get(), name_object(id).get()) == 0);
    OwnedRef object_dir =
        checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__dir__"));
    OwnedRef inherited = checked(PyObject_CallFunctionObjArgs(object_dir.get(), self, nullptr));
    if (!PyList_Check(inherited.get())) raise_type_error("object.__dir__() did not return a list");
    throw_if_failed(
        PyList_SetSlice(result.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, inherited.get()) == 0);
    return result;
  });
}

// __init__: Indexable's own keywords were stored by __new__; a subclass's __init__ calling
// super().__init__(**attributes) has them stored as attribute writes.
int indexable_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    (void)args;  // positional arguments are accepted and ignored, as by the constructor
    if (Py_TYPE(self)->tp_init == indexable_init || !kwargs) return 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value))
      throw_if_failed(PyObject_SetAttr(self, key, value) == 0);
    return 0;
  });
}

// The stored attributes, as a dict from name to value.
OwnedRef stored_attributes(PyObject* self) {
  const IndexableRecord& record = record_of(self);
  std::vector<std::pair<uint32_t, PyValue>> values;
  {
    auto guard = record.state.lock.lock_to_read();
    for (const auto& [attr, value] : record.state.attributes)
      values.emplace_back(attr, value.value());
  }
  OwnedRef state = checked(PyDict_New());
  for (const auto& [attr, value] : values) {
    throw_if_failed(PyDict_SetItem(state.get(), name_object(attr).get(), value.to_object().get()) ==
                    0);
  }
  return state;
}

// Pickling and copying: a new object of the same class, made without calling __init__, then
// given the stored attributes (__setstate__), so nested objects and cycles come along.
PyObject* indexable_reduce_ex(PyObject* self, PyObject* protocol) {
  return guarded_object([&] {
    (void)protocol;
    OwnedRef copyreg = checked(PyImport_ImportModule("copyreg"));
    OwnedRef make = checked(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
    OwnedRef args = checked(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    OwnedRef state = stored_attributes(self);
    return checked(PyTuple_Pack(3, make.get(), args.get(), state.get()));
  });
}

PyObject* indexable_setstate(PyObject* self, PyObject* state) {
  return guarded_object([&] {
    if (!PyDict_Check(state)) raise_type_error("__setstate__ expects a dict of attributes");
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(state, &position, &key, &value)) {
      write_attribute(record_of(self), attribute_id(key), StoredValue::from_object(value));
    }
    return OwnedRef::new_reference(Py_None);
  });
}

PyMemberDef g_members[] = {
    {"__weaklistoffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(IndexableObject, weak_references)), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef g_methods[] = {
    {"__dir__", method_entry(indexable_dir), METH_NOARGS,
     "The stored attribute names, then those object.__dir__ gives."},
    {"__reduce_ex__", method_entry(indexable_reduce_ex), METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\n"
     "For pickle and copy: a new object of the same class with the stored attributes."},
    {"__setstate__", method_entry(indexable_setstate), METH_O,
     "__setstate__($self, state, /)\n--\n\nStores the attributes of the dict `state`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {Py_tp_new, slot_entry(indexable_new)},
    {Py_tp_init, slot_entry(indexable_init)},
    {Py_tp_members, g_members},
    {Py_tp_dealloc, slot_entry(indexable_dealloc)},
    {Py_tp_traverse, slot_entry(indexable_traverse)},
    {Py_tp_clear, slot_entry(indexable_clear)},
    {Py_tp_getattro, slot_entry(indexable_getattro)},
    {Py_tp_setattro, slot_entry(indexable_setattro)},
    {Py_tp_repr, slot_entry(indexable_repr)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_type_spec = {
    "Veldrake.Indexable",
    static_cast<int>(sizeof(IndexableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    g_slots,
};

ProcessObject g_type;

}  // namespace

PyTypeObject* indexable_type() {
  auto* type = reinterpret_cast<PyTypeObject*>(g_type.get([] {
    return OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(g_type_spec, "Indexable")));
  }));
  // The engine tells Indexables from other values by this type.
  if (type) register_indexable_type(type);
  return type;
}

}  // namespace veldrake
