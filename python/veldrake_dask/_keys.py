"""Where an object lives and where it ranks: pure functions the client and the workers share."""

from __future__ import annotations

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


def _numbers(value: Any) -> list[int | float]:
    """The numbers `value` holds as the range index sees them: containers element by element at
    any depth, booleans and NaN excluded."""
    if isinstance(value, bool):
        return []
    if isinstance(value, (int, float)):
        return [] if isinstance(value, float) and math.isnan(value) else [value]
    if isinstance(value, _CONTAINERS):
        return [n for item in value for n in _numbers(item)]
    return []


def rank(obj: Indexable, attr: str, descending: bool) -> tuple[int, int | float]:
    """A sort key that orders objects as `Index.order_by(attr, descending=...)` orders distinct
    numbers: by the smallest number held (the largest when descending), then those with none.

    Python compares ints and floats exactly, as the index does, so the key is exact too.
    """
    numbers = _numbers(getattr(obj, attr, None))
    if not numbers:
        return (1, 0)
    return (0, -max(numbers)) if descending else (0, min(numbers))


def tie_order(value: Any) -> tuple[int, Any]:
    """Orders key values of every supported kind: booleans, then numbers, then strings, then
    bytes, each ascending. Equal ranks are listed in this order of their keys."""
    if isinstance(value, bool):
        return (0, value)
    if isinstance(value, (int, float)):
        return (1, value)
    return (2, value) if isinstance(value, str) else (3, value)
