"""Adaptive timeit-style timing: the median of repeated runs, within a time budget.

A statement is run once to see how long it takes; then it is run in batches of ``number``
calls, each batch lasting at least ``MIN_BATCH`` seconds, as many batches as fit into the
budget (at most 25, and at least 3 when three fit into ``MAX_TOTAL``; a statement slower
than that is timed once). The result is the median per-call time over
the batches. The cyclic garbage collector is off while timing, as in ``timeit``.
"""

import gc
import statistics
import time
import timeit
from dataclasses import dataclass, field

MIN_BATCH = 0.005
MAX_BATCHES = 25
MAX_TOTAL = 1.0  # seconds: a statement slower than a third of this is timed fewer times


@dataclass
class Timing:
    median: float  # seconds per operation
    samples: list = field(default_factory=list)  # seconds per operation, one per batch
    number: int = 1  # calls per batch

    def as_dict(self):
        return {"median_s": self.median, "samples_s": self.samples, "calls_per_sample": self.number}


def time_statement(stmt, namespace, budget, ops_per_call=1):
    """Time ``stmt`` (a string) evaluated in ``namespace``, per operation."""
    timer = timeit.Timer(stmt, globals=namespace)
    first = timer.timeit(1)
    number = max(1, int(MIN_BATCH / first)) if first > 0 else 1000
    per_batch = max(first * number, 1e-9)
    batches = min(MAX_BATCHES, int(budget / per_batch))
    if batches < 3:  # slow statements: still 3 runs when they fit in MAX_TOTAL
        batches = min(3, int(MAX_TOTAL / per_batch))
    if batches < 1:
        samples = [first]
        number = 1
    else:
        samples = [t / number for t in timer.repeat(repeat=batches, number=number)]
    per_op = [s / ops_per_call for s in samples]
    return Timing(statistics.median(per_op), per_op, number)


def time_build(build, clear, budget):
    """Time ``build()`` (a fresh build each time; ``clear()`` drops the previous one, untimed).

    As many builds as fit into the budget, at least one and at most 5; the last one is kept.
    """
    samples = []
    spent = 0.0
    while True:
        clear()
        gc.collect()
        enabled = gc.isenabled()
        gc.disable()
        try:
            t0 = time.perf_counter()
            build()
            t = time.perf_counter() - t0
        finally:
            if enabled:
                gc.enable()
        samples.append(t)
        spent += t
        if len(samples) >= 5 or spent + t > budget:
            break
    return Timing(statistics.median(samples), samples, 1)
