// Attribute ids by the str object naming them. Reads and writes name their attribute with the
// same str objects again and again (the interpreter interns the names in source code), so the id
// found for a str object is remembered beside a reference to that object: a repeated name then
// costs no UTF-8 encoding and no hashing of its text. The check for a remembered id is inline, as
// every attribute read and write of an Indexable starts with it.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace veldrake {

namespace attribute_names_detail {

// One remembered name. A name never interned is remembered as such while the interner holds as
// many names as it held then; `name` holds a strong reference, so its address names no other str.
struct CachedName {
  PyObject* name = nullptr;
  std::optional<uint32_t> id;
  uint32_t interned_names = 0;
};

// Direct-mapped by address, guarded by the interpreter lock; a collision replaces the entry.
inline constexpr std::size_t kCachedNames = 1024;
extern std::array<CachedName, kCachedNames> g_cache;

inline CachedName& slot_of(PyObject* name) {
  // Objects are at least 16-byte aligned on the platforms that matter; the low bits carry nothing.
  return g_cache[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kCachedNames];
}

uint32_t intern_attribute_id(PyObject* name);
std::optional<uint32_t> look_up_attribute_id(PyObject* name);

}  // namespace attribute_names_detail

// The id of the attribute `name`, interning it if new. `name` must be a str: otherwise TypeError;
// a str that cannot be encoded raises UnicodeEncodeError (PythonError thrown). Interpreter lock
// held.
inline uint32_t attribute_id(PyObject* name) {
  const attribute_names_detail::CachedName& slot = attribute_names_detail::slot_of(name);
  if (slot.name == name && slot.id) return *slot.id;
  return attribute_names_detail::intern_attribute_id(name);
}

// The id of `name` when some attribute was ever stored under it; errors as attribute_id.
inline std::optional<uint32_t> known_attribute_id(PyObject* name) {
  const attribute_names_detail::CachedName& slot = attribute_names_detail::slot_of(name);
  if (slot.name == name && slot.id) return slot.id;
  return attribute_names_detail::look_up_attribute_id(name);
}

}  // namespace veldrake
