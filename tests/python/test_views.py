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


def assert_groups(index, members, path):
    """group_by(path) has the groups the model expects, with keys of the same value and type."""
    groups = index.group_by(path)
    expected = grouped(members, path).values()
    assert group_ids(groups) == {key: as_ids(held) for key, held in expected}, path
    assert sorted(map(repr, groups)) == sorted(repr(key) for key, _ in expected), path


def test_narrowing_a_view_never_leaves_it():
    objs = [Indexable(kind="a" if i % 2 else "b", n=i, tag=["t", i]) for i in range(10)]
    index = indexed(objs)
    view = index.reduced(kind="a")
    odd = objs[1::2]
    late = [Indexable(kind="a", n=1, tag="t"), Indexable(kind="a", n=3.0)]
    for added in ([], late):  # members added to the index later never enter the view
        index.add_object_many(added)
        assert same(view.collect(), odd)
        assert same(view.reduced(tag="t").collect(), odd)
        assert same(view.reduced(n=[0, 1, 2, 3]).collect(), [objs[1], objs[3]])
        assert same(view.reduced_query(EVERYONE).collect(), odd)
        assert same(view.reduced_query(Q.ne("n", 1)).collect(), odd[1:])
        assert view.reduced(kind="b").collect() == []
    assert same(index.reduced(kind="a").collect(), odd + late)
    inner = view.reduced_query(Q.gt("n", 2))
    assert same(inner.reduced_query(EVERYONE).collect(), odd[1:])
    assert same(inner.reduced(tag="t").collect(), odd[1:])


def test_narrowing_a_view_sees_later_writes():
    objs = [Indexable(n=i, name=f"n{i}") for i in range(5)]
    view = indexed(objs).reduced_query(Q.gt("n", 1))
    objs[2].n = -1  # still a member of the view: its id set is fixed
    objs[3].name = "renamed"
    objs[0].n = 100  # not in the view, so never found through it
    assert same(view.collect(), objs[2:])
    assert same(view.reduced_query(Q.gt("n", 1)).collect(), objs[3:])
    assert same(view.reduced(n=-1).collect(), [objs[2]])
    assert same(view.reduced(name="renamed").collect(), [objs[3]])
    assert view.reduced(name="n3").collect() == [] and view.reduced(n=100).collect() == []


def test_empty_views():
    index = indexed([Indexable(name="x"), Indexable(n=1)])
    for view in (index.reduced(name="nothing"), index.reduced(), index.reduced(unused=1),
                 index.reduced_query(Q.and_()),
                 index.reduced_query(Q.eq("name", "x")).reduced(name="y"),
                 Index().reduced_query(EVERYONE)):
        assert type(view) is FilteredIndex
        assert view.collect() == [] and view.reduced_query(EVERYONE).collect() == []
        assert view.reduced(name="x").collect() == []
        rebased = view.rebase()
        assert type(rebased) is Index
        assert rebased.collect() == [] and rebased.get_by_attribute(name="x") == []
        assert rebased.group_by("name") == {}


def test_rebased_index_is_independent_and_follows_writes():
    early = Indexable(zeta=1, omega="w")  # attributes first used by an object outside the view
    objs = [Indexable(name=f"n{i}", n=i, owner=Indexable(country="fr")) for i in range(6)]
    index = indexed([early] + objs)
    objs[1].gamma = "late"  # first used through a write after the add
    objs[2].owner.omega = "nested"  # first used below a nested object
    view = index.reduced_query(Q.lt("n", 3))
    rebased = view.rebase()
    assert type(rebased) is Index
    extra = Indexable(name="n4")
    rebased.add_object(extra)
    index.add_object(Indexable(name="n1"))
    members = objs[:3] + [extra]
    trees = [("eq", "name", "n1"), ("eq", "name", "y"), ("eq", "owner.country", "fr"),
             ("gt", "n", 10), ("eq", "gamma", "late"), ("eq", "owner.omega", "nested"),
             ("eq", "zeta", 1), ("eq", "zeta", 5), ("eq", "omega", "w"), ("eq", "brand_new", "n")]

    def check():
        assert same(rebased.collect(), members)
        for tree in trees:
            assert same(rebased.reduced_query(to_query(tree)).collect(), evaluate(tree, members))
        assert same(rebased.get_by_attribute(name="n4"), [extra])
        assert_groups(rebased, members, "n")

    check()
    assert same(index.get_by_attribute(name="n4"), [objs[4]])  # nor the other way round
    objs[0].n = 50
    objs[1].owner.country = "de"
    objs[2].name = ["x", "y"]
    objs[0].zeta = 5
    objs[1].brand_new = "n"
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
    objs += [
        Indexable(tags=[1, "a"], owner=fr), Indexable(tags=["a", ("b", ["a"])], owner=[fr, de]),
        Indexable(tags=None, owner=de), Indexable(tags=None), Indexable(tags=[], owner=None),
    ]
    index = indexed(objs)
    for path in ("n", "tags", "owner.country", "owner", "unused", "owner.unused"):
        assert_groups(index, objs, path)
    keys = {key: key for key in index.group_by("n")}
    assert type(keys[5]) is float and type(keys[big + 1]) is int and keys[big + 1] == big + 1
    assert Index().group_by("tags") == {}


def test_no_stale_groups_after_writes_and_reduce():
    owner = Indexable(country="fr")
    objs = [Indexable(n=1, owner=owner), Indexable(n=1.0), Indexable(n=2), Indexable(n=[3, 2])]
    index = indexed(objs)
    for write in (lambda: None, lambda: setattr(objs[0], "n", 2),
                  lambda: setattr(objs[1], "n", "one"), lambda: setattr(objs[3], "n", [4]),
                  lambda: setattr(owner, "country", "de"), lambda: setattr(objs[0], "owner", None)):
        write()
        assert_groups(index, objs, "n")
        assert_groups(index, objs, "owner.country")

    index.reduce(n=[2, 4])
    objs[2].n = 9
    for key, view in index.group_by("n").items():
        held = view.collect()
        assert held and set(map(id, held)) <= set(map(id, objs)), key
        assert same(held, select(held, "n", equals(key))), key


def test_numpy_integers_are_numbers_with_plain_int_keys():
    np = pytest.importorskip("numpy")
    objs = [Indexable(n=np.int64(5)), Indexable(n=5), Indexable(n=np.int64(-7)),
            Indexable(n=np.int64(2**62))]
    index = indexed(objs)
    groups = index.group_by("n")
    assert group_ids(groups) == {
        5: as_ids(objs[0:2]), -7: as_ids([objs[2]]), 2**62: as_ids([objs[3]])}
    assert all(type(key) is int for key in groups)
    assert same(index.get_by_attribute(n=5), objs[0:2])
    assert same(index.reduced_query(Q.lt("n", 0)).collect(), [objs[2]])


@pytest.mark.parametrize("keep, retrievals", [
    ({"kind": "a"}, [({"kind": "a"}, [0, 2, 3]), ({"kind": "b"}, [3]), ({"n": 1}, [0]),
                     ({"n": [1, 3]}, [0, 3]), ({"n": 1.0, "kind": "b"}, [])]),
    ({"n": 1}, [({"n": 1.0}, [0, 1]), ({"kind": ["a", "b", "c", "d"]}, [0, 1]),
                ({"kind": "c"}, []), ({"n": True}, []), ({"kind": "b"}, [1])]),
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
    everyone = mine + theirs
    assert same(b.collect(), theirs)

    def check():
        assert same(a.collect(), everyone)
        for tree in [
            ("eq", "name", "a"), ("eq", "n", 1), ("bt", "n", 1, 10), ("eq", "n", 2**53 + 1),
            ("lt", "n", 2**53 + 1), ("in", "name", ["z", "c"]), ("not", ("gt", "n", 2)),
            ("eq", "owner.country", "de"), ("ge", "owner.rank", 2), ("eq", "owner", fr),
            ("eq", "flag", True), ("or", [("eq", "size", 3), ("lt", "n", 2)]),
        ]:
            assert same(a.reduced_query(to_query(tree)).collect(), evaluate(tree, everyone)), tree
        for kw in ({"name": "a"}, {"n": [2.5, 10], "name": "z"}, {"size": 3}, {"owner": de}):
            assert same(a.get_by_attribute(**kw), keyword_select(everyone, kw)), kw
            assert same(a.reduced(**kw).collect(), keyword_select(everyone, kw)), kw
        for path in ("name", "n", "owner.country"):
            assert_groups(a, everyone, path)

    check()
    theirs[0].n = 7
    theirs[1].name = "y"
    theirs[2].size = [4, 3]
    de.country = "es"
    theirs[3].owner = fr
    check()  # writes to objects that came from the other index are seen
    assert same(b.get_by_attribute(n=7), [theirs[0]])


def test_union_reports_each_shared_attribute_once(capfd):
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
    assert len(a.collect()) == 5


def test_union_with_itself_changes_nothing():
    objs = [Indexable(name="a", n=i) for i in range(4)]
    index = indexed(objs)
    faulthandler.dump_traceback_later(60, exit=True, file=sys.stderr)  # a self-deadlock
    try:
        assert index.union_with(index) is None
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert same(index.collect(), objs)
    assert same(index.reduced_query(Q.gt("n", 1)).collect(), objs[2:])
    assert group_ids(index.group_by("n")) == {i: [id(objs[i])] for i in range(4)}
    objs[0].n = 9
    assert same(index.get_by_attribute(n=9), [objs[0]])


def test_keyword_values_stand_for_one_value_or_any_of_several():
    objs = [Indexable(name="ab"), Indexable(name="a"), Indexable(name="b"),
            Indexable(name=["a", "c"]), Indexable(name="c", n=1), Indexable(other="a")]
    index = indexed(objs)
    assert same(index.get_by_attribute(name="ab"), [objs[0]])
    assert same(index.get_by_attribute(name="a"), [objs[1], objs[3]])
    for several in (["a", "b"], ("a", "b"), {"a", "b"}, {"a": 1, "b": 2}.keys(),
                    (v for v in ["a", "b"])):
        assert same(index.get_by_attribute(name=several), objs[1:4]), several
    assert same(index.get_by_attribute(name="c", n=1), [objs[4]])
    for kw in ({"name": "a", "n": 1}, {"name": []}, {"name": None}, {}, {"unused": "a"}):
        assert index.get_by_attribute(**kw) == [], kw
    assert same(index.reduced(name=("a", "b")).collect(), objs[1:4])


def test_results_never_hold_non_members():
    owner = Indexable(name="x", n=1, tags=["t"])
    members = [Indexable(name="y", n=2, owner=owner), Indexable(name=["y", "z"], owner=[owner])]
    outsiders = [Indexable(name="x", n=1), Indexable(name="y", n=2, owner=owner)]
    index = indexed(members)
    outsiders[0].name = "y"
    owner.name = "y"
    assert same(index.get_by_attribute(name="y"), members)
    assert index.get_by_attribute(n=1) == [] and index.get_by_attribute(tags="t") == []
    assert same(index.reduced_query(EVERYONE).collect(), members)
    assert same(index.reduced_query(Q.ne("name", "q")).collect(), members)
    assert index.reduced_query(Q.lt("n", 2)).collect() == []
    assert same(index.reduced_query(Q.eq("owner.name", "y")).collect(), members)
    groups = index.group_by("name")
    assert group_ids(groups) == {"y": as_ids(members), "z": as_ids(members[1:])}
    assert set(index.group_by("n")) == {2} and index.group_by("tags") == {}
    assert same(index.reduced(name="y").rebase().collect(), members)
