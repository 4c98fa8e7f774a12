// Which stored form a Python object takes, decided by its exact type (a subclass of int, float,
// str or bool is not taken for its base: its own behaviour could not be kept).
#pragma once

#include <Python.h>

#include <cstdint>

namespace veldrake {

enum class ValueClass : uint8_t {
  Int,
  Float,
  Str,
  Bool,
  Ind,
  List,
  Tuple,
  Dict,
  Set,
  Bytes,
  Time,  // date, datetime, timedelta
  NumpyDateTime,
  NumpyTimeDelta,
  Unknown,
};

// Interpreter lock held. Never fails; the first call imports numpy if it is installed, for its
// scalar types: its integers and floats of every width count as int and float (not longdouble,
// which a float cannot hold), numpy.str_ and bool as str and bool.
ValueClass classify(PyObject* object);

}  // namespace veldrake
