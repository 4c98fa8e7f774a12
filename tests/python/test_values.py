"""The values users store: identity values, bytes, dates and times, numpy scalars, big operands."""

import datetime as dt
import decimal
import enum
import fractions
import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import evaluate, grouped, indexed, keyword_select, order_by, same, to_query

try:
    import numpy as np
except ImportError:
    np = None

UTC, PLUS1 = dt.timezone.utc, dt.timezone(dt.timedelta(hours=1))
DAY = dt.date(2024, 1, 2)
NOON = dt.datetime(2024, 1, 2, 12)


class Colour(enum.Enum):
    RED = 1


SENTINEL = object()


def kinds():
    """One value of every kind, plus neighbours in each order and equal values of other kinds."""
    values = [
        None, Colour.RED, SENTINEL, Colour, len, b"k", b"", bytes([107]), 1, 1.0, True, "k",
        DAY, DAY + dt.timedelta(1), dt.date(1, 1, 1), dt.date(9999, 12, 31),
        NOON, NOON.replace(microsecond=1), dt.datetime(2024, 1, 2), dt.datetime.min,
        NOON.replace(tzinfo=UTC), dt.datetime(2024, 1, 2, 13, tzinfo=PLUS1),
        NOON.replace(tzinfo=PLUS1), dt.timedelta(0), dt.timedelta(days=1),
        dt.timedelta(microseconds=-1), dt.timedelta.max,
        decimal.Decimal(1), fractions.Fraction(1, 2), frozenset({1}),
    ]
    if np is not None:
        values += [
            np.int8(-1), np.uint16(1), np.int32(2**31 - 1), np.uint64(2**63 - 1), np.float16(0.5),
            np.float32(0.1), np.datetime64("2024-01-02"), np.datetime64("2024-01-02T00:00", "s"),
            np.datetime64("2024-01-02T00:00:00.000000001"), np.datetime64("2024-01", "M"),
            np.datetime64("NaT"), np.timedelta64(1, "D"), np.timedelta64(86400, "s"),
            np.timedelta64("NaT"), np.datetime64("3000-01-01"),  # beyond nanoseconds: identity
        ]
    return values


OPERANDS = kinds() + [2**70, -(2**70), 2**63, 10**400, 2**64 + 1, decimal.Decimal(1)]


def check_against_model(index, members):
    for value in OPERANDS:
        for op in ("eq", "ne", "gt", "ge", "lt", "le"):
            tree = (op, "x", value)
            found = index.reduced_query(to_query(tree)).collect()
            assert same(found, evaluate(tree, members)), tree
            assert index.count(to_query(tree)) == len(found), tree
        kw = {"x": [value]}
        assert same(index.get_by_attribute(**kw), keyword_select(members, kw)), kw
    for lower, upper in [(DAY, DAY + dt.timedelta(1)), (NOON, NOON.replace(tzinfo=UTC)),
                         (dt.timedelta(-1), dt.timedelta(1)), (-(2**70), 2**70), (DAY, 5),
                         (NOON.replace(tzinfo=PLUS1), NOON.replace(tzinfo=UTC))]:
        tree = ("bt", "x", lower, upper)
        assert same(index.reduced_query(to_query(tree)).collect(), evaluate(tree, members)), tree
    groups = index.group_by("x")
    expected = {}  # the returned dict merges equal keys (True and 1): one entry per such class
    for key, holders in grouped(members, "x").values():
        expected.setdefault(key, []).append(sorted(map(id, holders)))
    assert len(groups) == len(expected)
    for key, view in groups.items():
        assert sorted(map(id, view.collect())) in expected[key], key
    assert index.group_counts("x") == {key: len(view.collect()) for key, view in groups.items()}
    in_id_order = index.collect()
    for descending in (False, True):
        ranked = index.order_by("x", descending=descending)
        assert ranked == order_by(in_id_order, "x", descending), descending
        assert index.order_by("x", descending=descending, offset=3, limit=5) == ranked[3:8]


def test_every_kind_against_the_model_through_writes():
    values = kinds()
    objs = [Indexable(x=v) for v in values] + [Indexable(x=[DAY, None, b"k"])]
    index = indexed(objs)
    check_against_model(index, objs)
    # Objects move between kinds (a number to a date to None...); nothing of the old value stays.
    for step in range(1, 4):
        for i, obj in enumerate(objs):
            obj.x = values[(i * 7 + step) % len(values)]
        check_against_model(index, objs)
    for obj in objs:
        obj.x = "gone"
    assert list(index.group_by("x")) == ["gone"]


def test_times_keep_their_kinds_apart():
    class Day(dt.date):
        pass

    class Stamp(dt.datetime):  # like pandas' Timestamp: keeps time below the microsecond
        nanosecond = 0

    class Broken(dt.tzinfo):
        def utcoffset(self, when):
            raise RuntimeError("no offset")

    precise = Stamp(2024, 1, 2, 12)
    precise.nanosecond = 5
    values = [DAY, Day(2024, 1, 2), NOON, Stamp(2024, 1, 2, 12), precise, NOON.replace(tzinfo=UTC),
              dt.datetime(2024, 1, 2, 13, tzinfo=PLUS1), NOON.replace(tzinfo=Broken()),
              dt.timedelta(1), 19724]
    objs = [Indexable(x=v, i=i) for i, v in enumerate(values)]
    index = indexed(objs)

    def found(expr):
        return sorted(o.i for o in index.reduced_query(expr).collect())

    assert all(o.x is v for o, v in zip(objs[:-1], values))  # reads return the stored object
    # NOON does not match the one with nanoseconds; aware times compare by UTC instant.
    assert [found(expr) for expr in (
        Q.eq("x", DAY), Q.eq("x", NOON), Q.ge("x", NOON.replace(tzinfo=PLUS1)), Q.eq("x", precise),
        Q.eq("x", values[7]), Q.gt("x", dt.timedelta(0)), Q.gt("x", 0), Q.bt("x", DAY, NOON),
        Q.bt("x", NOON, NOON), Q.lt("x", DAY), Q.gt("x", dt.datetime.max),
    )] == [[0, 1], [2, 3], [5, 6], [4], [7], [8], [9], [], [2, 3], [], []]


@pytest.mark.skipif(np is None, reason="numpy is not installed")
def test_numpy_scalars_of_every_width():
    types = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
             np.intc, np.longlong, np.ulonglong, np.float16, np.float32, np.float64]
    objs = [Indexable(x=t(5), y=t(0.1) if issubclass(t, np.floating) else t(1)) for t in types]
    index = indexed(objs)
    for obj, t in zip(objs, types):
        expected = float if issubclass(t, np.floating) else int
        assert type(obj.x) is expected and obj.x == 5 and obj.y == t(obj.y), t
    assert same(index.get_by_attribute(x=5), objs)
    assert same(index.reduced_query(Q.eq("y", np.float32(0.1))).collect(), [objs[-2]])
    assert same(index.reduced_query(Q.gt("y", 0.1)).collect(), objs[:-3] + [objs[-2]])
    with pytest.raises(BaseException, match="type checked"):
        objs[0].x = np.uint64(2**64 - 1)
    assert objs[0].x == 5 and index.reduced_query(Q.ge("x", np.uint64(2**64 - 1))).collect() == []
    objs[0].x = np.longdouble(5)  # more precise than a float: matched by identity
    assert index.get_by_attribute(x=objs[0].x) == [objs[0]] and objs[0] not in \
        index.get_by_attribute(x=5)


def test_debug_form_names_the_new_kinds():
    printed = {v: repr(Q.eq("x", v)) for v in (None, Colour.RED, b"a\xff", DAY, 2**70)}
    assert "primitave: Unknown," in printed[None] and "primitave: Unknown," in printed[Colour.RED]
    assert r'Bytes("a\xff")' in printed[b"a\xff"] and "Date(19724)" in printed[DAY]
    assert "BigInt(" in printed[2**70]


def test_a_tzinfo_that_calls_back_into_the_module():
    holder = Indexable(x=0)
    index = Index()
    index.add_object(holder)

    class Sneaky(dt.tzinfo):
        def utcoffset(self, when):
            holder.y = when.day  # classifying the value writes and queries the same object
            assert index.get_by_attribute(y=when.day) == [holder]
            return dt.timedelta(hours=1)

    holder.x = dt.datetime(2024, 1, 2, 13, tzinfo=Sneaky())
    assert index.get_by_attribute(x=NOON.replace(tzinfo=UTC)) == [holder]
    assert index.reduced_query(Q.eq("x", dt.datetime(2024, 1, 3, 13, tzinfo=Sneaky()))).collect() \
        == [] and holder.y == 3
