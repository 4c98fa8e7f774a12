"""Dates, times and identity values against numbers and strings of the same selectivity.

    PYTHONPATH=build/dev .venv/bin/python bench/values_bench.py [--n 1000000]

Every object holds a float ``score``, a ``day`` (date), a ``stamp`` (datetime) spread alike, so
that a range of the same width selects the same share of each; and a ``tag`` that is None for 1%
and one of 99 strings (1% each) otherwise. Each query is timed as the best of several rounds (the machine may be shared): the answer as a
view (``reduced_query``), then collecting its objects (the same for every kind of a share). Last, the
cost of writing a datetime against a float into an object held by no index (classification and
storage only), per write, best of many runs of 1,000 writes.
"""

import argparse
import datetime as dt
import gc
import random
import time

from Veldrake import Index, Indexable, PyQueryExpr as Q

EPOCH_DAY = dt.date(1990, 1, 1)
EPOCH_STAMP = dt.datetime(2024, 1, 1)
SPAN = 100_000  # each ordered attribute takes SPAN distinct steps


def timed(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def build(n, rng):
    objs = []
    for _ in range(n):
        step = rng.randrange(SPAN)
        tag = None if rng.random() < 0.01 else f"s{rng.randrange(99):02d}"
        objs.append(Indexable(score=step * 100.0 / SPAN, day=EPOCH_DAY + dt.timedelta(days=step),
                              stamp=EPOCH_STAMP + dt.timedelta(seconds=step), tag=tag))
    index = Index()
    index.add_object_many(objs)
    return objs, index


def ranges(share):
    """The same share of each ordered attribute, as one bt per attribute."""
    lo, width = int(SPAN * 0.2), int(SPAN * share)
    return {
        "number": Q.bt("score", lo * 100.0 / SPAN, (lo + width - 1) * 100.0 / SPAN),
        "date": Q.bt("day", EPOCH_DAY + dt.timedelta(days=lo),
                     EPOCH_DAY + dt.timedelta(days=lo + width - 1)),
        "datetime": Q.bt("stamp", EPOCH_STAMP + dt.timedelta(seconds=lo),
                         EPOCH_STAMP + dt.timedelta(seconds=lo + width - 1)),
    }


def write_cost(rng, runs=300):
    """Nanoseconds per attribute write of a float and of a datetime into an unindexed object."""
    floats = [rng.random() for _ in range(1000)]
    stamps = [EPOCH_STAMP + dt.timedelta(microseconds=rng.randrange(10**12)) for _ in range(1000)]
    obj = Indexable(v=0.0)
    result = {}
    for name, values in (("float", floats), ("datetime", stamps)):
        def loop(values=values):
            for value in values:
                obj.v = value
        result[name] = timed(loop, runs) / len(values) * 1e9
    return result


def measure(n, repeats=15, seed=7):
    """{"queries": {name: {"hits", "query_s", "collect_s"}}, "write_ns": {"float", "datetime"}}."""
    rng = random.Random(seed)
    objs, index = build(n, rng)
    rows = []
    for share in (0.01, 0.30):
        for kind, expr in ranges(share).items():
            rows.append((f"range {share:.0%} {kind}", expr))
    rows.append(("eq None (1%)", Q.eq("tag", None)))
    rows.append(("eq string (1%)", Q.eq("tag", "s07")))
    gc.collect()
    gc.freeze()  # the collector would otherwise walk the 10^6 objects at random moments
    # Rounds run every query once, in a new order each time, so that a busy moment of the machine
    # or the caches left by the query before hit all of them alike.
    best = {name: [float("inf"), float("inf")] for name, _ in rows}
    for _ in range(repeats):
        for name, expr in rng.sample(rows, len(rows)):
            start = time.perf_counter()
            view = index.reduced_query(expr)
            middle = time.perf_counter()
            view.collect()
            end = time.perf_counter()
            best[name] = [min(best[name][0], middle - start), min(best[name][1], end - middle)]
    queries = {name: {"hits": index.count(expr), "query_s": best[name][0],
                      "collect_s": best[name][1]} for name, expr in rows}
    index.clear()
    del objs
    gc.unfreeze()
    return {"n": n, "queries": queries, "write_ns": write_cost(rng)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    result = measure(args.n, args.repeats)
    print(f"N = {args.n}; best of {args.repeats} rounds, milliseconds")
    print(f"{'query':<24}{'hits':>9}{'query':>10}{'collect':>10}")
    for name, row in result["queries"].items():
        print(f"{name:<24}{row['hits']:>9}{row['query_s'] * 1e3:>10.3f}"
              f"{row['collect_s'] * 1e3:>10.3f}")
    costs = result["write_ns"]
    print(f"write into an unindexed object, ns: float {costs['float']:.0f}, "
          f"datetime {costs['datetime']:.0f} (+{costs['datetime'] - costs['float']:.0f})")


if __name__ == "__main__":
    main()
