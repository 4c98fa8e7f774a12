"""PyPy beside CPython: the two runs' median times, one table per N both ran.

    pypy3 bench/beside.py CPYTHON_RESULTS_DIR PYPY_RESULTS_DIR

Reads ``results-<N>.json`` from both directories and writes ``pypy.md`` into the first: for
every system of the PyPy run, its CPython and PyPy times, and PyPy's over CPython's.
"""

import glob
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import report  # noqa: E402
import workloads  # noqa: E402


def load(directory):
    runs = {}
    for path in glob.glob(os.path.join(directory, "results-*.json")):
        with open(path) as f:
            res = json.load(f)
        if isinstance(res.get("n"), int):
            runs[res["n"]] = res
    return runs


def table(cpython, pypy):
    systems = [k for k, s in pypy["systems"].items() if not s.get("skipped")]
    head = ["workload"]
    for k in systems:
        label = pypy["systems"][k]["label"]
        head += [f"{label} CPython", f"{label} PyPy"]
    def load(res):
        before = (res.get("load_average") or {}).get("before")
        return "?" if before is None else f"{before:.1f}"

    lines = [f"### N = {pypy['n']:,}", "",
             f"Load average before the CPython run {load(cpython)}, before the PyPy run "
             f"{load(pypy)} (above the core count the machine was shared, and times inflate).", "",
             "| " + " | ".join(head) + " |", "|---|" + "---:|" * (len(head) - 1)]
    for w in workloads.TIMED_WORKLOADS:
        cells = []
        for k in systems:
            a = (cpython["timings"].get(w.key, {}).get(k) or {}).get("median_s")
            b = (pypy["timings"].get(w.key, {}).get(k) or {}).get("median_s")
            cells += [report.fmt_time(a),
                      report.fmt_time(b) + (f" ({report.fmt_ratio(b / a)})" if a and b else "")]
        if any(c != "-" for c in cells):
            lines.append(f"| {w.title} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main(cpython_dir, pypy_dir):
    cpython, pypy = load(cpython_dir), load(pypy_dir)
    both = sorted(set(cpython) & set(pypy))
    if not both:
        print(f"beside: no N run under both CPython ({cpython_dir}) and PyPy ({pypy_dir})")
        return
    any_pypy = pypy[both[0]]
    parts = ["## PyPy beside CPython",
             f"PyPy {any_pypy['meta']['versions'].get('python')} (commit "
             f"{any_pypy['meta'].get('git_commit') or '?'}, {any_pypy['meta']['date']}) against "
             f"CPython {cpython[both[0]]['meta']['versions'].get('python')} (commit "
             f"{cpython[both[0]]['meta'].get('git_commit') or '?'}, "
             f"{cpython[both[0]]['meta']['date']}). Median time per operation; in brackets "
             "PyPy's over CPython's (below 1×: PyPy is faster)."]
    parts += [table(cpython[n], pypy[n]) for n in both]
    path = os.path.join(cpython_dir, "pypy.md")
    with open(path, "w") as f:
        f.write("\n\n".join(parts) + "\n")
    print("\n\n".join(parts))
    print(f"\nWrote {path}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
