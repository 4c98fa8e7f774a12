"""A plain-Python statement of what an index answers, to check the module against."""

import datetime
import fractions
import math

import Veldrake

try:
    import numpy
except ImportError:  # the model then never meets numpy values
    numpy = None


def is_number(value):
    return type(value) in (int, float) or (
        numpy is not None and isinstance(value, (numpy.integer, numpy.floating))
        and not isinstance(value, (numpy.longdouble, numpy.timedelta64)))


def time_key(value):
    """(kind, key) of a date or time, as the index orders it; None for other values and for times
    it cannot key exactly (those match by identity). A NaT keys as NaN."""
    if isinstance(value, datetime.datetime):
        offset = value.utcoffset()
        if offset is None:
            return ("naive", value)
        return ("aware", value.replace(tzinfo=None) - offset)
    if isinstance(value, datetime.date):
        return ("date", value)
    if isinstance(value, datetime.timedelta):
        micros = (value.days * 86400 + value.seconds) * 10**6 + value.microseconds
        return ("delta", value) if abs(micros) < 2**63 else None
    if numpy is not None and isinstance(value, (numpy.datetime64, numpy.timedelta64)):
        kind = "datetime64" if isinstance(value, numpy.datetime64) else "timedelta64"
        if numpy.isnat(value):
            return (kind, math.nan)
        ns = numpy_nanoseconds(value, kind == "datetime64")
        return (kind, ns) if ns is not None and -(2**63) < ns < 2**63 else None
    return None


NANOSECONDS = {"W": 604800 * 10**9, "D": 86400 * 10**9, "h": 3600 * 10**9, "m": 60 * 10**9,
               "s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1, "ps": fractions.Fraction(1, 10**3),
               "fs": fractions.Fraction(1, 10**6), "as": fractions.Fraction(1, 10**9)}


def numpy_nanoseconds(value, point):
    """A numpy datetime64 or timedelta64 as an exact count of nanoseconds (since 1970 for points
    in time); None when no whole count states it."""
    unit, count = numpy.datetime_data(value.dtype)
    amount = int(value.astype("int64")) * count
    if unit in ("Y", "M"):
        months = amount * 12 if unit == "Y" else amount
        if not point or not 1 <= 1970 + months // 12 <= 9999:
            return None
        days = (datetime.date(1970 + months // 12, months % 12 + 1, 1) - datetime.date(1970, 1, 1)).days
        return days * NANOSECONDS["D"]
    if unit not in NANOSECONDS:
        return None
    ns = amount * NANOSECONDS[unit]
    return int(ns) if ns == int(ns) else None


def ordered_key(value):
    """(kind, key) of a value that has a place in an order: numbers (as Python numbers) and times;
    None for every other value."""
    if is_number(value):
        return ("number", value.item() if numpy is not None and isinstance(value, numpy.generic)
                else value)
    return time_key(value)


def is_nan(key):
    return type(key) is float and math.isnan(key)


def leaves(value, _containers=()):
    """The values an attribute value contributes: containers flattened, dicts ignored."""
    if type(value) in (list, tuple, set):
        if all(value is not seen for seen in _containers):
            for element in value:
                yield from leaves(element, _containers + (value,))
    elif type(value) is not dict:
        yield value


def equals(wanted):
    """The test a held leaf value must pass to equal `wanted`."""

    wanted_key = ordered_key(wanted)

    def predicate(held):
        if wanted_key is not None:
            held_key = ordered_key(held)
            return held_key is not None and held_key[0] == wanted_key[0] and (
                not is_nan(held_key[1]) and held_key[1] == wanted_key[1])
        if type(wanted) in (bool, str, bytes):
            return type(held) is type(wanted) and held == wanted
        if type(wanted) in (list, tuple, set, dict):
            return False
        # Every other value (None, enum members, Indexables, ...) matches the very same object.
        return held is wanted and ordered_key(held) is None

    return predicate


def ordered(op, bound):
    """The test a held leaf value must pass to compare to `bound` as `op` says."""

    bound_key = ordered_key(bound)

    def predicate(held):
        held_key = ordered_key(held)
        if held_key is None or bound_key is None or held_key[0] != bound_key[0]:
            return False
        held, limit = held_key[1], bound_key[1]
        if is_nan(held) or is_nan(limit):
            return False
        return {"gt": held > limit, "ge": held >= limit, "lt": held < limit, "le": held <= limit}[op]

    return predicate


def between(lower, upper):
    """The test a held leaf value must pass to lie in [lower, upper] (both ends included)."""
    above, below = ordered("ge", lower), ordered("le", upper)
    return lambda held: above(held) and below(held)


def any_of(values):
    """The test a held leaf value must pass to equal one of `values`."""
    tests = [equals(value) for value in values]
    return lambda held: any(test(held) for test in tests)


def path_leaves(obj, path):
    """Every leaf value reached through the dotted `path` from `obj`."""
    first, dot, rest = path.partition(".")
    for leaf in leaves(getattr(obj, first, ())):  # a missing attribute holds nothing
        if not dot:
            yield leaf
        elif isinstance(leaf, Veldrake.Indexable):
            yield from path_leaves(leaf, rest)


def indexed(objs):
    """An Index holding `objs`, added in one batch."""
    index = Veldrake.Index()
    index.add_object_many(objs)
    return index


def panics(call):
    """The exception `call` raises, which must be the module's internal error: a BaseException
    that `except Exception` does not catch."""
    try:
        call()
    except Exception:
        raise
    except BaseException as error:
        assert (type(error).__name__, type(error).__module__) == ("PanicException", "ext_runtime")
        return error
    raise AssertionError("no internal-error exception")


def same(found, expected):
    """Compares two lists of objects as sets of identities."""
    return sorted(map(id, found)) == sorted(map(id, expected))


def to_query(tree):
    """The PyQueryExpr of a plain expression tree: ("eq"|"ne"|"gt"|"ge"|"lt"|"le", path, value),
    ("bt", path, lo, hi), ("in", path, [values]), ("and", [trees]), ("or", [trees]) or
    ("not", tree)."""
    op = tree[0]
    if op in ("and", "or"):
        return getattr(Veldrake.PyQueryExpr, op + "_")(*map(to_query, tree[1]))
    if op == "not":
        return Veldrake.PyQueryExpr.not_(to_query(tree[1]))
    return getattr(Veldrake.PyQueryExpr, "in_" if op == "in" else op)(*tree[1:])


def keyword_values(value):
    """The values one keyword argument stands for: a str or bytes is one value, other iterables
    their items."""
    if isinstance(value, (str, bytes)):
        return [value]
    try:
        return list(iter(value))
    except TypeError:
        return [value]


def group_tag(leaf):
    """How group_by tells groups apart: numbers and times by kind and value, bools, strs and bytes
    by value, others by identity. None for NaN and NaT, whose grouping is not modelled."""
    key = ordered_key(leaf)
    if key is not None:
        return None if is_nan(key[1]) else key
    if type(leaf) in (bool, str, bytes):
        return (type(leaf).__name__, leaf)
    return ("object", id(leaf))


def group_value(tag, leaves_seen):
    """The key group_by gives a group: a number is an int when every value is an int, else a
    float; a time is one of the kind's own type; other values are themselves."""
    first = leaves_seen[0]
    if tag[0] == "number":
        plain = [ordered_key(v)[1] for v in leaves_seen]
        return plain[0] if all(type(v) is int for v in plain) else float(plain[0])
    if tag[0] == "aware":
        return first.astimezone(datetime.timezone.utc)
    if tag[0] in ("datetime64", "timedelta64"):
        return getattr(numpy, tag[0])(tag[1], "ns")
    return first


def grouped(members, path):
    """group_by(path) as {tag: (expected key, [holders])}; NaN leaves are left out."""
    groups = {}
    for obj in members:
        for leaf in path_leaves(obj, path):
            tag = group_tag(leaf)
            if tag is not None:
                leaves_seen, holders = groups.setdefault(tag, ([], {}))
                leaves_seen.append(leaf)
                holders[id(obj)] = obj
    return {tag: (group_value(tag, leaves_seen), list(holders.values()))
            for tag, (leaves_seen, holders) in groups.items()}


ORDERED_KINDS = ("number", "date", "naive", "aware", "delta", "datetime64", "timedelta64")


def order_by(members, attr, descending=False):
    """order_by on `members` given in ascending id order: kind by kind in ORDERED_KINDS order,
    within a kind by value (an object with several values ranks in the first kind it holds, at
    its smallest value, or its largest when descending), ties in ascending id order; then the
    objects holding no ordered value (NaN and NaT aside) in ascending id order."""
    by_kind = {kind: [] for kind in ORDERED_KINDS}
    rest = []
    for obj in members:
        keys = [k for k in map(ordered_key, leaves(getattr(obj, attr, ())))
                if k is not None and not is_nan(k[1])]
        if not keys:
            rest.append(obj)
            continue
        kind = min((k[0] for k in keys), key=ORDERED_KINDS.index)
        values = [k[1] for k in keys if k[0] == kind]
        by_kind[kind].append((max(values) if descending else min(values), obj))
    ordered = []
    for entries in by_kind.values():
        # A stable sort, reversed or not, keeps equal values in id order.
        entries.sort(key=lambda entry: entry[0], reverse=descending)
        ordered += [obj for _, obj in entries]
    return ordered + rest
