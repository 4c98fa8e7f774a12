"""Dates and times, numpy scalars and the debug form of values (every kind is in the values of
the random driver in tests/model, checked against the model)."""

import datetime as dt
import enum
import random
import types

import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

import driver
from reference_model import indexed, same

try:
    import numpy as np
except ImportError:
    np = None

UTC, PLUS1 = dt.timezone.utc, dt.timezone(dt.timedelta(hours=1))
DAY = dt.date(2024, 1, 2)
NOON = dt.datetime(2024, 1, 2, 12)


class Colour(enum.Enum):
    RED = 1


def test_every_kind_against_the_model_through_writes():
    # Every kind is looked for among objects holding one kind each (and a list of two); then the
    # objects move between kinds (a number to a date to None...): nothing of the old value stays.
    values = driver.SCALARS + driver.NUMPY + driver.TIMES + [
        v for v in driver.UNKNOWNS if type(v) is not types.FunctionType]
    program = driver.Program(driver.RandomChoices(random.Random(0)))
    program.new_index()
    for i, value in enumerate(values):
        pairs = {"x": value, "y": [value, values[-i]]}
        program.place(Indexable(**pairs), pairs)
    program.indexes[0].index.add_object_many(program.objects)
    program.join(program.indexes[0], range(len(values)))
    for step in range(1, 4):
        program.check_all()
        for slot, obj in enumerate(program.objects):
            obj.x = program.written[slot]["x"] = values[(slot * 7 + step) % len(values)]


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
