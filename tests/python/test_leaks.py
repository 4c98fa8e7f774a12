"""Nothing accumulates: references, object ids and memory come back after heavy use of indexes."""

import datetime
import gc
import os
import random
import sys
import threading

import pytest
from Veldrake import Index, Indexable

import driver
from fresh_interpreter import run_fresh, run_threads
from reference_model import indexed

# Sanitizer allocators keep freed memory in quarantine, so memory use cannot settle under them.
SANITIZED = bool(os.environ.get("VELDRAKE_SANITIZER"))


def settle():
    """Collects garbage and lets the module release references queued by other threads."""
    gc.collect()
    Index().collect()  # any call into the module releases what other threads queued
    gc.collect()


def refcounts(objs):
    settle()
    return [sys.getrefcount(o) for o in objs]


@pytest.fixture(autouse=True)
def merge_messages(capfd):
    """union_with reports each merged attribute on standard error."""
    yield
    capfd.readouterr()


def driven(seed, objects=12, steps=300, exact=True):
    """A random driver program over `objects` objects, all in its first index, after `steps`
    operations (checked against the model when `exact`); returns it."""
    program = driver.Program(driver.RandomChoices(random.Random(seed)))
    program.max_objects = objects
    program.new_index()
    for _ in range(objects):
        program.new_object()
    first = program.indexes[0]
    first.index.add_object_many(program.objects)
    program.join(first, range(len(program.objects)))
    runner = program if exact else program.agent(program.choices)
    for _ in range(steps):
        runner.step()
    if exact:
        program.check_all()
    return program


def test_references_return_to_their_start_after_many_programs():
    # Every operation holds the driver's values in attributes, containers, operands and keys;
    # threads drop theirs while others hold the interpreter lock.
    watched = [*driver.OPAQUE, driver.LONG, *driver.UNKNOWNS[2:5], *driver.TIMES, *driver.NUMPY]
    before = refcounts(watched)
    for seed in range(10 if SANITIZED else 30):
        driven(seed, exact=False)
    program = driven(0, objects=30, steps=0)
    agents = [program.agent(driver.RandomChoices(random.Random(seed))) for seed in range(4)]
    run_threads([lambda a=a: [a.step() for _ in range(300)] for a in agents])
    del program, agents
    assert refcounts(watched) == before


def test_a_stored_container_reads_back_as_itself_until_its_last_holder_lets_it_go():
    tags = ["a", "b"]
    start = refcounts([tags, *tags])
    objs = [Indexable(tags=tags, nested=[tags, ("c",)]) for _ in range(3)]
    index = indexed(objs)
    assert all(o.tags is tags for o in objs) and index.count(tags="b") == 3
    objs[0].tags = ("c",)
    objs[1].tags = objs[1].nested
    assert [index.count(tags=v) for v in ("a", "c")] == [2, 2] and objs[1].tags[0] is tags
    del objs, index
    assert refcounts([tags, *tags]) == start


def test_references_dropped_by_the_module_s_own_indexing_thread():
    # Batches this large are indexed by two threads; re-adding members (directly or through
    # union_with) replaces their records on both, while another thread touches the same objects
    # and runs the collector.
    objs = [Indexable(v=i) for i in range(8192)]
    index, other = Index(), Index()
    index.add_object_many(objs)
    other.add_object_many(objs)
    before = refcounts(objs)
    stop = threading.Event()

    def touch():
        while not stop.is_set():
            for obj in objs:
                held = obj  # noqa: F841 - a reference taken and dropped
            del obj, held
            gc.collect()

    toucher = threading.Thread(target=touch)
    toucher.start()
    for _ in range(10 if SANITIZED else 40):
        index.add_object_many(objs)
        index.union_with(other)
    stop.set()
    toucher.join()
    assert refcounts(objs) == before


def test_an_index_dropped_while_another_thread_indexes_its_members():
    # The indexing thread briefly holds every index of each object it registers; when it holds
    # the last one, the members only that index held are released, finalizers included.
    code = """if 1:
        import random, threading, time
        from Veldrake import Index, Indexable

        class Finalized(Indexable):
            def __del__(self):
                pass

        def drop_soon(holder):
            time.sleep(random.random() * 0.005)
            holder.clear()

        batch = [Indexable(v=i) for i in range(8192)]
        for _ in range(%d):
            other = Index()
            other.add_object_many(batch)
            other.add_object_many([Finalized(w=i) for i in range(200)])
            dropper = threading.Thread(target=drop_soon, args=([other],))
            del other
            dropper.start()
            Index().add_object_many(batch)
            dropper.join()
        """ % (10 if SANITIZED else 60)
    run_fresh(code, timeout=300)


def dropped(way):
    """Objects to drop in the given way, and how many ids dropping them releases."""
    if way == "held_by_a_dropped_index":
        held, index = Indexable(), Index()
        index.add_object(held)
        return [held, index], 1
    if way == "in_a_collected_cycle":
        doomed = Indexable()
        doomed.me = doomed
        return [doomed], 1
    program = driven(1)  # after heavy use
    return [program], len(program.objects)


def ids_are_all_released(way):
    # collect() orders by id and a released id is handed out again before any new one: objects
    # made after the release sort before `older` only if they took released ids.
    doomed, count = dropped(way)
    settle()
    reserve = [Indexable() for _ in range(100_000)]  # uses up ids released earlier
    older = Indexable()
    del doomed
    settle()
    index = indexed([Indexable() for _ in range(count)] + [older])
    members = index.collect()
    assert len(members) == count + 1 and members[-1] is older
    del reserve


@pytest.mark.parametrize("drop", ["held_by_a_dropped_index", "in_a_collected_cycle",
                                  "after_heavy_use"])
def test_ids_of_dropped_objects_are_all_released(drop):
    # A fresh interpreter: ids other tests released would be handed out in between.
    code = (f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); import conftest, test_leaks as t; "
            f"t.ids_are_all_released({drop!r})")
    run_fresh(code)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="sanitizer allocators hold freed memory back")
def test_memory_reaches_a_plateau():
    # Each round: thousands of objects added, written, queried, viewed and dropped with the index.
    for seed in range(15):
        if seed == 3:  # warmed up
            settle()
            warm = rss_bytes()
        driven(seed % 12, objects=4000, exact=False)
    settle()
    grown = rss_bytes() - warm
    # One round holds ~4000 objects with their values; keeping one round's worth in every round
    # would grow by far more than this.
    assert grown < 24 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB after warm-up"


def test_values_replaced_in_an_indexed_object_are_released():
    # A write to a member drops the value it replaces once every lock is let go, by its own path
    # for each stored form.
    class Item(Indexable):
        pass

    owner = Item()
    values = ["plain ascii " * 3, "non-ascii \u00e9t\u00e9", datetime.date(2024, 5, 6),
              Item(), [1, "two"], object()]
    item = Item()
    index = Index()
    index.add_object(item)
    before = refcounts(values)
    for value in values:
        item.city = value
        item.city = owner
        item.city = 0
    del value
    assert refcounts(values) == before


def test_values_of_a_dropped_object_are_released_around_a_finalizer_calling_the_module():
    # Dropping an object releases its values' references directly, as the interpreter holds its
    # lock; a finalizer among them that queries an index (which lets the lock go in the module)
    # must leave every count as it found it.
    index = Index()
    index.add_object_many([Indexable(city=str(i)) for i in range(1000)])
    answers = []

    class Querying(Indexable):
        def __del__(self):
            answers.append(len(index.get_by_attribute(city="7")))

    values = ["plain ascii " * 3, "non-ascii \u00e9t\u00e9", datetime.date(2024, 5, 6),
              Indexable(), [1, "two"], object()]
    before = refcounts(values)
    for _ in range(50):
        Indexable(**{f"a{i}": v for i, v in enumerate(values)}, finalized=Querying(a=values[0]))
    assert answers == [1] * 50
    assert refcounts(values) == before
