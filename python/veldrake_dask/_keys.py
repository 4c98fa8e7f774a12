"""Where an object lives and where it ranks: pure functions the client and the workers share."""

from __future__ import annotations

import datetime
import hashlib
import math
from typing import Any

from Veldrake import Indexable

_CONTAINERS = (list, tuple, set, frozenset)


def key_bytes(value: Any) -> bytes:
    """The canonical encoding of a key value, the same in every process.

    Values the index holds equal encode equally: an integral float encodes as its integer
    (1 and 1.0 are one key), and booleans are not numbers (True is not 1).
    """
    if isinstance(value, bool):
        return b"b1" if value else b"b0"
    if isinstance(value, float) and math.isfinite(value) and value.is_integer():
        value = int(value)
    if isinstance(value, int):
        return b"i" + str(value).encode()
    if isinstance(value, float):
        if math.isnan(value):
            raise ValueError("NaN cannot be a key: it equals nothing, not even itself")
        return b"f" + value.hex().encode()
    if isinstance(value, str):
        return b"s" + value.encode("utf-8", "surrogatepass")
    if isinstance(value, bytes):
        return b"y" + value
    raise TypeError(f"a key must be a str, bytes, int, float or bool, not {type(value).__name__}")


def partition_of(value: Any, partitions: int) -> int:
    """The partition that holds the objects whose key is `value`.

    A keyed hash of the canonical encoding: unlike `hash()` of a string, it is not salted per
    process, so every client and every run routes a key to the same partition.
    """
    digest = hashlib.blake2b(key_bytes(value), digest_size=8).digest()
    return int.from_bytes(digest, "little") % partitions


# Units of numpy times as nanoseconds; months and years count calendar months instead.
_NANOSECONDS = {"W": 604800 * 10**9, "D": 86400 * 10**9, "h": 3600 * 10**9, "m": 60 * 10**9,
                "s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
_NO_KIND = 7  # ranks after the seven ordered kinds
_KEY_LIMIT = 2**63  # times are keyed as 64-bit counts; beyond them they have no order


def _numpy_nanoseconds(value: Any, point: bool) -> int | None:
    """A numpy datetime64 (`point`) or timedelta64 as an exact count of nanoseconds since 1970
    (or in all); None for NaT and for values no 64-bit count states."""
    import numpy

    if numpy.isnat(value):
        return None
    unit, count = numpy.datetime_data(value.dtype)
    amount = int(value.astype("int64")) * count
    if unit in ("Y", "M"):
        months = amount * 12 if unit == "Y" else amount
        if not point or not 1 <= 1970 + months // 12 <= 9999:
            return None
        start = datetime.date(1970 + months // 12, months % 12 + 1, 1)
        amount, unit = (start - datetime.date(1970, 1, 1)).days, "D"
    if unit not in _NANOSECONDS:
        return None
    ns = amount * _NANOSECONDS[unit]
    return ns if -_KEY_LIMIT < ns < _KEY_LIMIT else None


def _microseconds(delta: datetime.timedelta) -> int:
    return (delta.days * 86400 + delta.seconds) * 10**6 + delta.microseconds


def _ordered_key(value: Any) -> tuple[int, int | float] | None:
    """(kind, key) of a value the index orders, kinds numbered in the index's order (numbers,
    dates, naive datetimes, aware datetimes, timedeltas, numpy datetime64s and timedelta64s);
    None for others, NaN and NaT included."""
    module = type(value).__module__
    if module == "numpy":
        import numpy

        if isinstance(value, (numpy.datetime64, numpy.timedelta64)):
            point = isinstance(value, numpy.datetime64)
            ns = _numpy_nanoseconds(value, point)
            return None if ns is None else (5 if point else 6, ns)
        if isinstance(value, (numpy.integer, numpy.floating)) and not isinstance(
            value, numpy.longdouble
        ):
            value = value.item()
    if isinstance(value, bool):
        return None
    if isinstance(value, (int, float)):
        return None if isinstance(value, float) and math.isnan(value) else (0, value)
    try:
        if isinstance(value, datetime.datetime):
            offset = value.utcoffset()
            naive = value.replace(tzinfo=None) - (offset or datetime.timedelta(0))
            return (2 if offset is None else 3, _microseconds(naive - datetime.datetime.min))
        if isinstance(value, datetime.date):
            return (1, value.toordinal())
    except Exception:  # a tzinfo that fails: the index holds such a value by identity
        return None
    if isinstance(value, datetime.timedelta):
        micros = _microseconds(value)
        return (4, micros) if -_KEY_LIMIT < micros < _KEY_LIMIT else None
    return None


def _ordered_keys(value: Any) -> list[tuple[int, int | float]]:
    """The ordered keys `value` holds as the index sees them: containers element by element at
    any depth."""
    if isinstance(value, _CONTAINERS):
        return [k for item in value for k in _ordered_keys(item)]
    key = _ordered_key(value)
    return [] if key is None else [key]


def rank(obj: Indexable, attr: str, descending: bool) -> tuple[int, int | float]:
    """A sort key that orders objects as `Index.order_by(attr, descending=...)` orders distinct
    values: kind by kind (numbers first), within a kind by the smallest value held (the largest
    when descending), then those holding no ordered value.

    Python compares ints and floats exactly, as the index does, and times are keyed as integer
    counts, so the key is exact too.
    """
    keys = _ordered_keys(getattr(obj, attr, None))
    if not keys:
        return (_NO_KIND, 0)
    kind = min(k for k, _ in keys)
    values = [v for k, v in keys if k == kind]
    return (kind, -max(values)) if descending else (kind, min(values))


def tie_order(value: Any) -> tuple[int, Any]:
    """Orders key values of every supported kind: booleans, then numbers, then strings, then
    bytes, each ascending. Equal ranks are listed in this order of their keys."""
    if isinstance(value, bool):
        return (0, value)
    if isinstance(value, (int, float)):
        return (1, value)
    return (2, value) if isinstance(value, str) else (3, value)
