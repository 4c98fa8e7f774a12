"""Reference cycles through attributes, indexes and views are reclaimed by the collector."""

import gc
import threading
import weakref

import pytest

from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import indexed


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


def storing(**values):
    """A cycle shape: stores in the node each `values[name](node, index)`, `index` holding it."""

    def make_cycle(node):
        index = indexed([node])
        for name, value in values.items():
            setattr(node, name, value(node, index))

    return make_cycle


def reached_then_relinked(node):
    """The index reaches an object holding it, through a link made after the first one broke."""
    node.first = Node(home=indexed([node]))
    node.second, node.first = node.first, None


def cut_off_cycle(node):
    """The index still reaches a cycle that holds it, cut off from its member."""
    node.peer = Node(home=indexed([node]), peer=Node())
    node.peer.peer.peer, node.peer = node.peer, None


# Views and groups share their index's records: a cycle closed through those shared records must
# still be seen by the collector.
CYCLE_SHAPES = {
    "self_reference": lambda node: setattr(node, "me", node),
    "mutual": lambda node: setattr(node, "peer", Node(peer=node)),
    "through_a_list": lambda node: setattr(node, "items", [1, ("x", [node])]),
    "through_the_instance_dict": lambda node: node.__dict__.update(loop=node),
    "through_an_index": storing(index=lambda _, index: index),
    "through_a_view": storing(view=lambda _, index: index.reduced(tag="cycle")),
    "through_a_group": storing(groups=lambda _, index: index.group_by("tag")),
    "through_an_index_and_its_view": storing(
        home=lambda _, index: index, view=lambda _, index: index.reduced(tag="cycle")),
    "through_two_views": storing(views=lambda _, index: [
        index.reduced(tag="cycle"), index.reduced_query(Q.eq("tag", "cycle"))]),
    "through_groups_in_a_container": storing(
        box=lambda _, index: [index, {"groups": index.group_by("tag")}]),
    "through_nested_registration": storing(
        holder=lambda node, index: Node(owner=node),
        again=lambda node, index: index.add_object(node.holder) or index),
    "through_an_object_reached_by_a_later_link": reached_then_relinked,
    "through_a_cycle_cut_off_from_the_members": cut_off_cycle,
    "through_a_query_expression": lambda node: setattr(node, "q", Q.eq("x", node)),
    "through_combined_query_expressions": lambda node: setattr(node, "q", Q.and_(
        Q.not_(Q.eq("x", node)), Q.or_(Q.in_("y", [1, (node,)]), Q.bt("z", node, 2)))),
}


@pytest.mark.parametrize("shape", CYCLE_SHAPES)
def test_every_cycle_shape_is_collected(shape):
    assert collected(CYCLE_SHAPES[shape])


def test_objects_held_by_a_live_index_survive_collection():
    index = Index()
    a, b = Node(name="a"), Node(name="b")
    a.peer, b.peer, a.me = b, a, a
    index.add_object_many([a, b])
    probes = [weakref.ref(a), weakref.ref(b)]
    del a, b
    gc.collect()
    assert all(probe() is not None for probe in probes)
    assert [o.name for o in index.reduced_query(Q.eq("peer.name", "b")).collect()] == ["a"]


def test_an_index_reports_its_members_while_other_threads_add_them():
    # A thread adding objects that are also this index's members briefly shares its engine. The
    # collector's traversals must report the members regardless: members only the index holds
    # would otherwise be finalized while the index still returns them.
    index = Index()
    members = [Node(w=i) for i in range(2000)]
    for holder in [index] + [Index() for _ in range(10)]:
        holder.add_object_many(members)
    stop = threading.Event()

    def adder():
        while not stop.is_set():
            Index().add_object_many(members)

    thread = threading.Thread(target=adder)
    thread.start()
    try:
        reported = [sum(isinstance(r, Node) for r in gc.get_referents(index)) for _ in range(1000)]
    finally:
        stop.set()
        thread.join()
    assert set(reported) == {len(members)}


def test_combined_expressions_keep_what_they_combine():
    target = Node(name="t")
    index = indexed([Node(peer=target), Node(peer=Node())])
    query = Q.not_(Q.eq("peer", target))
    del target
    gc.collect()
    assert len(index.reduced_query(Q.or_(query, query)).collect()) == 1
    # Combined expressions report the ones they were made from, operators like static methods.
    assert any(isinstance(r, Q) for r in gc.get_referents(query))
    a, b = Q.eq("x", Node()), Q.eq("y", 1)
    for combined, parts in [(a & b, [a, b]), (a | b, [a, b]), (~a, [a])]:
        assert [r for r in gc.get_referents(combined) if isinstance(r, Q)] == parts
