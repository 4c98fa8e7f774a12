"""Registration, keyword retrieval and live updates of an Index."""

import gc

import pytest
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
        index.add_object(named)
    members = index.collect()
    assert len(members) == 2 and same(members, [bare, named])
    assert index.get_by_attribute(name="x") == [named]


def test_keyword_retrieval_looks_inside_containers_at_any_depth():
    index = Index()
    objs = [
        Indexable(name="x"),
        Indexable(name=["a", ("b", {"x"}), ["c", ["x"]]]),
        Indexable(name=("y", "x")),
        Indexable(name={"k": "x"}),  # dicts contribute nothing
        Indexable(name="y"),
        Indexable(other="x"),
    ]
    index.add_object_many(objs)
    found = index.get_by_attribute(name="x")
    assert same(found, select(objs, "name", equals("x")))
    assert len(found) == 3


def test_writes_update_every_index_holding_the_object():
    first, second = Index(), Index()
    obj = Indexable(name="x", size=1)
    first.add_object(obj)
    second.add_object(obj)
    obj.name = "y"
    obj.size = [2, "z"]
    for index in (first, second):
        assert index.get_by_attribute(name="x") == []
        assert index.get_by_attribute(name="y") == [obj]
        assert index.get_by_attribute(size=1) == []
        assert index.get_by_attribute(size=2) == [obj]
        assert index.get_by_attribute(size="z") == [obj]


def test_replacing_container_removes_all_of_its_old_elements():
    index = Index()
    obj = Indexable(tags=["a", "b", 3])
    index.add_object(obj)
    obj.tags = ["c"]
    assert index.get_by_attribute(tags="a") == []
    assert index.get_by_attribute(tags=3) == []
    assert index.get_by_attribute(tags="c") == [obj]


def test_mutating_a_stored_list_in_place_does_not_corrupt_the_index():
    index = Index()
    tags = ["a"]
    obj = Indexable(tags=tags)
    index.add_object(obj)
    tags.append("b")  # not seen by the index: only writes are
    obj.tags = ["c"]
    assert index.get_by_attribute(tags="a") == []
    assert index.get_by_attribute(tags="b") == []
    assert index.get_by_attribute(tags="c") == [obj]


def test_write_after_the_only_index_is_gone_just_stores_the_value():
    index = Index()
    obj = Indexable(name="x")
    index.add_object(obj)
    del index
    gc.collect()
    obj.name = "y"
    assert obj.name == "y"


def test_bad_arguments_add_nothing():
    index = Index()
    with pytest.raises(TypeError, match="argument 'py_ref'"):
        index.add_object(5)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        index.add_object_many("ab")
    with pytest.raises(TypeError, match="argument 'objs'"):
        index.add_object_many([Indexable(a=1), 5])
    with pytest.raises(TypeError, match="argument 'objs'"):
        index.add_object_many(7)
    assert index.collect() == []
    index.add_object_many([])
    index.add_object_many((Indexable(), Indexable()))
    assert len(index.collect()) == 2


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


def test_dropped_indexes_and_objects_release_their_references():
    import sys

    payload = object()
    before = sys.getrefcount(payload)
    for _ in range(1000):
        index = Index()
        obj = Indexable(v=payload, tags=[payload, "x"])
        index.add_object(obj)
        obj.v = "other"
        obj.tags = [payload]
        index.get_by_attribute(tags="x")
        del index, obj
    gc.collect()
    assert sys.getrefcount(payload) == before


def test_object_ids_are_released_when_index_and_objects_go():
    # collect() orders by id, and a released id is reused first: an object made after the
    # release sorts before an older one only if it took the released id.
    gc.collect()
    reserve = [Indexable() for _ in range(100_000)]  # uses up ids released by earlier tests
    held, older = Indexable(), Indexable()
    index = Index()
    index.add_object(held)
    del index, held
    gc.collect()
    newer = Indexable()
    index = Index()
    index.add_object_many([older, newer])
    assert index.collect() == [newer, older]
    del reserve
