"""Two query threads and one writer on one index, against each kind of thread alone.

The index holds the benchmark's N records. A query thread repeats ``in_('city', FIVE)``
(about 0.5% of the records, collected); the writer moves records, one write at a time, into
those cities or others and back, timing each write. Each phase runs for ``seconds``: one query thread
alone, the writer alone, then two query threads and the writer together. Reported: each thread's
operations per second, its ratio to the same thread alone, and the writes' 99th percentile
latency, alone and together. Two query threads without the writer are run too, to tell what the
queries cost each other from what the writer costs them.

Every thread stops at a deadline, and the measurement runs in a child process that the parent
kills after a timeout, so a thread that never returns cannot hang the benchmark.

    PYTHONPATH=build/dev .venv/bin/python bench/concurrency.py --n 100000 --seconds 2
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datagen  # noqa: E402
import workloads  # noqa: E402

JOIN_GRACE = 5.0  # seconds a thread may overrun its deadline before it counts as stuck


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else None


def query_loop(index, expr, deadline, out):
    done = 0
    while time.perf_counter() < deadline:
        index.reduced_query(expr).collect()
        done += 1
    out["ops"] = done


def write_loop(objs, cities, deadline, out):
    """Moves a record to one of ``cities`` and, with the next write, back to its own city, so
    that the queries' answers keep their size."""
    latencies = []
    own = [o.city for o in objs]
    k = 0
    n = len(objs)
    while True:
        start = time.perf_counter()
        if start >= deadline:
            break
        j = k // 2 * 7919 % n
        objs[j].city = cities[k // 2 % len(cities)] if k % 2 == 0 else own[j]
        latencies.append(time.perf_counter() - start)
        k += 1
    if k % 2:  # put the last record moved back, untimed
        j = k // 2 * 7919 % n
        objs[j].city = own[j]
    out["ops"] = len(latencies)
    out["p99_s"] = percentile(latencies, 0.99)


def run_phase(threads_spec, seconds):
    """Start every (name, target, args) at once; {name: result} with ops per second."""
    deadline = time.perf_counter() + seconds
    results = {name: {} for name, _, _ in threads_spec}
    threads = [threading.Thread(target=target, args=(*args, deadline, results[name]), daemon=True)
               for name, target, args in threads_spec]
    for t in threads:
        t.start()
    for t in threads:
        t.join(max(0.0, deadline - time.perf_counter()) + JOIN_GRACE)
    for (name, _, _), t in zip(threads_spec, threads):
        if t.is_alive() or "ops" not in results[name]:
            results[name] = {"stuck": True}
        else:
            results[name]["per_s"] = results[name]["ops"] / seconds
    return results


def measure_here(n, seconds):
    from Veldrake import Index, PyQueryExpr as Q

    cols = datagen.make_columns(n)
    params = workloads.parameters(cols)
    objs = datagen.make_indexables(cols)
    index = Index()
    index.add_object_many(objs)
    gc.collect()
    gc.freeze()
    expr = Q.in_("city", params["FIVE"])
    # Writes move records into the queried cities and to others.
    cities = [c for pair in zip(params["FIVE"], datagen.CITIES[500:505]) for c in pair]
    query = ("query", query_loop, (index, expr))
    alone_q = run_phase([query], seconds)["query"]
    alone_w = run_phase([("writer", write_loop, (objs, cities))], seconds)["writer"]
    pair = run_phase([("query 1", query_loop, (index, expr)),
                      ("query 2", query_loop, (index, expr))], seconds)
    together = run_phase([("query 1", query_loop, (index, expr)),
                          ("query 2", query_loop, (index, expr)),
                          ("writer", write_loop, (objs, cities))], seconds)
    return {"n": n, "seconds": seconds, "alone": {"query": alone_q, "writer": alone_w},
            "queries_only": pair, "together": together}


def measure(n, seconds, timeout=None):
    """The measurement in a fresh interpreter; {"error": ...} when it fails or overruns."""
    timeout = timeout or 4 * seconds + 4 * JOIN_GRACE + 60 + n / 20_000
    cmd = [sys.executable, os.path.abspath(__file__), "--n", str(n), "--seconds", str(seconds),
           "--json"]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"did not finish within {timeout:.0f} s"}
    if done.returncode != 0:
        tail = (done.stderr or "").strip().splitlines()[-1:] or ["no output"]
        return {"error": f"exit {done.returncode}: {tail[0]}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--seconds", type=float, default=2.0)
    p.add_argument("--json", action="store_true", help="measure here, print one JSON line")
    args = p.parse_args()
    if args.json:
        print(json.dumps(measure_here(args.n, args.seconds)))
        # Threads still stuck in the module must not keep the process alive.
        sys.stdout.flush()
        os._exit(0)
    print(json.dumps(measure(args.n, args.seconds), indent=1))


if __name__ == "__main__":
    main()
