"""Memory per record of a system's structure, measured in a fresh process per system.

The child process makes the records first (their own memory is not counted), then builds
the system's structure with ``tracemalloc`` running, and reports per record:

* ``rss``: growth of the resident set over the build, less what tracemalloc itself used.
  This sees everything, C and C++ allocations included, and is the figure compared.
* ``py``:  growth of the memory traced by tracemalloc (Python's allocators and numpy);
  allocations made with plain malloc/new inside an extension are not seen.

Run as a script it is that child: ``memory.py SYSTEM N`` prints one JSON object.
"""

import gc
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_in_child(system_key, n, timeout=900):
    """Run the child for ``system_key`` at ``n`` records; a dict, or {"error": ...}."""
    cmd = [sys.executable, os.path.join(HERE, "memory.py"), system_key, str(n)]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    if done.returncode != 0:
        tail = (done.stderr or "").strip().splitlines()[-1:] or ["no output"]
        return {"error": f"exit {done.returncode}: {tail[0]}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def _child(system_key, n):
    import tracemalloc  # not in PyPy, which runs the benchmark without this measurement

    sys.path.insert(0, HERE)
    import datagen
    import workloads
    from systems import BY_KEY

    system = BY_KEY[system_key]()
    reason = system.unavailable()
    if reason:
        print(json.dumps({"error": reason}))
        return
    cols = datagen.make_columns(n)
    objs = datagen.make_objects(cols, system.kind)
    system.start(objs, workloads.parameters(cols))
    gc.collect()
    gc.freeze()
    rss0 = _rss_bytes()
    tracemalloc.start()
    system.build()
    gc.collect()
    traced, _peak = tracemalloc.get_traced_memory()
    tracer_own = tracemalloc.get_tracemalloc_memory()
    rss1 = _rss_bytes()
    tracemalloc.stop()
    print(json.dumps({
        "n": n,
        "rss_bytes": rss1 - rss0 - tracer_own,
        "py_bytes": traced,
        "rss_per_record": (rss1 - rss0 - tracer_own) / n,
        "py_per_record": traced / n,
    }))


if __name__ == "__main__":
    _child(sys.argv[1], int(sys.argv[2]))
