"""Costs of dotted paths over object graphs: registration of grids, a write deep in a chain or
a ladder, and the dotted workload of compare.py (build and query) at N records.

    PYTHONPATH=build/dev .venv/bin/python bench/dotted_graphs.py [--grid 100] [--depth 1000]
        [--n 1000000] [--skip-workload]
"""

import argparse
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from Veldrake import Index, Indexable, PyQueryExpr as Q  # noqa: E402


def grid_add(n):
    g = [[Indexable(i=i, j=j) for j in range(n)] for i in range(n)]
    for i in range(n):
        for j in range(n):
            if j + 1 < n:
                g[i][j].right = g[i][j + 1]
            if i + 1 < n:
                g[i][j].down = g[i + 1][j]
    t = time.perf_counter()
    Index().add_object(g[0][0])
    return time.perf_counter() - t


def deep_write(depth, width):
    """One write at the bottom of `depth` levels of `width` objects, each holding the whole next
    level (width 1: a chain), the top level being the members. Median of several writes."""
    levels = [[Indexable(name="bottom") for _ in range(width)]]
    for _ in range(depth):
        below = levels[0]
        levels.insert(0, [Indexable(name="x", kids=list(below)) for _ in range(width)])
    index = Index()
    index.add_object_many(levels[0])
    target = levels[-2][0]
    fresh = [Indexable(name="new") for _ in range(2)]
    spent = []
    for k in range(21):
        t = time.perf_counter()
        target.kids = [fresh[k % 2]]
        spent.append(time.perf_counter() - t)
    return sorted(spent)[len(spent) // 2]


def dotted_workload(n):
    import datagen
    import workloads

    cols = datagen.make_columns(n)
    params = workloads.parameters(cols)
    objs = datagen.make_objects(cols, "indexable")
    gc.collect()
    t = time.perf_counter()
    index = Index()
    index.add_object_many(objs)
    build = time.perf_counter() - t
    country = params["COUNTRY"]
    calls, t = 0, time.perf_counter()
    while time.perf_counter() - t < 2.0:
        index.reduced_query(Q.eq("owner.country", country)).collect()
        calls += 1
    query = (time.perf_counter() - t) / calls
    return build, query


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--grid", type=int, default=100)
    p.add_argument("--depth", type=int, default=1000)
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--skip-workload", action="store_true")
    args = p.parse_args()
    print(f"grid {args.grid}x{args.grid} add: {grid_add(args.grid) * 1e3:.1f} ms", flush=True)
    for width, name in ((1, "chain"), (2, "ladder")):
        spent = deep_write(args.depth, width)
        print(f"write at depth {args.depth} of a {name}: {spent * 1e6:.1f} us", flush=True)
    if not args.skip_workload:
        build, query = dotted_workload(args.n)
        print(f"dotted workload at {args.n}: build {build:.2f} s, "
              f"owner.country query {query * 1e3:.2f} ms", flush=True)


if __name__ == "__main__":
    main()
