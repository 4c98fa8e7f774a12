"""One Index against the same objects spread over a local Dask cluster of 2 worker processes.

Builds both, checks that every answer agrees, and prints the build rates and the time of each
kind of call (median of repeated calls), so the cluster's per-call overhead can be read off.

Run it from the repository root (Dask installed: pip install dask distributed):
    PYTHONPATH=build/dev:python .venv/bin/python examples/dask_partitions.py [--objects N]
"""

import argparse
import os
import random
import statistics
import time

from distributed import Client, LocalCluster
from Veldrake import Index, Indexable
from veldrake_dask import PartitionedIndex, Q


def make_objects(n: int) -> list[Indexable]:
    rng = random.Random(7)
    cities = [Indexable(city=c, country=k) for c, k in [("Paris", "FR"), ("Lyon", "FR"), ("Osaka", "JP")]]
    return [Indexable(sku=i, price=round(rng.uniform(1, 500), 2), stock=rng.randint(0, 50),
                      kind=rng.choice(["book", "game", "tool", "food"]), store=rng.choice(cities))
            for i in range(n)]


def median_ms(call, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args()
    objs = make_objects(args.objects)

    start = time.perf_counter()
    whole = Index()
    whole.add_object_many(objs)
    whole_build = time.perf_counter() - start

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        start = time.perf_counter()
        spread = PartitionedIndex(client, 2, key="sku")
        spread.add_many(objs)
        spread_build = time.perf_counter() - start

        cheap = Q.lt("price", 50) & Q.eq("store.country", "JP")
        calls = {
            "count()": (lambda: spread.count(), lambda: whole.count()),
            "count(query)": (lambda: spread.count(cheap), lambda: whole.count(cheap.build())),
            "group_counts('kind')": (lambda: spread.group_counts("kind"), lambda: whole.group_counts("kind")),
            "order_by('price', limit=10)": (lambda: [o.sku for o in spread.order_by("price", limit=10)],
                                            lambda: [o.sku for o in whole.order_by("price", limit=10)]),
            "update(sku, stock=...)": (lambda: spread.update(17, stock=3), lambda: setattr(objs[17], "stock", 3)),
        }
        # Prices are distinct enough that the first ten have no ties: both orders agree exactly.
        for name, (on_cluster, local) in calls.items():
            if not name.startswith("update"):
                assert on_cluster() == local(), name
        print(f"{args.objects:,} objects; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        print(f"build: one Index {whole_build:.2f} s ({args.objects / whole_build:,.0f} objects/s); "
              f"2 workers {spread_build:.2f} s ({args.objects / spread_build:,.0f} objects/s)")
        print(f"{'call':30} {'one Index':>12} {'2 workers':>12} {'overhead':>12}")
        for name, (on_cluster, local) in calls.items():
            local_ms = median_ms(local, args.repeat)
            cluster_ms = median_ms(on_cluster, args.repeat)
            print(f"{name:30} {local_ms:9.3f} ms {cluster_ms:9.3f} ms {cluster_ms - local_ms:9.3f} ms")


if __name__ == "__main__":
    main()
