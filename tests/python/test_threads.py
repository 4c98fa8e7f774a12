"""Concurrent writers, adders and readers on shared indexes: no deadlock, nothing lost."""

import os
import random
import threading

import pytest

from Veldrake import Index, Indexable, PyQueryExpr as Q

import driver
from fresh_interpreter import run_fresh, run_threads
from reference_model import indexed, same


def test_threads_running_the_random_driver_agree_with_the_model():
    # Threads run the driver's operations on shared objects and indexes (answers checked to hold
    # members only), relinking objects that hold each other; once they stop, everything is checked
    # exactly, dotted paths through the cycles too.
    program = driver.Program(driver.RandomChoices(random.Random(7)))
    program.max_objects, program.order, program.cyclic = 60, None, True
    for _ in range(30):
        program.new_object()
    program.new_index()
    agents = [program.agent(driver.RandomChoices(random.Random(seed))) for seed in range(6)]
    run_threads([lambda a=a: [a.step() for _ in range(300)] for a in agents])
    program.sync()
    program.check_all()


@pytest.mark.parametrize("first_nested", [False, True])
def test_large_batch_with_writes_during_the_build(first_nested):
    # A batch this large is indexed by two passes at once (nested values and the rest; whether
    # the first object holds a nested value decides how the plain values are shared out); writes
    # made meanwhile, also turning plain values into nested objects and back, must all be kept.
    rng = random.Random(11)
    owners = [Indexable(country=c) for c in ("fr", "de", "es", "it")]
    objs = [Indexable(name=f"n{i % 50}", size=i % 7, tags=[f"t{i % 3}", i % 5],
                      owner=owners[i % 4] if (i + first_nested) % 3 else None)
            for i in range(20000)]
    index = Index()

    def writer():
        for _ in range(3000):
            obj = rng.choice(objs)
            if rng.randrange(2):
                obj.owner = rng.choice(owners + [None, "fr", [owners[0], "x"]])
            else:
                obj.name = rng.choice(["n1", "n2", owners[1], 4.5])

    run_threads([lambda: index.add_object_many(objs), writer])

    fresh = indexed(objs)  # built from the values as they ended
    assert same(index.collect(), objs)
    for path in ("name", "size", "tags", "owner", "owner.country"):
        assert index.group_counts(path) == fresh.group_counts(path), path


def test_interpreter_exit_while_daemon_threads_write_add_and_query():
    code = """if 1:
        import itertools, threading, time
        from Veldrake import Index, Indexable, PyQueryExpr as Q
        objs = [Indexable(v=i, kid=Indexable(w=i)) for i in range(100)]
        index = Index()
        index.add_object_many(objs)

        def forever(step):
            for i in itertools.count():
                step(i)

        steps = [lambda i: setattr(objs[i % 100], "v", i),
                 lambda i: setattr(objs[i % 100], "kid", objs[(i + 1) % 100]),
                 lambda i: index.add_object_many(objs),
                 lambda i: Index().add_object_many(objs * 90),  # indexed by two threads
                 lambda i: index.reduced_query(Q.eq("kid.w", i % 100)).collect()]
        for step in steps + steps[:1]:
            threading.Thread(target=forever, args=(step,), daemon=True).start()
        time.sleep(0.1)
        """
    for _ in range(4):
        run_fresh(code, timeout=300)


def test_fork_while_other_threads_are_inside_the_module():
    # The child inherits the module's state as another thread left it mid-operation: it must be
    # able to use every index and object it inherited. Large adds look for Ctrl-C as they go,
    # which must not leave a lock held while the fork waits.
    code = """if 1:
        import faulthandler, gc, os, random, threading, time
        from Veldrake import Index, Indexable
        objs = [Indexable(v=i, kid=Indexable(w=i)) for i in range(10000)]
        shared = Index()
        shared.add_object_many(objs)
        stop = False

        def adder():
            while not stop:
                shared.add_object_many(objs)
                Index().add_object_many(objs[::3])

        def writer():
            i = 0
            while not stop:
                objs[i % 100].kid = Indexable(w=-i)
                i += 1

        threads = [threading.Thread(target=adder), threading.Thread(target=writer)]
        for thread in threads:
            thread.start()
        hung = failed = 0
        for _ in range(6):
            time.sleep(random.random() * 0.02)
            pid = os.fork()
            if pid == 0:
                # A hang shows where it is (not under TSan, which stops a forked child that
                # starts a thread).
                if os.environ.get("VELDRAKE_SANITIZER") != "thread":
                    faulthandler.dump_traceback_later(15, exit=True)
                gc.collect()
                a = Indexable()
                a.kid = Indexable(w=1)
                objs[0].v = -1
                objs[1].kid = a
                shared.add_object(a)
                ok = (shared.get_by_attribute(v=-1) == [objs[0]]
                      and len(shared.reduced(kid=a).collect()) == 1)
                # A removal waits for the additions in progress: none may have been left
                # halfway by a thread that is gone.
                shared.remove(a)
                ok = ok and len(shared) == len(objs)
                os._exit(0 if ok else 1)
            deadline = time.time() + 20
            while (reaped := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.time() < deadline:
                time.sleep(0.01)
            if reaped[0] == 0:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
            hung, failed = hung + (reaped[0] == 0), failed + (reaped[0] != 0 and reaped[1] != 0)
        stop = True
        for thread in threads:
            thread.join()
        assert (hung, failed) == (0, 0), f"of 6 children {hung} hung, {failed} failed"
        """
    run_fresh(code, timeout=300)


def test_queries_during_writes_see_the_old_or_the_new_value():
    # Every value `a` takes holds 1 or 2 (as numbers), and every value `t` takes holds "k" and
    # the owner: whichever write is under way, x must be found. Consecutive values share keys, so
    # taking out the old value must leave what the new one just put in. Attribute reads, which
    # skip the object's lock while no write can change a map without the interpreter lock, must
    # likewise see a value written, whole.
    owner = Indexable(c="fr")
    x = Indexable(a=1, t="k")
    index = indexed([x] + [Indexable(a=i % 5, t=str(i)) for i in range(100)])
    values_a = [1, 2, [1, "k"], ["k", 2.0], [owner, 1, 1], (owner, 2, True), 1.0]
    values_t = [["k", owner], (owner, "k", 3), ["k", [owner, "k"]]]
    done = threading.Event()

    def writer():
        for i in range(3000):
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

    def attribute_reader():
        while not done.is_set():
            assert x.a in values_a and x.t in values_t

    x.t = values_t[0]
    run_threads([writer, reader, reader, attribute_reader])
    driver.check_index(index, index.collect(), ["a", "t", "t.c"])


def test_group_views_cut_while_objects_join_are_never_empty():
    # A group made only of objects that joined after its view was cut showed nothing.
    index = Index()
    done = threading.Event()

    def adder():
        for i in range(3000):
            index.add_object(Indexable(g=i))
        done.set()

    def grouper():  # two of them, to meet the adder's window more often
        empty = []
        while not done.is_set():
            empty += [key for key, view in index.group_by("g").items() if not view.collect()]
        assert empty == []

    run_threads([adder, grouper, grouper])
