"""Reference cycles through attributes, indexes and views are reclaimed by the collector."""

import gc
import os
import resource
import weakref

import pytest

from Veldrake import Index, Indexable, PyQueryExpr as Q


class Node(Indexable):
    """A subclass: it has a __dict__ and accepts weak references."""


def collected(make_cycle):
    """Builds a cycle through `make_cycle(node)` and tells whether dropping it frees the node."""
    node = Node(tag="cycle")
    make_cycle(node)
    probe = weakref.ref(node)
    del node
    gc.collect()
    return probe() is None


def test_every_cycle_shape_is_collected():
    def self_reference(node):
        node.me = node

    def mutual(node):
        other = Node(peer=node)
        node.peer = other

    def through_a_list(node):
        node.items = [1, ("x", [node])]

    def through_an_index(node):
        index = Index()
        index.add_object(node)
        node.index = index

    def through_a_view(node):
        index = Index()
        index.add_object(node)
        node.view = index.reduced(tag="cycle")

    def through_a_group(node):
        index = Index()
        index.add_object(node)
        node.groups = index.group_by("tag")

    def through_the_instance_dict(node):
        node.__dict__["loop"] = node

    def through_nested_registration(node):
        holder = Node(owner=node)
        node.holder = holder
        index = Index()
        index.add_object_many([holder, node])
        node.index = index

    for shape in (self_reference, mutual, through_a_list, through_an_index, through_a_view,
                  through_a_group, through_the_instance_dict, through_nested_registration):
        assert collected(shape), shape.__name__


def test_collected_cycles_give_their_ids_back():
    # collect() orders by id and released ids are reused newest first: a new object sorts before
    # an older survivor only if it took a released id.
    gc.collect()
    reserve = [Indexable() for _ in range(100_000)]  # uses up ids released earlier
    doomed, survivor = Indexable(), Indexable()
    doomed.me = doomed
    del doomed
    gc.collect()
    newer = Indexable()
    index = Index()
    index.add_object_many([survivor, newer])
    assert index.collect() == [newer, survivor]
    del reserve


def test_objects_held_by_a_live_index_survive_collection():
    index = Index()
    a, b = Node(name="a"), Node(name="b")
    a.peer, b.peer = b, a
    a.me = a
    index.add_object_many([a, b])
    probes = [weakref.ref(a), weakref.ref(b)]
    del a, b
    gc.collect()
    assert all(probe() is not None for probe in probes)
    assert [o.name for o in index.get_by_attribute(name="a")] == ["a"]
    found = index.reduced_query(Q.eq("peer.name", "b")).collect()
    assert [o.name for o in found] == ["a"]
    view = index.reduced(name="b")
    del index
    gc.collect()
    assert [o.name for o in view.collect()] == ["b"]


def test_referents_are_the_attribute_values():
    inner = Indexable()
    payload = ["x", inner]
    obj = Indexable(number=7, payload=payload)
    referents = gc.get_referents(obj)
    assert any(r is payload for r in referents)
    assert any(r is inner for r in referents)
    assert 7 in referents


@pytest.mark.skipif(bool(os.environ.get("VELDRAKE_SANITIZER")),
                    reason="the sanitizer holds freed memory back")
def test_creating_and_dropping_many_cycles_keeps_memory_flat():
    def churn(rounds):
        for i in range(rounds):
            a, b = Indexable(n=i), Node(n=i)
            a.peer, b.peer = b, a
            index = Index()
            index.add_object_many([a, b])
            a.index = index
        gc.collect()

    churn(5_000)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    churn(20_000)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert after - before < 20_000  # kilobytes: a leak of these cycles would cost far more
