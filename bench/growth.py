"""Costs that must not grow with what a process has seen: attribute names known, indexes joined.

    PYTHONPATH=build/dev .venv/bin/python bench/growth.py

Each figure is the time per step of the last block of a long run over the time per step of its
first block (1.0 = flat; a cost growing with the count of names or memberships shows as the
run's length over the block's). Names are interned for the life of a process, so the run takes
a fresh interpreter of its own.
"""

import gc
import json
import subprocess
import sys
import time

from Veldrake import Index, Indexable

NAMES = 200_000
INDEXES = 20_000
BLOCK = 2_000


def timed(step, items):
    start = time.perf_counter()
    for item in items:
        step(item)
    return (time.perf_counter() - start) / len(items)


def first_and_last(step, items):
    """Seconds per step over the first and the last ``BLOCK`` items, the middle run between."""
    first = timed(step, items[:BLOCK])
    for item in items[BLOCK:-BLOCK]:
        step(item)
    return first, timed(step, items[-BLOCK:])


def run():
    wide = Indexable()
    names = first_and_last(lambda name: setattr(wide, name, 1),
                           [f"name_{i}" for i in range(NAMES)])

    obj = Indexable(v=0)
    kept = Index()
    kept.add_object(obj)
    values = range(BLOCK)
    alone = timed(lambda value: setattr(obj, "v", value), values)
    joins = first_and_last(lambda index: index.add_object(obj),
                           [Index() for _ in range(INDEXES)])
    gc.collect()  # the INDEXES indexes above are gone: their memberships are dead now
    after_drop = timed(lambda value: setattr(obj, "v", value), values)
    return {"new name": names, "join the k-th index": joins,
            "write after memberships dropped": (alone, after_drop)}


def measure():
    """{figure: (seconds per step at first, at last)}, measured in a fresh interpreter."""
    done = subprocess.run([sys.executable, __file__, "--json"], capture_output=True, text=True,
                          timeout=600, check=True)
    return json.loads(done.stdout)


def main():
    figures = run()
    if "--json" in sys.argv:
        print(json.dumps(figures))
        return
    for name, (first, last) in figures.items():
        print(f"{name:<32} first {first * 1e9:8.0f} ns  last {last * 1e9:8.0f} ns  "
              f"{last / first:5.2f}×")


if __name__ == "__main__":
    main()
