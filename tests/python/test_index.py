"""Registration, keyword retrieval and live updates (graphs of objects: test_dotted_paths.py)."""

import gc

from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import indexed


def test_collect_returns_members_in_ascending_id_order_each_once():
    gc.collect()
    # Fresh objects take ids in creation order only once released ids are used up.
    objs = [Indexable(n=i) for i in range(3000)]
    first, second, third = objs[-3:]
    index = Index()
    for _ in range(2):
        index.add_object(third)
        index.add_object_many([second, first, third])
    assert index.collect() == [first, second, third]
    assert Index().collect() == []


def test_writes_replace_the_stored_value_not_what_it_became():
    # (Writes to objects in several indexes, and after the indexes are gone, are the driver's.)
    tags = ["a", ("b", {"x"}), 3]
    obj = Indexable(tags=tags)
    index = indexed([obj])
    tags.append("late")  # mutating a stored list in place is not seen: only writes are
    assert index.get_by_attribute(tags="late") == [] and index.get_by_attribute(tags="x") == [obj]
    obj.tags = [2, {"k": "z"}]  # dicts contribute nothing
    assert [index.count(tags=v) for v in ("a", "b", 3, "x", "late", "z", 2)] == [0] * 6 + [1]


def test_a_write_reaches_every_index_holding_the_object():
    # More indexes than a write lists on the stack, one of them gone before the write.
    obj = Indexable(city="a", n=1)
    indexes = [indexed([obj, Indexable(city="a", n=1)]) for _ in range(7)]
    del indexes[3]
    gc.collect()
    obj.city, obj.n = "b", 2
    for index in indexes:
        assert [index.count(city=v) for v in "ab"] + [index.count(n=v) for v in (1, 2)] == [1] * 4
        assert index.get_by_attribute(city="b") == index.get_by_attribute(n=2) == [obj]


def test_a_write_is_indexed_as_a_members_only_where_the_object_is_a_member():
    # An index holding the object only through a member's nested values keeps its value apart
    # from the members' values, whichever way the object came to that index and left it.
    inner = Indexable(name="inner", n=0)
    outer = Indexable(name="outer", peer=inner)
    for n in range(-20, 0):  # an index gone at once leaves its address to the next one
        indexed([inner])
        reaching = Index()
        reaching.add_object(outer)
        inner.n = n
        assert reaching.get_by_attribute(n=n) == [] and reaching.count(Q.eq("peer.n", n)) == 1
    both = Index()
    both.add_object_many([outer, inner])
    steps = [
        (lambda: None, [True, False]),
        (lambda: both.remove(inner), [False, False]),  # still reached through `outer`
        (lambda: both.add_object(inner), [True, False]),
        (lambda: reaching.add_object(inner), [True, True]),
        (lambda: reaching.remove(inner), [True, False]),
        (lambda: both.remove(outer), [True, False]),  # a member no longer reached
        (lambda: both.remove(inner), [False, False]),
    ]
    for n, (step, members) in enumerate(steps, 1):
        step()
        inner.n = n
        assert [index.get_by_attribute(n=n) == [inner] for index in (both, reaching)] == members, n
        assert reaching.count(Q.eq("peer.n", n)) == 1, n


def test_unknown_values_leave_nothing_behind_and_are_stored_in_linear_time():
    few = [Indexable(v=None) for _ in range(3)]
    index = indexed(few)
    for value in [None] * 1000 + [b"bytes", "plain"]:
        few[0].v = value
    groups = index.group_by("v")
    assert {k: len(g.collect()) for k, g in groups.items()} == {None: 2, "plain": 1}
    # Thousands of distinct objects of unknown kind must not share one hash bucket; with a
    # quadratic store this takes minutes instead of well under a second.
    many = [Indexable(v=object()) for _ in range(20000)]
    index = indexed(many)
    for holder in many:
        holder.v = object()
    assert len(index.group_by("v")) == 20000


def test_batch_of_many_attribute_names_indexes_each_value_under_its_own_name():
    # Large enough for the two-pass build; more names than a pass keeps value indexes at hand,
    # met in shifting orders, so kept indexes are displaced and looked up again.
    names = [f"attr_{k}" for k in range(40)]
    objs = [Indexable(**{names[(i * 7 + j * 13) % 40]: (i + j) % 5 for j in range(6)})
            for i in range(9000)]
    assert_batch_indexes_as_one_by_one(objs, names)


def test_batch_of_objects_holding_an_owner_indexes_every_value_in_one_pass_or_the_other():
    # The two passes split the attributes by the first object's costs; later objects hold some
    # attributes it lacks, and numbers and strings where it had others.
    owners = [Indexable(country=f"c{k % 7}") for k in range(50)]
    objs = [Indexable(owner=owners[0], age=1, score=0.5, city="x", active=True, tags=["t", 2])]
    objs += [Indexable(owner=owners[i % 50], score=i / 7, city=f"c{i % 30}", active=i % 3 == 0,
                       tags=[f"t{i % 11}", i % 4],
                       **({"late": i % 5, "age": i % 90} if i % 2 else {"age": f"a{i % 3}"}))
             for i in range(9000)]
    assert_batch_indexes_as_one_by_one(
        objs, ["owner", "age", "score", "city", "active", "tags", "late", "owner.country"])


def assert_batch_indexes_as_one_by_one(objs, names):
    one_by_one = Index()
    for obj in objs:
        one_by_one.add_object(obj)
    batch = indexed(objs)
    for name in names:
        expected = {k: v.collect() for k, v in one_by_one.group_by(name).items()}
        assert {k: v.collect() for k, v in batch.group_by(name).items()} == expected
        assert sum(map(len, expected.values())) > 0
