"""Random objects, writes and queries checked against a plain-Python evaluation."""

import datetime as dt
import enum
import math
from collections import namedtuple

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from Veldrake import Index, Indexable

from reference_model import evaluate, grouped, keyword_select, path_leaves, to_query

NAN, BIG = float("nan"), 2**53
Ref = namedtuple("Ref", "slot")  # stands for the nested object of that number, once it exists
Mood = enum.Enum("Mood", "CALM")


def value_kinds():
    """Values of the kinds beyond numbers, text and bools (the same instant in two zones, a date
    and a datetime of one day, numpy scalars when numpy is there), for every generator below."""
    day, utc = dt.datetime(2024, 1, 2), dt.timezone.utc
    kinds = [Mood.CALM, b"k", day.date(), day, day.replace(tzinfo=utc),
             dt.datetime(2024, 1, 2, 1, tzinfo=dt.timezone(dt.timedelta(hours=1))),
             dt.timedelta(days=1)]
    try:
        import numpy as np
    except ImportError:
        return kinds
    return kinds + [np.int32(1), np.float32(0.5), np.datetime64("2024-01-02"), np.datetime64("NaT")]


KINDS = value_kinds()

# Small pools, so that equal values (also int against float) meet often.
scalars = st.sampled_from([0, 1, 2, -1, 0.0, 1.0, 2.5, -1.0, BIG, float(BIG), BIG + 1, "a", "b",
                           "", True, False, None, NAN] + KINDS)
numbers = st.sampled_from([0, 1, 2, -1, 0.0, 1.0, 2.5, -0.5, BIG, float(BIG), BIG + 1,
                           float("inf"), float("-inf"), NAN, 2**70] + KINDS[2:])
attr_values = st.one_of(scalars, st.tuples(scalars, scalars),
                        st.lists(st.one_of(scalars, st.lists(scalars, max_size=2)), max_size=3))
refs = st.builds(Ref, st.integers(0, 3))
owner_values = st.one_of(st.none(), refs, st.lists(refs, max_size=2), scalars)

SWEEP_VALUES = [0, 1, 1.0, 2.5, BIG, BIG + 1, float(BIG), "a", "", True, False, None, NAN] + KINDS
PATHS = ["x", "y", "owner", "owner.x", "owner.y", "owner.owner.x", "zz"]
GROUP_PATHS = ["x", "y", "owner.x", "owner.owner.x"]
paths, operands = st.sampled_from(PATHS), st.one_of(scalars, refs, st.just([1]))
leaf_queries = st.one_of(
    st.tuples(st.sampled_from(["eq", "ne"]), paths, operands),
    st.tuples(st.sampled_from(["gt", "ge", "lt", "le"]), paths,
              st.one_of(numbers, st.sampled_from(["a", ""]))),
    st.tuples(st.just("bt"), paths, numbers, numbers),
    st.tuples(st.just("in"), paths, st.lists(operands, max_size=3)),
)
queries = st.recursive(leaf_queries, lambda inner: st.one_of(
    st.tuples(st.sampled_from(["and", "or"]), st.lists(inner, max_size=3)),
    st.tuples(st.just("not"), inner)), max_leaves=6)
keyword_queries = st.dictionaries(st.sampled_from(["x", "y", "owner", "zz"]), st.one_of(
    scalars, refs, st.lists(st.one_of(scalars, refs), max_size=3), st.tuples(scalars, scalars)),
    max_size=2)
object_specs = st.fixed_dictionaries(
    {}, optional={"x": attr_values, "y": attr_values, "owner": owner_values})

steps = st.one_of(
    st.tuples(st.just("add"), st.lists(st.integers(0, 7), min_size=1, max_size=3), st.booleans()),
    st.tuples(st.just("add_owner"), st.integers(0, 3)),
    st.tuples(st.just("write"), st.booleans(), st.integers(0, 7), st.sampled_from(["x", "y"]),
              attr_values),
    st.tuples(st.just("write"), st.booleans(), st.integers(0, 7), st.just("owner"), owner_values),
)


class World:
    """The objects of one example: holders (some made members) and nested owners.

    Owner i may only hold owners below i, so nothing nests into itself.
    """

    def __init__(self, owner_specs, holder_specs):
        self.owners = []
        for i, spec in enumerate(owner_specs):
            self.owners.append(Indexable(**{k: self.resolve(v, i) for k, v in spec.items()}))
        self.holders = [Indexable(**{k: self.resolve(v) for k, v in spec.items()})
                        for spec in holder_specs]
        self.index, self.members = Index(), []

    def resolve(self, value, limit=None):
        """Replaces Refs by owners (below `limit`, if given); a Ref to no owner becomes None."""
        if isinstance(value, Ref):
            available = min(len(self.owners), len(self.owners) if limit is None else limit)
            return self.owners[value.slot % available] if available else None
        if type(value) in (list, tuple):
            return type(value)(self.resolve(v, limit) for v in value)
        return value

    def add(self, objs, bulk):
        if bulk:
            self.index.add_object_many(objs)
        else:
            for obj in objs:
                self.index.add_object(obj)
        for obj in objs:
            if all(obj is not m for m in self.members):
                self.members.append(obj)

    def run(self, step):
        if step[0] == "add":
            self.add([self.holders[i % len(self.holders)] for i in step[1]], step[2])
        elif step[0] == "add_owner" and self.owners:
            self.add([self.owners[step[1] % len(self.owners)]], False)
        elif step[0] == "write" and (not step[1] or self.owners):
            _, on_owner, slot, attr, value = step
            pool = self.owners if on_owner else self.holders
            slot %= len(pool)
            setattr(pool[slot], attr, self.resolve(value, slot if on_owner else None))


def resolve_tree(world, tree):
    op = tree[0]
    if op in ("and", "or"):
        return (op, [resolve_tree(world, sub) for sub in tree[1]])
    if op == "not":
        return (op, resolve_tree(world, tree[1]))
    return (op, tree[1], *map(world.resolve, tree[2:]))  # an "in" list is resolved item by item


def ids(objs):
    return sorted(map(id, objs))


def check_groups(world, path):
    groups = world.index.group_by(path)
    expected = grouped(world.members, path)
    # Python dict keys merge values that compare equal (True and 1): the module's dict can hold
    # only one group per such class of keys.
    classes = {}
    for key, holders in expected.values():
        classes.setdefault(key, []).append((key, ids(holders)))
    nan_keys = [k for k in groups if type(k) is float and math.isnan(k)]
    for key in nan_keys:  # groups of NaN: only check that their holders hold a NaN there
        for obj in groups[key].collect():
            assert any(obj is m for m in world.members)
            assert any(type(v) is float and math.isnan(v) for v in path_leaves(obj, path))
    plain = {k: v for k, v in groups.items() if k not in nan_keys}
    assert len(plain) == len(classes), (path, sorted(map(repr, plain)), sorted(map(repr, classes)))
    for key, view in plain.items():
        assert key in classes, (path, key)
        candidates = classes[key]
        assert ids(view.collect()) in [holders for _, holders in candidates], (path, key)
        if len(candidates) == 1:
            assert type(key) is type(candidates[0][0]) and key == candidates[0][0], (path, key)


@settings(max_examples=60, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(
    owner_specs=st.lists(object_specs, max_size=4),
    holder_specs=st.lists(object_specs, min_size=2, max_size=10),
    initial=st.integers(1, 10),
    bulk=st.booleans(),
    actions=st.lists(steps, max_size=12),
    trees=st.lists(queries, min_size=3, max_size=8),
    keywords=st.lists(keyword_queries, min_size=2, max_size=5),
)
def test_index_agrees_with_plain_evaluation(owner_specs, holder_specs, initial, bulk, actions,
                                            trees, keywords):
    world = World(owner_specs, holder_specs)
    world.add(world.holders[:initial], bulk)
    for step in actions:
        world.run(step)
    assert ids(world.index.collect()) == ids(world.members)
    # Every simple comparison on every path, then the random trees.
    sweep = [(op, path, value) for path in PATHS for op in ("eq", "ne")
             for value in SWEEP_VALUES + [Ref(0), Ref(1)]]
    sweep += [(op, path, bound) for path in PATHS for op in ("gt", "ge", "lt", "le")
              for bound in (0, 1.0, BIG, KINDS[2], KINDS[4])]
    sweep += [("bt", path, 0, 2) for path in PATHS]
    for tree in sweep + trees:
        resolved = resolve_tree(world, tree)
        found = world.index.reduced_query(to_query(resolved)).collect()
        assert ids(found) == ids(evaluate(resolved, world.members)), resolved
    for raw in keywords:
        kw = {name: world.resolve(value) for name, value in raw.items()}
        found = world.index.get_by_attribute(**kw)
        assert ids(found) == ids(keyword_select(world.members, kw)), kw
    for path in GROUP_PATHS:
        check_groups(world, path)
