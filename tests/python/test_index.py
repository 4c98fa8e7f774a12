"""Registration, keyword retrieval and live updates of an Index."""

import gc

from Veldrake import Index, Indexable

from reference_model import equals, same, select


def test_collect_returns_members_in_ascending_id_order():
    gc.collect()
    # Fresh objects take ids in creation order only once released ids are used up.
    objs = [Indexable(n=i) for i in range(3000)]
    first, second, third = objs[-3:]
    index = Index()
    index.add_object(third)
    index.add_object_many([second, first])
    assert index.collect() == [first, second, third]
    assert Index().collect() == []


def test_objects_without_attributes_and_repeated_adds_are_single_members():
    index = Index()
    bare, named = Indexable(), Indexable(name="x")
    for _ in range(3):
        index.add_object(bare)
        index.add_object_many([named, bare])
    members = index.collect()
    assert len(members) == 2 and same(members, [bare, named])
    assert index.get_by_attribute(name="x") == [named]


def test_keyword_retrieval_looks_inside_containers_at_any_depth():
    objs = [
        Indexable(name="x"), Indexable(name=["a", ("b", {"x"}), ["c", ["x"]]]),
        Indexable(name=("y", "x")), Indexable(name={"k": "x"}),  # dicts contribute nothing
        Indexable(name="y"), Indexable(other="x"),
    ]
    index = Index()
    index.add_object_many(objs)
    found = index.get_by_attribute(name="x")
    assert len(found) == 3 and same(found, select(objs, "name", equals("x")))


def test_writes_replace_every_old_value_in_every_index_holding_the_object():
    first, second = Index(), Index()
    tags = ["a", "b", 3]
    obj = Indexable(name="x", tags=tags)
    first.add_object(obj)
    second.add_object(obj)
    tags.append("late")  # mutating a stored list in place is not seen: only writes are
    obj.name = "y"
    obj.tags = [2, "z"]
    for index in (first, second):
        for value in ("a", "b", 3, "late"):
            assert index.get_by_attribute(tags=value) == [], value
        assert index.get_by_attribute(name="x") == []
        assert index.get_by_attribute(name="y") == [obj]
        assert index.get_by_attribute(tags=2) == index.get_by_attribute(tags="z") == [obj]


def test_write_after_the_only_index_is_gone_just_stores_the_value():
    index = Index()
    obj = Indexable(name="x")
    index.add_object(obj)
    del index
    gc.collect()
    obj.name = "y"
    assert obj.name == "y"


def test_unknown_values_leave_nothing_behind():
    index = Index()
    holders = [Indexable(v=None) for _ in range(3)]
    index.add_object_many(holders)
    for _ in range(1000):
        holders[0].v = None
    holders[0].v = b"bytes"
    holders[0].v = "plain"
    assert index.get_by_attribute(v=None) == []  # unknown values are never found by value
    assert index.get_by_attribute(v="plain") == [holders[0]]
    groups = index.group_by("v")
    assert sorted(len(g.collect()) for g in groups.values()) == [1, 2]
    assert {type(k) for k in groups} == {str, type(None)}


def test_many_unknown_values_are_stored_in_linear_time():
    # Thousands of distinct objects of unknown kind must not share one hash bucket; with a
    # quadratic store this takes minutes instead of well under a second.
    index = Index()
    holders = [Indexable(v=object()) for _ in range(20000)]
    index.add_object_many(holders)
    for holder in holders:
        holder.v = object()
    assert len(index.group_by("v")) == 20000
