#include "index/interfaces/attribute_names.h"

#include "base/structures/string_interner/interner.h"
#include "index/interfaces/arguments.h"

namespace veldrake {
namespace attribute_names_detail {

std::array<CachedName, kCachedNames> g_cache;

namespace {

// `interned_names`: the interner's size before `id` was looked up.
void remember(CachedName& slot, PyObject* name, std::optional<uint32_t> id,
              uint32_t interned_names) {
  // Only exact str objects: a subclass could define its own equality, and a str's text never
  // changes.
  if (!PyUnicode_CheckExact(name)) return;
  Py_INCREF(name);
  PyObject* previous = slot.name;
  slot = CachedName{name, id, interned_names};
  Py_XDECREF(previous);
}

}  // namespace

uint32_t intern_attribute_id(PyObject* name) {
  uint32_t id = interner().intern(convert_argument("name", name, text_argument));
  remember(slot_of(name), name, id, 0);
  return id;
}

std::optional<uint32_t> look_up_attribute_id(PyObject* name) {
  CachedName& slot = slot_of(name);
  if (slot.name == name && slot.interned_names == interner().size()) return slot.id;
  const uint32_t interned_names = interner().size();
  std::optional<uint32_t> id = interner().lookup(convert_argument("name", name, text_argument));
  remember(slot, name, id, interned_names);
  return id;
}

}  // namespace attribute_names_detail
}  // namespace veldrake
