// Attribute ids by the str object naming them. Reads and writes name their attribute with the
// same str objects again and again (the interpreter interns the names in source code), so the id
// found for a str object is remembered beside a reference to that object: a repeated name then
// costs no UTF-8 encoding and no hashing of its text.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace veldrake {

// The id of the attribute `name`, interning it if new. `name` must be a str: otherwise TypeError;
// a str that cannot be encoded raises UnicodeEncodeError (PythonError thrown). Interpreter lock
// held.
uint32_t attribute_id(PyObject* name);

// The id of `name` when some attribute was ever stored under it; errors as attribute_id.
std::optional<uint32_t> known_attribute_id(PyObject* name);

}  // namespace veldrake
