"""Concurrent writers, adders and readers on shared indexes: no deadlock, nothing lost."""

import faulthandler
import random
import sys
import threading

from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import equals, same, select

DEADLINE = 120  # seconds before a hang is reported with every thread's stack


def run_threads(targets):
    """Runs the targets together; fails with whatever any of them raised."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    faulthandler.dump_traceback_later(DEADLINE, exit=True, file=sys.stderr)
    try:
        threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert errors == []


def check(index, objs, values):
    """`index` holds `objs`, and finds for each path and value what the model finds."""
    assert same(index.collect(), objs)
    for path, wanted in values.items():
        for value in wanted:
            found = index.reduced_query(Q.eq(path, value)).collect()
            assert same(found, select(objs, path, equals(value))), (path, value)
            if "." not in path:
                assert same(index.get_by_attribute(**{path: value}), found), (path, value)


def test_concurrent_writes_adds_and_queries_stay_consistent():
    rng = random.Random(7)
    owners = [Indexable(country=c) for c in ("fr", "de", "es")]
    shared = [Indexable(name=f"n{i}", size=i, owner=owners[i % 3]) for i in range(40)]
    # Objects that hold each other, written from several threads at once.
    shared[0].peer, shared[1].peer = shared[1], shared[0]
    indexes = [Index(), Index()]
    for index in indexes:
        index.add_object_many(shared)
    extra = [Indexable(name="n0", size=1.0) for _ in range(200)]

    def writer(seed):
        local = random.Random(seed)
        values = ["n0", "n1", 3, 2.5, True, None, ["n0", ("n2", 4)], {"n3"}]
        choices = {"name": values, "size": values, "peer": shared,
                   "owner": owners + [None, [owners[0], owners[1]]]}
        for _ in range(400):
            attr = local.choice(list(choices))
            setattr(local.choice(shared), attr, local.choice(choices[attr]))

    def adder():
        for i, obj in enumerate(extra):
            indexes[i % 2].add_object(obj)

    def reader():
        for _ in range(200):
            index = rng.choice(indexes)
            index.get_by_attribute(name="n0")
            index.reduced_query(Q.or_(Q.gt("size", 2), Q.eq("owner.country", "fr"))).collect()
            index.group_by("name")

    run_threads([lambda s=s: writer(s) for s in range(8)] + [adder, reader, reader])

    for index, objs in zip(indexes, (shared + extra[0::2], shared + extra[1::2])):
        check(index, objs, {"name": ("n0", "n1", "n3", 3, 4, 2.5, True),
                            "size": ("n0", 3, 4, 2.5, True), "owner.country": ("fr", "de", "es")})


def test_two_threads_writing_objects_that_hold_each_other():
    a, b = Indexable(), Indexable()
    a.other, b.other = b, a
    index = Index()
    index.add_object_many([a, b])

    def flip(me, other):
        for i in range(2000):
            me.other = other if i % 2 else [other, i]

    run_threads([lambda: flip(a, b), lambda: flip(b, a)])
    assert index.get_by_attribute(other=b) == [a]
    assert index.get_by_attribute(other=a) == [b]


def test_large_batch_with_writes_during_the_build():
    # A batch this large is indexed by two passes at once (nested values and the rest); writes
    # made meanwhile, also turning plain values into nested objects and back, must all be kept.
    rng = random.Random(11)
    owners = [Indexable(country=c) for c in ("fr", "de", "es", "it")]
    objs = [Indexable(name=f"n{i % 50}", size=i % 7, tags=[f"t{i % 3}", i % 5],
                      owner=owners[i % 4] if i % 3 else None) for i in range(20000)]
    index = Index()

    def writer():
        for _ in range(3000):
            obj = rng.choice(objs)
            if rng.randrange(2):
                obj.owner = rng.choice(owners + [None, "fr", [owners[0], "x"]])
            else:
                obj.name = rng.choice(["n1", "n2", owners[1], 4.5])

    run_threads([lambda: index.add_object_many(objs), writer])

    check(index, objs, {"name": ("n1", "n2", "n7", 4.5, owners[1]), "size": range(7),
                        "owner": ("fr", "x", owners[0]), "owner.country": ("fr", "de", "es", "it")})


def test_queries_during_writes_see_the_old_or_the_new_value():
    # Every value `a` takes holds 1 or 2 (as numbers), and every value `t` takes holds "k" and
    # the owner: whichever write is under way, x must be found. Consecutive values share keys, so
    # taking out the old value must leave what the new one just put in.
    owner = Indexable(c="fr")
    x = Indexable(a=1, t="k")
    index = Index()
    index.add_object_many([x] + [Indexable(a=i % 5, t=str(i)) for i in range(100)])
    values_a = [1, 2, [1, "k"], ["k", 2.0], [owner, 1, 1], (owner, 2, True), 1.0]
    values_t = [["k", owner], (owner, "k", 3), ["k", [owner, "k"]]]
    done = threading.Event()

    def writer():
        for i in range(30000):
            x.a = values_a[i % len(values_a)]
            x.t = values_t[i % len(values_t)]
        done.set()

    def reader():
        misses = 0
        while not done.is_set():
            misses += x not in index.get_by_attribute(a=[1, 2])
            misses += x not in index.get_by_attribute(t="k")
            misses += x not in index.reduced_query(Q.eq("t.c", "fr")).collect()
        assert misses == 0

    x.t = values_t[0]
    run_threads([writer, reader, reader])
    check(index, index.collect(), {"a": (1, 2, "k", owner, True), "t": ("k", owner, 3), "t.c": ("fr",)})
