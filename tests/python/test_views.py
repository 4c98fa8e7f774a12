"""Views (FilteredIndex), rebase, group_by, reduce, union_with and keyword retrieval."""

import faulthandler
import gc
import re
import sys

import pytest
from Veldrake import FilteredIndex, Index, Indexable, PyQueryExpr as Q

from reference_model import equals, evaluate, grouped, keyword_select, same, select, to_query


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


class TestViews:
    def test_narrowing_a_view_never_leaves_it(self):
        objs = [Indexable(kind="a" if i % 2 else "b", n=i, tag=["t", i]) for i in range(10)]
        index = indexed(objs)
        view = index.reduced(kind="a")
        odd = objs[1::2]
        assert same(view.collect(), odd)
        assert same(view.reduced(tag="t").collect(), odd)
        assert same(view.reduced(n=[0, 1, 2, 3]).collect(), [objs[1], objs[3]])
        assert same(view.reduced_query(Q.not_(Q.and_())).collect(), odd)
        assert same(view.reduced_query(Q.ne("n", 1)).collect(), odd[1:])
        assert same(view.reduced_query(Q.lt("n", 4)).collect(), [objs[1], objs[3]])
        assert view.reduced(kind="b").collect() == []

        late = [Indexable(kind="a", n=1, tag="t"), Indexable(kind="a", n=3.0)]
        index.add_object_many(late)
        assert same(index.reduced(kind="a").collect(), odd + late)
        assert same(view.collect(), odd)
        assert same(view.reduced(kind="a").collect(), odd)
        assert same(view.reduced(n=1).collect(), [objs[1]])
        assert same(view.reduced_query(Q.eq("n", 3)).collect(), [objs[3]])
        assert same(view.reduced_query(Q.not_(Q.eq("n", 5))).collect(), [o for o in odd if o.n != 5])
        inner = view.reduced_query(Q.gt("n", 2))
        assert same(inner.collect(), odd[1:])
        assert same(inner.reduced_query(Q.not_(Q.and_())).collect(), odd[1:])
        assert same(inner.reduced(tag="t").collect(), odd[1:])

    def test_narrowing_a_view_sees_later_writes(self):
        objs = [Indexable(n=i, name=f"n{i}") for i in range(5)]
        index = indexed(objs)
        view = index.reduced_query(Q.gt("n", 1))
        members = objs[2:]
        objs[2].n = -1  # still a member of the view: its id set is fixed
        objs[3].name = "renamed"
        objs[0].n = 100  # not in the view, so never found through it
        assert same(view.collect(), members)
        assert same(view.reduced_query(Q.gt("n", 1)).collect(), objs[3:])
        assert same(view.reduced(n=-1).collect(), [objs[2]])
        assert same(view.reduced(name="renamed").collect(), [objs[3]])
        assert view.reduced(name="n3").collect() == []
        assert view.reduced(n=100).collect() == []
        assert same(view.reduced_query(Q.ne("n", -1)).collect(), objs[3:])

    def test_empty_views(self):
        index = indexed([Indexable(name="x"), Indexable(n=1)])
        empties = [
            index.reduced(name="nothing"),
            index.reduced(),
            index.reduced(unused=1),
            index.reduced_query(Q.and_()),
            index.reduced_query(Q.eq("name", "x")).reduced(name="y"),
            Index().reduced_query(Q.not_(Q.and_())),
        ]
        for view in empties:
            assert type(view) is FilteredIndex
            assert view.collect() == []
            assert view.reduced_query(Q.not_(Q.and_())).collect() == []
            assert view.reduced(name="x").collect() == []
            rebased = view.rebase()
            assert type(rebased) is Index
            assert rebased.collect() == []
            assert rebased.get_by_attribute(name="x") == []
            assert rebased.group_by("name") == {}


class TestRebase:
    def test_rebased_index_is_independent_and_follows_writes(self):
        objs = [Indexable(name=f"n{i}", n=i, owner=Indexable(country="fr")) for i in range(6)]
        index = indexed(objs)
        view = index.reduced_query(Q.lt("n", 3))
        rebased = view.rebase()
        assert type(rebased) is Index
        assert same(rebased.collect(), objs[:3])
        assert same(rebased.get_by_attribute(name=["n1", "n4"]), [objs[1]])
        assert same(rebased.reduced_query(Q.eq("owner.country", "fr")).collect(), objs[:3])

        index.add_object(Indexable(name="n1"))
        extra = Indexable(name="n4")
        rebased.add_object(extra)
        assert same(rebased.get_by_attribute(name=["n1", "n4"]), [objs[1], extra])
        assert same(index.get_by_attribute(name="n4"), [objs[4]])
        assert len(index.collect()) == 7
        assert same(view.collect(), objs[:3])

        objs[0].n = 50
        objs[1].owner.country = "de"
        objs[2].name = ["x", "y"]
        assert same(rebased.reduced_query(Q.gt("n", 10)).collect(), [objs[0]])
        assert same(rebased.reduced_query(Q.eq("owner.country", "de")).collect(), [objs[1]])
        assert same(rebased.get_by_attribute(name="y"), [objs[2]])
        assert rebased.get_by_attribute(name="n2") == []
        assert same(index.get_by_attribute(name="y"), [objs[2]])

        del index, view
        gc.collect()
        objs[0].n = 51
        assert same(rebased.get_by_attribute(n=51), [objs[0]])
        assert group_ids(rebased.group_by("n")) == {
            51: as_ids([objs[0]]), 1: as_ids([objs[1]]), 2: as_ids([objs[2]])}

    def test_rebase_keeps_attributes_first_used_in_any_order(self):
        index = Index()
        early = Indexable(zeta=1, omega="w")  # attributes first used by an object outside the view
        index.add_object(early)
        a = Indexable(beta="b", alpha=2)
        b = Indexable(alpha=3.0)
        index.add_object_many([a, b])
        b.gamma = "late"  # first used through a write after the add
        b.beta = ["b2", 7]
        a.owner = Indexable(omega="nested", zeta=2)  # first used below a nested object
        view = index.reduced_query(Q.ge("alpha", 2))
        rebased = view.rebase()
        assert same(rebased.collect(), [a, b])
        assert same(rebased.get_by_attribute(beta="b"), [a])
        assert same(rebased.get_by_attribute(beta=7), [b])
        assert same(rebased.get_by_attribute(gamma="late"), [b])
        assert same(rebased.reduced_query(Q.bt("alpha", 2, 3)).collect(), [a, b])
        assert same(rebased.reduced_query(Q.eq("owner.omega", "nested")).collect(), [a])
        assert same(rebased.reduced_query(Q.eq("owner.zeta", 2)).collect(), [a])
        assert rebased.get_by_attribute(zeta=1) == []
        assert rebased.get_by_attribute(omega="w") == []
        assert set(rebased.group_by("alpha")) == {2, 3.0}

        b.zeta = 5
        a.brand_new = "n"
        a.owner.omega = "changed"
        assert same(rebased.get_by_attribute(zeta=5), [b])
        assert same(rebased.get_by_attribute(brand_new="n"), [a])
        assert same(index.get_by_attribute(brand_new="n"), [a])
        assert same(rebased.reduced_query(Q.eq("owner.omega", "changed")).collect(), [a])
        assert same(index.get_by_attribute(zeta=[1, 5]), [early, b])


class TestGroupBy:
    def test_numeric_keys(self):
        big = 2**53
        objs = [
            Indexable(n=5), Indexable(n=5.0), Indexable(n=7), Indexable(n=7),
            Indexable(n=big + 1), Indexable(n=big), Indexable(n=2.5), Indexable(n=-(2**63)),
            Indexable(n=big + 3), Indexable(n=float(big + 4)), Indexable(n=big + 4),
        ]
        index = indexed(objs)
        groups = index.group_by("n")
        assert group_ids(groups) == {
            5.0: as_ids(objs[0:2]), 7: as_ids(objs[2:4]), big + 1: as_ids([objs[4]]),
            big: as_ids([objs[5]]), 2.5: as_ids([objs[6]]), -(2**63): as_ids([objs[7]]),
            big + 3: as_ids([objs[8]]), float(big + 4): as_ids(objs[9:11]),
        }
        keys = {key: key for key in groups}
        assert type(keys[5]) is float and keys[5] == 5.0
        assert type(keys[7]) is int
        for exact in (big + 1, big, -(2**63), big + 3):
            assert type(keys[exact]) is int and keys[exact] == exact
        assert type(keys[big + 4]) is float

    def test_lists_none_holders_and_dotted_paths(self):
        fr, de = Indexable(country="fr"), Indexable(country="de")
        objs = [
            Indexable(tags=[1, "a"], owner=fr), Indexable(tags=["a", ("b", ["a"])], owner=[fr, de]),
            Indexable(tags=None, owner=de), Indexable(tags=None), Indexable(other=1),
            Indexable(tags=[], owner=None),
        ]
        index = indexed(objs)
        assert group_ids(index.group_by("tags")) == {
            1: as_ids([objs[0]]), "a": as_ids(objs[0:2]), "b": as_ids([objs[1]]),
            None: as_ids(objs[2:4]),
        }
        assert group_ids(index.group_by("owner.country")) == {
            "fr": as_ids(objs[0:2]), "de": as_ids(objs[1:3])}
        assert same(index.group_by("owner")[fr].collect(), objs[0:2])
        assert index.group_by("unused") == {}
        assert index.group_by("owner.unused") == {}
        assert Index().group_by("tags") == {}

    def test_no_stale_groups_after_writes_and_reduce(self):
        owner = Indexable(country="fr")
        objs = [Indexable(n=1, owner=owner), Indexable(n=1.0), Indexable(n=2), Indexable(n=[3, 2])]
        index = indexed(objs)
        objs[0].n = 2
        objs[1].n = "one"
        objs[3].n = [4]
        assert group_ids(index.group_by("n")) == {
            2: as_ids(objs[0:3:2]), "one": as_ids([objs[1]]), 4: as_ids([objs[3]])}
        owner.country = "de"
        assert group_ids(index.group_by("owner.country")) == {"de": as_ids([objs[0]])}
        objs[0].owner = None
        assert index.group_by("owner.country") == {}

        index.reduce(n=[2, 4])
        objs[2].n = 9
        groups = index.group_by("n")
        members = {id(o) for o in objs}
        for key, view in groups.items():
            held = view.collect()
            assert held, key
            assert all(id(o) in members for o in held)
            assert same(held, select(held, "n", equals(key))), key
        assert 2 not in groups or same(groups[2].collect(), [objs[0]])

    def test_numpy_integers_are_numbers_with_plain_int_keys(self):
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


class TestReduce:
    def test_reduce_narrows_keyword_retrieval_for_strings(self):
        objs = [Indexable(kind="a", n=1), Indexable(kind="b", n=1.0), Indexable(kind="a", n=2),
                Indexable(kind=["a", "b"], n=3)]
        index = indexed(objs)
        index.reduce(kind="a")
        assert same(index.collect(), objs)
        assert same(index.get_by_attribute(kind="a"), [objs[0], objs[2], objs[3]])
        assert same(index.get_by_attribute(kind="b"), [objs[3]])
        assert same(index.get_by_attribute(n=1), [objs[0]])
        assert same(index.reduced(n=[1, 3]).collect(), [objs[0], objs[3]])
        assert index.reduced(n=1.0).reduced(kind="b").collect() == []

    def test_reduce_narrows_keyword_retrieval_for_numbers(self):
        objs = [Indexable(kind="a", n=1), Indexable(kind="b", n=1.0), Indexable(kind="c", n=2),
                Indexable(kind="d", n=True), Indexable(kind="e")]
        index = indexed(objs)
        index.reduce(n=1)
        assert same(index.collect(), objs)
        assert same(index.get_by_attribute(n=1.0), objs[0:2])
        assert same(index.get_by_attribute(kind=["a", "b", "c", "d", "e"]), objs[0:2])
        assert index.get_by_attribute(kind="c") == []
        assert index.get_by_attribute(n=True) == []
        assert same(index.reduced(kind="b").collect(), [objs[1]])
        assert index.reduced(kind="d").collect() == []


class TestUnion:
    def test_union_answers_every_kind_of_query_for_both_sides(self):
        fr, de = Indexable(country="fr", rank=1), Indexable(country="de", rank=2.0)
        mine = [Indexable(name="a", n=1, owner=fr), Indexable(name="b", n=2.5),
                Indexable(name=["c", "a"], flag=True)]
        theirs = [Indexable(name="a", n=1.0, owner=de), Indexable(name="z", n=10, owner=[fr, de]),
                  Indexable(size=3, name=None), Indexable(n=2**53 + 1)]
        a, b = indexed(mine), indexed(theirs)
        before = a.reduced(name="a")
        assert a.union_with(b) is None
        assert same(before.collect(), [mine[0], mine[2]])  # a view never gains members
        assert same(before.reduced(n=1).collect(), [mine[0]])
        everyone = mine + theirs
        assert same(a.collect(), everyone)
        assert same(b.collect(), theirs)

        def check():
            trees = [
                ("eq", "name", "a"), ("eq", "n", 1), ("gt", "n", 2), ("bt", "n", 1, 10),
                ("eq", "n", 2**53 + 1), ("lt", "n", 2**53 + 1),
                ("in", "name", ["z", "c"]), ("ne", "name", "a"), ("not", ("gt", "n", 2)),
                ("eq", "owner.country", "de"), ("ge", "owner.rank", 2), ("eq", "size", 3),
                ("eq", "owner", fr), ("eq", "flag", True), ("or", [("eq", "size", 3), ("lt", "n", 2)]),
            ]
            for tree in trees:
                expr = to_query(tree)
                assert same(a.reduced_query(expr).collect(), evaluate(tree, everyone)), tree
            for keywords in ({"name": "a"}, {"n": 1}, {"n": [2.5, 10], "name": "z"}, {"size": 3},
                             {"owner": de}):
                assert same(a.get_by_attribute(**keywords), keyword_select(everyone, keywords))
                assert same(a.reduced(**keywords).collect(), keyword_select(everyone, keywords))
            for path in ("name", "n", "owner.country"):
                expected = {key: as_ids(objs) for key, objs in grouped(everyone, path).values()}
                assert group_ids(a.group_by(path)) == expected, path

        check()
        theirs[0].n = 7
        theirs[1].name = "y"
        theirs[2].size = [4, 3]
        de.country = "es"
        theirs[3].owner = fr
        check()
        assert same(a.get_by_attribute(n=7), [theirs[0]])
        assert same(a.reduced_query(Q.eq("owner.country", "es")).collect(), theirs[0:2])
        assert same(b.get_by_attribute(n=7), [theirs[0]])
        assert same(a.reduced_query(Q.eq("owner.country", "fr")).collect(),
                    [mine[0], theirs[1], theirs[3]])

    def test_union_reports_each_shared_attribute_once(self, capfd):
        a = indexed([Indexable(name="x", n=1, only_a=True), Indexable(name="y")])
        b = indexed([Indexable(name="z", n=2.5, only_b="q"), Indexable(other=1)])
        capfd.readouterr()
        a.union_with(b)
        lines = capfd.readouterr().err.splitlines()
        assert len(lines) == 2, lines
        for line in lines:
            assert re.fullmatch(r"Merging attribute with 0x[0-9a-fA-F]+ and 0x[0-9a-fA-F]+", line)
        assert len(a.collect()) == 4

        c = indexed([Indexable(unshared=1)])
        capfd.readouterr()
        a.union_with(c)
        assert capfd.readouterr().err == ""
        assert len(a.collect()) == 5

    def test_union_with_itself_changes_nothing(self):
        objs = [Indexable(name="a", n=i) for i in range(4)]
        index = indexed(objs)
        faulthandler.dump_traceback_later(60, exit=True, file=sys.stderr)
        try:
            assert index.union_with(index) is None
        finally:
            faulthandler.cancel_dump_traceback_later()
        assert same(index.collect(), objs)
        assert same(index.get_by_attribute(name="a"), objs)
        assert same(index.reduced_query(Q.gt("n", 1)).collect(), objs[2:])
        assert group_ids(index.group_by("n")) == {i: [id(objs[i])] for i in range(4)}
        objs[0].n = 9
        assert same(index.get_by_attribute(n=9), [objs[0]])




class TestKeywords:
    def test_keyword_values_stand_for_one_value_or_any_of_several(self):
        objs = [Indexable(name="ab"), Indexable(name="a"), Indexable(name="b"),
                Indexable(name=["a", "c"]), Indexable(name="c", n=1), Indexable(other="a")]
        index = indexed(objs)
        assert same(index.get_by_attribute(name="ab"), [objs[0]])
        assert same(index.get_by_attribute(name="a"), [objs[1], objs[3]])
        for several in (["a", "b"], ("a", "b"), {"a", "b"}, {"a": 1, "b": 2}.keys(),
                        (v for v in ["a", "b"])):
            assert same(index.get_by_attribute(name=several), objs[1:4]), several
        assert same(index.get_by_attribute(name="c", n=1), [objs[4]])
        assert index.get_by_attribute(name="a", n=1) == []
        assert index.get_by_attribute(name=[]) == []
        assert index.get_by_attribute(name=None) == []
        assert index.get_by_attribute(name=["zz"]) == []
        assert index.get_by_attribute() == []
        assert index.get_by_attribute(unused="a") == []
        assert same(index.reduced(name=("a", "b")).collect(), objs[1:4])

    def test_numbers_match_numerically_and_bools_only_bools(self):
        objs = [Indexable(age=30), Indexable(age=30.0), Indexable(age=[1, 31]),
                Indexable(age=True), Indexable(age=1), Indexable(age=False), Indexable(age=0.0)]
        index = indexed(objs)
        assert same(index.get_by_attribute(age=30), objs[0:2])
        assert same(index.get_by_attribute(age=30.0), objs[0:2])
        assert same(index.get_by_attribute(age=[30, 31]), objs[0:3])
        assert same(index.get_by_attribute(age=1), [objs[2], objs[4]])
        assert same(index.get_by_attribute(age=True), [objs[3]])
        assert same(index.get_by_attribute(age=False), [objs[5]])
        assert same(index.get_by_attribute(age=0), [objs[6]])
        assert same(index.get_by_attribute(age=[True, 0]), [objs[3], objs[6]])
        assert index.get_by_attribute(age=float("nan")) == []
        assert same(index.reduced(age=1.0).collect(), [objs[2], objs[4]])

    def test_failing_generator_error_propagates_and_index_still_works(self):
        objs = [Indexable(name="a"), Indexable(name="b")]
        index = indexed(objs)
        error = ValueError("generator broke")

        def broken():
            yield "a"
            raise error

        for call in (index.get_by_attribute, index.reduced, index.reduced(name="a").reduced):
            with pytest.raises(ValueError) as info:
                call(name=broken())
            assert info.value is error
        assert same(index.get_by_attribute(name=["a", "b"]), objs)
        assert same(index.reduced(name="b").collect(), [objs[1]])
        objs[0].name = "c"
        assert same(index.get_by_attribute(name="c"), [objs[0]])


def test_argument_errors_name_the_argument():
    objs = [Indexable(name="a")]
    index = indexed(objs)
    view = index.reduced(name="a")
    with pytest.raises(TypeError, match="argument 'query'"):
        index.reduced_query("eq")
    with pytest.raises(TypeError, match="argument 'query'"):
        index.reduced_query(query=None)
    with pytest.raises(TypeError, match="argument 'query'"):
        view.reduced_query(5)
    with pytest.raises(TypeError, match="argument 'other'"):
        index.union_with(view)
    with pytest.raises(TypeError, match="argument 'other'"):
        index.union_with(5)
    with pytest.raises(TypeError, match="argument 'attr'"):
        index.group_by(5)
    for call in (index.get_by_attribute, index.reduced, index.reduce, view.reduced):
        with pytest.raises(TypeError):
            call("name")
        with pytest.raises(TypeError):
            call("name", name="a")
    assert same(index.collect(), objs)
    assert same(index.get_by_attribute(name="a"), objs)
    assert same(view.collect(), objs)


def test_results_never_hold_non_members():
    owner = Indexable(name="x", n=1, tags=["t"])
    members = [Indexable(name="y", n=2, owner=owner), Indexable(name=["y", "z"], owner=[owner])]
    outsiders = [Indexable(name="x", n=1), Indexable(name="y", n=2, owner=owner)]
    index = indexed(members)
    outsiders[0].name = "y"
    owner.name = "y"

    member_ids = {id(m) for m in members}

    def only_members(objs):
        assert {id(o) for o in objs} <= member_ids
        return objs

    assert same(only_members(index.get_by_attribute(name="y")), members)
    assert only_members(index.get_by_attribute(n=1)) == []
    assert only_members(index.get_by_attribute(tags="t")) == []
    assert same(only_members(index.reduced_query(Q.not_(Q.and_())).collect()), members)
    assert same(only_members(index.reduced_query(Q.ne("name", "q")).collect()), members)
    assert only_members(index.reduced_query(Q.lt("n", 2)).collect()) == []
    assert same(only_members(index.reduced_query(Q.eq("owner.name", "y")).collect()), members)
    groups = index.group_by("name")
    assert set(groups) == {"y", "z"}
    for view in groups.values():
        only_members(view.collect())
    assert set(index.group_by("n")) == {2}
    assert index.group_by("tags") == {}
    assert same(only_members(index.reduced(name="y").rebase().collect()), members)
