#include "index/interfaces/attribute_names.h"

#include <array>
#include <cstddef>

#include "base/structures/string_interner/interner.h"
#include "index/interfaces/arguments.h"

namespace veldrake {
namespace {

// One remembered name. A name never interned is remembered as such while the interner holds as
// many names as it held then; `name` holds a strong reference, so its address names no other str.
struct CachedName {
  PyObject* name = nullptr;
  std::optional<uint32_t> id;
  uint32_t interned_names = 0;
};

// Direct-mapped by address, guarded by the interpreter lock; a collision replaces the entry.
constexpr std::size_t kCachedNames = 1024;
std::array<CachedName, kCachedNames> g_cache;

CachedName& slot_of(PyObject* name) {
  // Objects are at least 16-byte aligned on the platforms that matter; the low bits carry nothing.
  return g_cache[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kCachedNames];
}

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

uint32_t attribute_id(PyObject* name) {
  CachedName& slot = slot_of(name);
  if (slot.name == name && slot.id) return *slot.id;
  uint32_t id = interner().intern(convert_argument("name", name, text_argument));
  remember(slot, name, id, 0);
  return id;
}

std::optional<uint32_t> known_attribute_id(PyObject* name) {
  CachedName& slot = slot_of(name);
  if (slot.name == name && (slot.id || slot.interned_names == interner().size())) return slot.id;
  const uint32_t interned_names = interner().size();
  std::optional<uint32_t> id = interner().lookup(convert_argument("name", name, text_argument));
  remember(slot, name, id, interned_names);
  return id;
}

}  // namespace veldrake
