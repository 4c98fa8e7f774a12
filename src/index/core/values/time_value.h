// Dates and times as ordered keys: each value becomes a count of its kind's unit, exact, so
// that equal values meet and ranges are tree searches.
//
//   date                  days since 1970-01-01
//   naive datetime        microseconds since 1970-01-01T00:00
//   aware datetime        microseconds since 1970-01-01T00:00 UTC (its UTC instant)
//   timedelta             microseconds
//   numpy.datetime64      nanoseconds since 1970-01-01T00:00, whatever its unit
//   numpy.timedelta64     nanoseconds
//
// A value that no count of the unit states exactly (a timedelta beyond 2^63 microseconds, a
// datetime64 outside 1678..2262 or finer than nanoseconds, a datetime whose tzinfo fails, a
// subclass carrying nanoseconds) has no key and is matched by identity instead.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "base/structures/b_tree/ordered_index.h"
#include "index/core/python/python_ref.h"

namespace veldrake {

struct TimeValue {
  // numpy's NaT: a time of no order, equal to nothing.
  static constexpr int64_t kNotATime = std::numeric_limits<int64_t>::min();

  OrderedKind kind;
  int64_t ticks;

  bool is_nat() const { return ticks == kNotATime; }
  bool operator==(const TimeValue&) const = default;
};

// Whether `object` is a date, datetime or timedelta (subclasses included). Interpreter lock held.
bool is_python_time(PyObject* object);
// The key of a date, datetime or timedelta, or of a numpy datetime64 or timedelta64; none when
// it has no exact key. Interpreter lock held; leaves no exception set.
std::optional<TimeValue> python_time_value(PyObject* object);
std::optional<TimeValue> numpy_time_value(PyObject* object, OrderedKind kind);
// The key of an exact date or timedelta, or of an exact datetime naive or in UTC, read from its
// fields alone: no Python code runs, so any thread may ask it while the object lives. None for
// any other object, and before the datetime module's C interface was first used.
std::optional<TimeValue> field_time_value(PyObject* object);
// A new object of the value's kind and key (aware datetimes in UTC). Interpreter lock held.
OwnedRef time_object(const TimeValue& value);
// The kind's name in the debug form of values.
const char* time_kind_name(OrderedKind kind);

}  // namespace veldrake
