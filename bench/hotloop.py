"""Run one system's workloads in a loop, for a profiler to watch.

    PYTHONPATH=build/dev .venv/bin/python bench/hotloop.py --n 1000000 --workload dotted \\
        --seconds 10 --ready-file /tmp/ready &
    # once /tmp/ready exists (the data is made and the structure built):
    perf record -F 999 -p $! -o /tmp/dotted.data -- sleep 8
    perf report -i /tmp/dotted.data --no-children --sort dso,symbol
    # or: py-spy record --native --pid $! --duration 8 -o /tmp/dotted.svg

Each workload's statement (the same as in compare.py) runs for ``--seconds``. ``build``
rebuilds the structure in a loop; ``update`` writes ``city`` back and forth; ``group_by_views``
is the module's ``group_by`` without collecting the views.
"""

import argparse
import gc
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datagen  # noqa: E402
import workloads  # noqa: E402
from systems import BY_KEY  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--system", default="veldrake", choices=list(BY_KEY))
    p.add_argument("--workload", action="append",
                   help="workload key (repeatable; default all): build, sel_eq, ..., update, "
                        "update_query, group_by_views")
    p.add_argument("--seconds", type=float, default=8.0)
    p.add_argument("--ready-file", help="touch this file when the loop starts")
    args = p.parse_args()

    cols = datagen.make_columns(args.n)
    params = workloads.parameters(cols)
    system = BY_KEY[args.system]()
    objs = datagen.make_objects(cols, system.kind)
    gc.collect()
    gc.freeze()
    system.start(objs, params)
    system.build()
    stmts = system.statements()
    stmts["update"] = f"{stmts['write_b']}\n{stmts['write_a']}"
    stmts["update_query"] = (f"{stmts['write_b']}\n{stmts['query_b']}\n{stmts['write_a']}\n"
                             f"{stmts['query_a']}")
    if args.system == "veldrake":
        stmts["group_by_views"] = "idx.group_by('city')"
    chosen = args.workload or ["build"] + [w.key for w in workloads.QUERY_WORKLOADS] + [
        "update", "update_query"]
    if args.ready_file:
        open(args.ready_file, "w").close()
    for key in chosen:
        calls = 0
        t0 = time.perf_counter()
        end = t0 + args.seconds
        if key == "build":
            while time.perf_counter() < end:
                system.clear()
                system.build()
                calls += 1
            stmts = system.statements()
        else:
            code = compile(stmts[key], key, "exec")
            ns = system.ns
            gc.disable()
            while time.perf_counter() < end:
                for _ in range(10):
                    exec(code, ns)
                calls += 10
            gc.enable()
        spent = time.perf_counter() - t0
        print(f"{key}: {calls} calls, {spent / calls * 1e6:.2f} µs each", flush=True)


if __name__ == "__main__":
    main()
