"""veldrake_dask: a partitioned index on a local two-process Dask cluster answers as one Index."""

import datetime as dt
import math
import os
import random
import sys

import pytest

if os.environ.get("VELDRAKE_SANITIZER"):
    pytest.skip("pure Python over worker processes: the sanitizer runs check the engine",
                allow_module_level=True)
pytest.importorskip("distributed", reason="Dask (dask, distributed) is not installed")
# The package lives in python/ of the repository until it is installed.
sys.path.append(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python"))
from distributed import Client, LocalCluster
from Veldrake import Indexable

import Veldrake
import veldrake_dask
from veldrake_dask import PartitionedIndex, PartitionLost, Q
from veldrake_dask._keys import partition_of, rank

import driver
from fresh_interpreter import run_fresh
from reference_model import indexed

N = 20_000
PARTITIONS = 3  # more partitions than workers: one worker holds two
SCORES = [0, 1, 1.0, 2.5, -3, 2**53 + 1, float(2**53), math.inf, -math.inf, math.nan]


def local_cluster():
    # The workers are new processes: they find both packages through PYTHONPATH.
    paths = [os.path.dirname(Veldrake.__file__), os.path.dirname(os.path.dirname(veldrake_dask.__file__))]
    os.environ["PYTHONPATH"] = os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")])
    return LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                        dashboard_address=":0")


def random_objects(rng, n):
    homes = [Indexable(country=c, zone=z) for c in ("FR", "JP", "BR") for z in range(3)]
    objs = []
    for i in range(n):
        o = Indexable(id=i, kind=rng.choice("abcd"), level=rng.randint(0, 3), home=rng.choice(homes))
        shape = rng.random()
        if shape < 0.55:
            o.score = rng.randint(0, 30)  # long runs of equal numbers
        elif shape < 0.65:
            o.score = rng.choice(SCORES + [rng.uniform(-50, 50)])
        elif shape < 0.75:
            o.score = [rng.randint(-5, 40) for _ in range(rng.randint(0, 3))]
        elif shape < 0.8:
            o.score = rng.choice(["high", None])
        objs.append(o)  # else: no score at all
    return objs


def random_query(rng, depth=0):
    if rng.random() < 0.6 or depth > 2:  # a leaf
        op = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in_"])
        attr = rng.choice(["score", "kind", "home.country", "home.zone"])
        if op == "bt":
            return Q.bt(attr, rng.randint(-5, 20), rng.randint(10, 35))
        if op == "in_":
            return Q.in_(attr, rng.sample(["a", "b", "FR", 1, 2, 3, 17], 3))
        return getattr(Q, op)(attr, rng.choice([rng.randint(-5, 35), "a", "JP", 2.5]))
    parts = [random_query(rng, depth + 1) for _ in range(rng.randint(1, 3))]
    return rng.choice([Q.and_(*parts), Q.or_(*parts), ~parts[0]])


def ids(objs):
    return [o.id for o in objs]


def in_key_order(whole, attr, descending):
    """The ids in `whole.order_by(attr, ...)` order, equal numbers by key instead of object id."""
    order = whole.order_by(attr, descending=descending)
    ranks = [rank(o, attr, descending) for o in order]
    assert ranks == sorted(ranks)  # the merge key ranks exactly as the index does
    return ids(sorted(order, key=lambda o: (rank(o, attr, descending), o.id)))


@pytest.fixture(scope="module")
def world():
    """The cluster, the objects in one plain Index, and the same objects partitioned."""
    objs = random_objects(random.Random(19), N)
    whole = indexed(objs)
    with local_cluster() as cluster, Client(cluster) as client:
        spread = PartitionedIndex(client, PARTITIONS, key="id", batch_size=5_000)
        spread.add_many(objs)
        yield objs, whole, spread


def test_counts_match_one_index(world):
    objs, whole, spread = world
    rng = random.Random(1)
    assert spread.count() == len(spread) == N
    for _ in range(40):
        query = random_query(rng)
        assert spread.count(query) == whole.count(query.build()), query
    for keywords in [{"kind": "a"}, {"score": 1}, {"kind": ["a", "c"], "home.country": "JP"}]:
        assert spread.count(**keywords) == whole.count(**keywords)
    assert spread.count(Q.ge("score", 10), kind="b") == whole.reduced_query(Q.ge("score", 10).build()).count(kind="b")
    for attr in ["kind", "home.country", "score"]:
        assert spread.group_counts(attr) == whole.group_counts(attr)


def test_rank_sorts_as_the_index_orders_every_kind():
    values = driver.SCALARS + driver.TIMES + [[dt.date(2020, 1, 1), 9], (dt.timedelta(5),)]
    index = indexed([Indexable(v=v) for v in values])
    for descending in (False, True):
        order = index.order_by("v", descending=descending)
        assert sorted(order, key=lambda o: rank(o, "v", descending)) == order


def test_order_by_pages_match_one_index_with_ties_by_key(world):
    objs, whole, spread = world
    rng = random.Random(2)
    for attr, descending in [("score", False), ("score", True), ("level", False)]:
        expected = in_key_order(whole, attr, descending)
        # Each partition sends offset + limit objects: deep pages are checked on a small index.
        pages = [(0, 10), (0, 0)] + [(rng.randint(0, 1000), rng.randint(1, 100)) for _ in range(6)]
        for offset, limit in pages:
            got = spread.order_by(attr, descending=descending, offset=offset, limit=limit)
            assert ids(got) == expected[offset:offset + limit], (attr, descending, offset, limit)
    with pytest.raises(ValueError):
        spread.order_by("score", limit=-1)


def test_collect_returns_copies_in_key_order(world):
    objs, whole, spread = world
    query = Q.eq("home.country", "BR") & Q.lt("score", 3)
    got = spread.collect(query)
    assert ids(got) == sorted(ids(whole.reduced_query(query.build()).collect()))
    assert got and all(o.home.country == "BR" for o in got)  # nested objects travel with them
    assert ids(spread.collect(kind="d", score=7)) == sorted(ids(whole.get_by_attribute(kind="d", score=7)))
    assert not any(a is b for a, b in zip(got, (objs[i] for i in ids(got))))


def test_updates_reach_the_partition_that_holds_the_object(world):
    objs, whole, spread = world
    for key in [5, 7_777, N - 1]:
        assert spread.update(key, score=10**6 + key, kind="z") == 1
        objs[key].score, objs[key].kind = 10**6 + key, "z"  # the same writes on the plain Index
        assert spread.update(float(key), home=Indexable(country="NZ")) == 1  # 5.0 is key 5
        objs[key].home = Indexable(country="NZ")
    assert ids(spread.order_by("score", descending=True, limit=500)) == in_key_order(whole, "score", True)[:500]
    assert ids(spread.collect(kind="z")) == [5, 7_777, N - 1]
    assert spread.count(kind="z") == 3 and spread.group_counts("home.country")["NZ"] == 3
    assert spread.group_counts("kind") == whole.group_counts("kind")
    assert spread.update(-1, score=0) == 0
    with pytest.raises(ValueError, match="key"):
        spread.update(5, id=6)


def test_bad_input_changes_nothing(world):
    objs, whole, spread = world
    for error, match, call in [
        (AttributeError, "'id'", lambda: spread.add_many([Indexable(id=N + 1), Indexable(name="k")])),
        (TypeError, "veldrake_dask.Q", lambda: spread.count(Q.eq("kind", "a").build())),
        (TypeError, "key", lambda: spread.add_many([Indexable(id=[1, 2])])),
        (TypeError, "Indexable", lambda: spread.add_many([Indexable(id=N + 1), {"id": N + 2}])),
    ]:
        with pytest.raises(error, match=match):
            call()
    assert spread.count() == N


def test_routing_does_not_depend_on_the_process():
    keys = ["ann", "bob", "\u00e9t\u00e9", 7, 7.0, 2**70, True, b"raw"]
    code = f"from veldrake_dask._keys import partition_of; print([partition_of(k, 7) for k in {keys!r}])"
    out = run_fresh(code, env={"PYTHONHASHSEED": "12345",
                               "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    here = [partition_of(k, 7) for k in keys]
    assert " ".join(out) == repr(here) and here[3] == here[4]


def test_a_dead_worker_is_named_and_nothing_is_answered():
    with local_cluster() as cluster, Client(cluster) as client:
        spread = PartitionedIndex(client, 2, key="id")
        spread.add_many([Indexable(id=i, score=i % 10) for i in range(1000)])
        assert ids(spread.order_by("score", offset=995)) == list(range(959, 1000, 10))
        assert spread.order_by("score", offset=1000, limit=5) == []
        victim = spread._actors[1]._address
        try:
            client.run(os._exit, 1, workers=[victim])
        except OSError:  # the worker dies before it answers
            pass
        with pytest.raises(PartitionLost) as lost:
            spread.count()
        assert lost.value.partitions == [1] and victim in str(lost.value)
        for call in [lambda: spread.order_by("score", limit=3), lambda: spread.update(3, score=0)]:
            with pytest.raises(PartitionLost, match="partition lost: 1 "):
                call()
        spread.close()
        for call in [spread.count, lambda: spread.add_many([]), lambda: spread.update(3, score=0)]:
            with pytest.raises(RuntimeError, match="closed"):
                call()
