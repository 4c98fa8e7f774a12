"""Views (FilteredIndex), rebase, group_by, reduce, union_with and keyword retrieval."""

import faulthandler
import gc
import re
import sys

import pytest
from Veldrake import FilteredIndex, Index, Indexable, PyQueryExpr as Q

from reference_model import equals, evaluate, grouped, keyword_select, same, select, to_query

EVERYONE = Q.not_(Q.and_())


def indexed(objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


def as_ids(objs):
    return sorted(map(id, objs))


def group_ids(groups):
    """{key: sorted ids} of a group_by result, checking that every group is a view."""
    assert all(type(view) is FilteredIndex for view in groups.values())
    return {key: as_ids(view.collect()) for key, view in groups.items()}


def assert_answers(index, members, trees=(), keywords=(), paths=()):
    """`index` holds `members` and answers queries, keywords and group_by as the model does."""
    assert same(index.collect(), members)
    for tree in trees:
        assert same(index.reduced_query(to_query(tree)).collect(), evaluate(tree, members)), tree
    for kw in keywords:
        assert same(index.get_by_attribute(**kw), keyword_select(members, kw)), kw
        assert same(index.reduced(**kw).collect(), keyword_select(members, kw)), kw
    for path in paths:
        groups, expected = index.group_by(path), grouped(members, path).values()
        assert group_ids(groups) == {key: as_ids(held) for key, held in expected}, path
        assert sorted(map(repr, groups)) == sorted(repr(key) for key, _ in expected), path


def test_narrowing_a_view_never_leaves_it_and_sees_later_writes():
    objs = [Indexable(kind="a" if i % 2 else "b", n=i, tag=["t", i]) for i in range(10)]
    index = indexed(objs)
    view = index.reduced(kind="a")
    odd = objs[1::2]
    late = [Indexable(kind="a", n=1, tag="t"), Indexable(kind="a", n=3.0)]
    index.add_object_many(late)  # members added to the index later never enter the view
    assert same(index.reduced(kind="a").collect(), odd + late)
    for narrowed, expected in [
        (view, odd), (view.reduced(tag="t"), odd), (view.reduced(n=[0, 1, 2, 3]), odd[:2]),
        (view.reduced_query(EVERYONE), odd), (view.reduced_query(Q.ne("n", 1)), odd[1:]),
        (view.reduced(kind="b"), []), (view.reduced_query(Q.gt("n", 2)).reduced(tag="t"), odd[1:]),
    ]:
        assert same(narrowed.collect(), expected)
    inner = view.reduced_query(Q.gt("n", 2))
    objs[3].n = -1  # still a member of `inner`: its id set is fixed
    objs[0].n = 100  # not in the view, so never found through it
    assert same(inner.collect(), odd[1:])
    assert same(inner.reduced_query(Q.gt("n", 2)).collect(), odd[2:])
    assert inner.reduced(n=-1).collect() == [objs[3]] and view.reduced(n=100).collect() == []


def test_empty_views():
    index = indexed([Indexable(name="x"), Indexable(n=1)])
    for view in (index.reduced(name="nothing"), index.reduced(), index.reduced(unused=1),
                 index.reduced_query(Q.and_()),
                 index.reduced_query(Q.eq("name", "x")).reduced(name="y"),
                 Index().reduced_query(EVERYONE)):
        assert type(view) is FilteredIndex
        assert view.collect() == [] and view.reduced_query(EVERYONE).collect() == []
        rebased = view.rebase()
        assert type(rebased) is Index
        assert rebased.get_by_attribute(name="x") == [] and rebased.group_by("name") == {}


def test_rebased_index_is_independent_and_follows_writes():
    early = Indexable(zeta=1, omega="w")  # attributes first used by an object outside the view
    objs = [Indexable(name=f"n{i}", n=i, owner=Indexable(country="fr")) for i in range(6)]
    index = indexed([early] + objs)
    objs[1].gamma = "late"  # first used through a write after the add
    objs[2].owner.omega = "nested"  # first used below a nested object
    view = index.reduced_query(Q.lt("n", 3))
    rebased = view.rebase()
    extra = Indexable(name="n4")
    rebased.add_object(extra)
    index.add_object(Indexable(name="n1"))
    members = objs[:3] + [extra]
    trees = [("eq", "name", "n1"), ("eq", "owner.country", "fr"), ("gt", "n", 10),
             ("eq", "gamma", "late"), ("eq", "owner.omega", "nested"), ("eq", "zeta", 1),
             ("eq", "zeta", 5), ("eq", "omega", "w"), ("eq", "brand_new", "n")]
    check = lambda: assert_answers(rebased, members, trees, [{"name": "n4"}], ["n"])  # noqa: E731
    check()
    assert same(index.get_by_attribute(name="n4"), [objs[4]])  # nor the other way round
    objs[0].n, objs[0].zeta = 50, 5
    objs[1].owner.country, objs[1].brand_new = "de", "n"
    objs[2].name = ["x", "y"]
    check()
    assert same(index.get_by_attribute(brand_new="n"), [objs[1]])
    assert same(index.get_by_attribute(zeta=[1, 5]), [early, objs[0]])  # the first index too
    assert same(view.collect(), objs[:3])
    del index, view
    gc.collect()
    objs[0].n = 51
    check()


def test_group_by_keys_keep_their_exact_value_and_type():
    big = 2**53
    fr, de = Indexable(country="fr"), Indexable(country="de")
    objs = [Indexable(n=v) for v in [5, 5.0, 7, 7, big + 1, big, 2.5, -(2**63), big + 3,
                                      float(big + 4), big + 4]]
    objs += [Indexable(tags=[1, "a"], owner=fr), Indexable(tags=["a", ("b", ["a"])], owner=[fr, de]),
             Indexable(tags=None, owner=de), Indexable(tags=[], owner=None)]
    index = indexed(objs)
    assert_answers(index, objs, paths=("n", "tags", "owner.country", "owner", "owner.unused"))
    keys = {key: key for key in index.group_by("n")}
    assert type(keys[5]) is float and type(keys[big + 1]) is int and keys[big + 1] == big + 1
    index.reduce(n=[7, 2.5])  # no stale groups after reduce and a write
    objs[2].n = 9
    for key, view in index.group_by("n").items():
        held = view.collect()
        assert held and same(held, select(held, "n", equals(key))), key


@pytest.mark.parametrize("keep, retrievals", [
    ({"kind": "a"}, [({"kind": "a"}, [0, 2, 3]), ({"kind": "b"}, [3]), ({"n": [1, 3]}, [0, 3]),
                     ({"n": 1.0, "kind": "b"}, [])]),
    ({"n": 1}, [({"n": 1.0}, [0, 1]), ({"kind": ["a", "b", "c", "d"]}, [0, 1]), ({"n": True}, [])]),
])
def test_reduce_narrows_keyword_retrieval_but_not_membership(keep, retrievals):
    objs = [Indexable(kind="a", n=1), Indexable(kind="b", n=1.0), Indexable(kind="a", n=2),
            Indexable(kind=["a", "b"], n=3), Indexable(kind="d", n=True), Indexable(kind="e")]
    index = indexed(objs)
    index.reduce(**keep)
    assert same(index.collect(), objs)
    for kw, expected in retrievals:
        assert same(index.get_by_attribute(**kw), [objs[i] for i in expected]), kw
        assert same(index.reduced(**kw).collect(), [objs[i] for i in expected]), kw


def test_union_answers_every_kind_of_query_for_both_sides():
    fr, de = Indexable(country="fr", rank=1), Indexable(country="de", rank=2.0)
    mine = [Indexable(name="a", n=1, owner=fr), Indexable(name="b", n=2.5),
            Indexable(name=["c", "a"], flag=True)]
    theirs = [Indexable(name="a", n=1.0, owner=de), Indexable(name="z", n=10, owner=[fr, de]),
              Indexable(size=3, name=None), Indexable(n=2**53 + 1)]
    a, b = indexed(mine), indexed(theirs)
    before = a.reduced(name="a")
    assert a.union_with(b) is None
    assert same(before.collect(), [mine[0], mine[2]])  # a view never gains members
    assert same(b.collect(), theirs)
    trees = [("eq", "n", 1), ("bt", "n", 1, 10), ("eq", "n", 2**53 + 1), ("lt", "n", 2**53 + 1),
             ("in", "name", ["z", "c"]), ("not", ("gt", "n", 2)), ("eq", "owner.country", "de"),
             ("ge", "owner.rank", 2), ("eq", "owner", fr), ("eq", "flag", True)]
    keywords = [{"name": "a"}, {"n": [2.5, 10], "name": "z"}, {"size": 3}, {"owner": de}]
    assert_answers(a, mine + theirs, trees, keywords, ("name", "n", "owner.country"))
    theirs[0].n, theirs[1].name, theirs[2].size, theirs[3].owner = 7, "y", [4, 3], fr
    de.country = "es"
    # Writes to objects that came from the other index are seen by both.
    assert_answers(a, mine + theirs, trees, keywords, ("name", "n", "owner.country"))
    assert same(b.get_by_attribute(n=7), [theirs[0]])


def test_union_reports_each_shared_attribute_once_and_with_itself_changes_nothing(capfd):
    a = indexed([Indexable(name="x", n=1, only_a=True), Indexable(name="y")])
    b = indexed([Indexable(name="z", n=2.5, only_b="q"), Indexable(other=1)])
    capfd.readouterr()
    a.union_with(b)
    lines = capfd.readouterr().err.splitlines()
    assert len(lines) == 2, lines
    for line in lines:
        assert re.fullmatch(r"Merging attribute with 0x[0-9a-fA-F]+ and 0x[0-9a-fA-F]+", line)
    a.union_with(indexed([Indexable(unshared=1)]))
    assert capfd.readouterr().err == ""
    objs = a.collect()
    faulthandler.dump_traceback_later(60, exit=True, file=sys.stderr)  # a self-deadlock
    try:
        assert a.union_with(a) is None
    finally:
        faulthandler.cancel_dump_traceback_later()
    capfd.readouterr()
    objs[0].n = 9
    assert len(objs) == 5
    assert_answers(a, objs, [("gt", "n", 1)], [{"n": 9}], ["n", "name"])


def test_keyword_values_stand_for_one_value_or_any_of_several():
    objs = [Indexable(name="ab"), Indexable(name="a"), Indexable(name="b"),
            Indexable(name=["a", "c"]), Indexable(name="c", n=1), Indexable(other="a")]
    index = indexed(objs)
    for several in (["a", "b"], {"a", "b"}, {"a": 1, "b": 2}.keys(), (v for v in "ab")):
        assert same(index.get_by_attribute(name=several), objs[1:4]), several
    assert index.get_by_attribute(name="ab") == [objs[0]]
    assert index.get_by_attribute() == index.get_by_attribute(name=None) == []
