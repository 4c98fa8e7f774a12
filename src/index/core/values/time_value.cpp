#include "index/core/values/time_value.h"

#include <datetime.h>

#include <string_view>

#include "index/core/python/binding.h"

namespace veldrake {
namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;

// The datetime module's C interface, imported on first use; nullptr if that fails.
PyDateTime_CAPI* datetime_api() {
  if (!PyDateTimeAPI) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) PyErr_Clear();
  }
  return PyDateTimeAPI;
}

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = floor_div(year, 400);
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

struct Civil {
  int year, month, day;
};

Civil civil_from_days(int64_t days) {
  days += 719468;
  const int64_t era = floor_div(days, 146097);
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  return {static_cast<int>(year_of_era + era * 400 + (month <= 2)), month, day};
}

// a * b + c, or none on overflow.
std::optional<int64_t> multiply_add(int64_t a, int64_t b, int64_t c) {
  int64_t product = 0;
  int64_t sum = 0;
  if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum))
    return std::nullopt;
  return sum;
}

std::optional<int64_t> delta_micros(PyObject* delta) {
  const int64_t seconds = int64_t{PyDateTime_DELTA_GET_SECONDS(delta)} * kMicrosPerSecond +
                          PyDateTime_DELTA_GET_MICROSECONDS(delta);
  return multiply_add(PyDateTime_DELTA_GET_DAYS(delta), kMicrosPerDay, seconds);
}

// A datetime subclass that keeps time below the microsecond (pandas' Timestamp keeps
// nanoseconds) cannot be keyed in microseconds unless that part is zero.
bool has_finer_part(PyObject* datetime) {
  if (PyDateTime_CheckExact(datetime)) return false;
  OwnedRef nanoseconds = OwnedRef::steal(PyObject_GetAttrString(datetime, "nanosecond"));
  if (!nanoseconds) {
    PyErr_Clear();
    return false;
  }
  int truth = PyObject_IsTrue(nanoseconds.get());
  if (truth < 0) PyErr_Clear();
  return truth != 0;
}

// The UTC offset of an aware datetime in microseconds; 0 with `naive` set when its tzinfo gives
// none; no value when the tzinfo fails.
std::optional<int64_t> utc_offset(PyObject* datetime, PyObject* tzinfo, bool& naive) {
  naive = tzinfo == Py_None;
  if (naive || tzinfo == PyDateTime_TimeZone_UTC) return 0;
  OwnedRef offset = OwnedRef::steal(PyObject_CallMethod(datetime, "utcoffset", nullptr));
  if (!offset || (offset.get() != Py_None && !PyDelta_Check(offset.get()))) {
    PyErr_Clear();
    return std::nullopt;
  }
  naive = offset.get() == Py_None;
  return naive ? std::optional<int64_t>(0) : delta_micros(offset.get());
}

std::optional<TimeValue> datetime_value(PyObject* datetime) {
  if (has_finer_part(datetime)) return std::nullopt;
  const int64_t days = days_from_civil(
      PyDateTime_GET_YEAR(datetime), PyDateTime_GET_MONTH(datetime), PyDateTime_GET_DAY(datetime));
  const int64_t seconds = int64_t{PyDateTime_DATE_GET_HOUR(datetime)} * 3600 +
                          PyDateTime_DATE_GET_MINUTE(datetime) * 60 +
                          PyDateTime_DATE_GET_SECOND(datetime);
  const int64_t local =
      days * kMicrosPerDay + seconds * kMicrosPerSecond + PyDateTime_DATE_GET_MICROSECOND(datetime);
  auto* fields = reinterpret_cast<PyDateTime_DateTime*>(datetime);
  PyObject* tzinfo = fields->hastzinfo ? fields->tzinfo : Py_None;
  bool naive = true;
  std::optional<int64_t> offset = utc_offset(datetime, tzinfo, naive);
  if (!offset) return std::nullopt;
  if (naive) return TimeValue{OrderedKind::kNaiveDateTime, local};
  return TimeValue{OrderedKind::kAwareDateTime, local - *offset};
}

// numpy's dtype text ("<M8[ns]", "<m8[15s]", "<M8" for no unit): the count and the unit.
bool parse_unit(std::string_view dtype, int64_t& count, std::string_view& unit) {
  const std::size_t open = dtype.find('[');
  if (open == std::string_view::npos || dtype.back() != ']') return false;
  std::string_view inside = dtype.substr(open + 1, dtype.size() - open - 2);
  std::size_t digits = 0;
  count = 0;
  while (digits < inside.size() && inside[digits] >= '0' && inside[digits] <= '9' &&
         count < 1'000'000'000)
    count = count * 10 + (inside[digits++] - '0');
  if (digits == 0) count = 1;
  unit = inside.substr(digits);
  return count > 0;
}

// `amount` of `unit` in nanoseconds; none when not exact or out of range. Months and years
// count from 1970-01 by the calendar, so they only exist for points in time.
std::optional<int64_t> to_nanoseconds(int64_t amount, std::string_view unit, bool point) {
  struct Linear {
    std::string_view unit;
    int64_t nanoseconds;
  };
  static constexpr Linear kLinear[] = {{"W", 604'800'000'000'000},
                                       {"D", 86'400'000'000'000},
                                       {"h", 3'600'000'000'000},
                                       {"m", 60'000'000'000},
                                       {"s", 1'000'000'000},
                                       {"ms", 1'000'000},
                                       {"us", 1'000},
                                       {"ns", 1}};
  for (const Linear& linear : kLinear)
    if (unit == linear.unit) return multiply_add(amount, linear.nanoseconds, 0);
  static constexpr Linear kFiner[] = {{"ps", 1'000}, {"fs", 1'000'000}, {"as", 1'000'000'000}};
  for (const Linear& finer : kFiner) {
    if (unit == finer.unit) {
      if (amount % finer.nanoseconds != 0) return std::nullopt;
      return amount / finer.nanoseconds;
    }
  }
  if (!point || (unit != "Y" && unit != "M")) return std::nullopt;
  std::optional<int64_t> months = multiply_add(amount, unit == "Y" ? 12 : 1, 0);
  // Beyond ten million years the day count below could overflow; no such time has a key.
  if (!months || *months > 120'000'000 || *months < -120'000'000) return std::nullopt;
  const int64_t year = 1970 + floor_div(*months, 12);
  const int month = static_cast<int>(*months - floor_div(*months, 12) * 12) + 1;
  return multiply_add(days_from_civil(year, month, 1), 86'400'000'000'000, 0);
}

std::optional<TimeValue> numpy_value(PyObject* object, OrderedKind kind) {
  OwnedRef raw = OwnedRef::steal(PyObject_CallMethod(object, "astype", "s", "int64"));
  OwnedRef integer = raw ? OwnedRef::steal(PyNumber_Index(raw.get())) : OwnedRef();
  OwnedRef dtype = OwnedRef::steal(PyObject_GetAttrString(object, "dtype"));
  OwnedRef text = dtype ? OwnedRef::steal(PyObject_GetAttrString(dtype.get(), "str")) : OwnedRef();
  if (!integer || !text || !PyUnicode_Check(text.get())) return std::nullopt;
  const long long amount = PyLong_AsLongLong(integer.get());
  if (amount == -1 && PyErr_Occurred()) return std::nullopt;
  if (amount == TimeValue::kNotATime) return TimeValue{kind, TimeValue::kNotATime};
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) return std::nullopt;
  int64_t count = 0;
  std::string_view unit;
  if (!parse_unit(std::string_view(utf8, static_cast<std::size_t>(size)), count, unit))
    return std::nullopt;
  std::optional<int64_t> scaled = multiply_add(amount, count, 0);
  std::optional<int64_t> nanoseconds =
      scaled ? to_nanoseconds(*scaled, unit, kind == OrderedKind::kNumpyDateTime) : std::nullopt;
  // The smallest count is numpy's NaT, never a time.
  if (!nanoseconds || *nanoseconds == TimeValue::kNotATime) return std::nullopt;
  return TimeValue{kind, *nanoseconds};
}

OwnedRef numpy_object(const TimeValue& value) {
  OwnedRef numpy = checked(PyImport_ImportModule("numpy"));
  const char* type = value.kind == OrderedKind::kNumpyDateTime ? "datetime64" : "timedelta64";
  if (value.is_nat()) return checked(PyObject_CallMethod(numpy.get(), type, "s", "NaT"));
  return checked(
      PyObject_CallMethod(numpy.get(), type, "Ls", static_cast<long long>(value.ticks), "ns"));
}

}  // namespace

bool is_python_time(PyObject* object) {
  PyDateTime_CAPI* api = datetime_api();
  if (!api) return false;
  PyTypeObject* type = Py_TYPE(object);
  if (type == api->DateTimeType || type == api->DateType || type == api->DeltaType) return true;
  return PyType_IsSubtype(type, api->DateType) || PyType_IsSubtype(type, api->DeltaType);
}

std::optional<TimeValue> python_time_value(PyObject* object) {
  if (PyDateTime_Check(object)) return datetime_value(object);
  if (PyDelta_Check(object)) {
    std::optional<int64_t> micros = delta_micros(object);
    if (!micros) return std::nullopt;
    return TimeValue{OrderedKind::kTimeDelta, *micros};
  }
  return TimeValue{OrderedKind::kDate,
                   days_from_civil(PyDateTime_GET_YEAR(object), PyDateTime_GET_MONTH(object),
                                   PyDateTime_GET_DAY(object))};
}

std::optional<TimeValue> field_time_value(PyObject* object) {
#ifdef PYPY_VERSION
  // PyPy reads the fields through calls that need the interpreter lock.
  (void)object;
  return std::nullopt;
#else
  PyDateTime_CAPI* api = PyDateTimeAPI;
  if (!api) return std::nullopt;
  PyTypeObject* type = Py_TYPE(object);
  if (type == api->DateTimeType) {
    auto* fields = reinterpret_cast<PyDateTime_DateTime*>(object);
    // Any other tzinfo gives its offset only by a call.
    if (fields->hastzinfo && fields->tzinfo != Py_None && fields->tzinfo != api->TimeZone_UTC)
      return std::nullopt;
    return datetime_value(object);
  }
  if (type == api->DateType || type == api->DeltaType) return python_time_value(object);
  return std::nullopt;
#endif
}

std::optional<TimeValue> numpy_time_value(PyObject* object, OrderedKind kind) {
  std::optional<TimeValue> value = numpy_value(object, kind);
  if (!value) PyErr_Clear();
  return value;
}

OwnedRef time_object(const TimeValue& value) {
  PyDateTime_CAPI* api = datetime_api();
  check(api != nullptr, "datetime module missing");
  const int64_t days = floor_div(value.ticks, kMicrosPerDay);
  const int64_t micros = value.ticks - days * kMicrosPerDay;
  const int64_t seconds = micros / kMicrosPerSecond;
  switch (value.kind) {
    case OrderedKind::kDate: {
      Civil day = civil_from_days(value.ticks);
      return checked(PyDate_FromDate(day.year, day.month, day.day));
    }
    case OrderedKind::kNaiveDateTime:
    case OrderedKind::kAwareDateTime: {
      Civil day = civil_from_days(days);
      PyObject* tzinfo =
          value.kind == OrderedKind::kAwareDateTime ? PyDateTime_TimeZone_UTC : Py_None;
      return checked(api->DateTime_FromDateAndTime(
          day.year, day.month, day.day, static_cast<int>(seconds / 3600),
          static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60),
          static_cast<int>(micros % kMicrosPerSecond), tzinfo, api->DateTimeType));
    }
    case OrderedKind::kTimeDelta:
      return checked(PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(seconds),
                                     static_cast<int>(micros % kMicrosPerSecond)));
    case OrderedKind::kNumpyDateTime:
    case OrderedKind::kNumpyTimeDelta:
      return numpy_object(value);
    case OrderedKind::kNumber:
      break;
  }
  internal_error("not a time kind");
}

const char* time_kind_name(OrderedKind kind) {
  switch (kind) {
    case OrderedKind::kDate:
      return "Date";
    case OrderedKind::kNaiveDateTime:
      return "DateTime";
    case OrderedKind::kAwareDateTime:
      return "AwareDateTime";
    case OrderedKind::kTimeDelta:
      return "TimeDelta";
    case OrderedKind::kNumpyDateTime:
      return "DateTime64";
    case OrderedKind::kNumpyTimeDelta:
      return "TimeDelta64";
    case OrderedKind::kNumber:
      break;
  }
  return "Number";
}

}  // namespace veldrake
