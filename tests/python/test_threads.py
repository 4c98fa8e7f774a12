"""Concurrent writers, adders and readers on shared indexes: no deadlock, nothing lost."""

import faulthandler
import os
import random
import sys
import threading

from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import equals, same, select

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "model"))
import driver  # noqa: E402

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


def test_threads_running_the_random_driver_agree_with_the_model():
    # Threads run the driver's operations on shared objects and indexes (answers checked to hold
    # members only); once they stop, everything is checked exactly.
    program = driver.Program(driver.RandomChoices(random.Random(7)), transcript=False)
    program.max_objects, program.order = 60, None
    for _ in range(30):
        program.new_object()
    program.new_index()
    agents = [program.agent(driver.RandomChoices(random.Random(seed))) for seed in range(6)]
    run_threads([lambda a=a: [a.step() for _ in range(300)] for a in agents])
    program.sync()
    program.check_all()


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
