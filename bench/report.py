"""Tables, targets, JSON and the chart from the benchmark's results.

A result set (one per N) is a dict:
``{"n", "meta", "systems": {key: {"label", "note", "skipped"}}, "timings": {workload:
{system: {"median_s", "samples_s", "calls_per_sample", "hits", "correct", "error"}}},
"memory": {system: {"rss_per_record", "py_per_record"} or {"error"}}, "notes": [...]}``.
"""

import json
import os

import workloads
from systems import REFERENCE

TARGET_N = 1_000_000


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3g} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds:.3g} s"


def fmt_ratio(r):
    if r is None:
        return ""
    return f"{r:.3g}×" if r < 100 else f"{r:,.0f}×"


def fmt_n(n):
    return f"{n:,}"


def ratio(res, workload, system, reference=REFERENCE):
    """``system``'s time over the reference's (above 1: the reference is faster)."""
    row = res["timings"].get(workload, {})
    a, b = row.get(system), row.get(reference)
    if not a or not b or a.get("median_s") is None or not b.get("median_s"):
        return None
    return a["median_s"] / b["median_s"]


def mem_ratio(res, system, reference=REFERENCE, field="rss_per_record"):
    a, b = res["memory"].get(system, {}), res["memory"].get(reference, {})
    if a.get(field) is None or not b.get(field):
        return None
    return a[field] / b[field]


def active_systems(res):
    return [k for k, s in res["systems"].items() if not s.get("skipped")]


def markdown_table(res):
    systems = active_systems(res)
    labels = [res["systems"][k]["label"] for k in systems]
    lines = [
        f"### N = {fmt_n(res['n'])}",
        "",
        "Median time per operation; in brackets that system's time divided by Veldrake's "
        "(above 1×: Veldrake is faster). Memory: bytes per record added by building the "
        "structure, bracket = that system's over Veldrake's. `†` = timed once (one run takes "
        "longer than the time budget); `WRONG` = the answer differed from the list scan's.",
        "",
        "| workload | " + " | ".join(labels) + " |",
        "|---|" + "---:|" * len(systems),
    ]
    for w in workloads.TIMED_WORKLOADS:
        row = res["timings"].get(w.key, {})
        cells = []
        for k in systems:
            cell = row.get(k)
            if not cell:
                cells.append("-")
                continue
            if cell.get("error"):
                cells.append(f"error: {cell['error'][:40]}")
                continue
            text = fmt_time(cell["median_s"])
            if len(cell.get("samples_s", [])) == 1:
                text += "†"
            if k != REFERENCE:
                r = ratio(res, w.key, k)
                if r is not None:
                    text += f" ({fmt_ratio(r)})"
            if cell.get("correct") is False:
                text += " WRONG"
            cells.append(text)
        lines.append(f"| {w.title} | " + " | ".join(cells) + " |")
    for w, field in zip(workloads.MEMORY_ROWS, ("rss_per_record", "py_per_record")):
        cells = []
        for k in systems:
            m = res["memory"].get(k)
            if not m:
                cells.append("-")
            elif m.get("error"):
                cells.append(f"error: {m['error'][:40]}")
            else:
                text = f"{m[field]:,.0f} B"
                r = mem_ratio(res, k, field=field) if k != REFERENCE else None
                if r is not None and field == "rss_per_record":
                    text += f" ({fmt_ratio(r)})"
                cells.append(text)
        if res["memory"]:
            lines.append(f"| {w.title} | " + " | ".join(cells) + " |")
    hits = res["timings"].get("sel_eq", {}).get(REFERENCE, {})
    if hits:
        counts = ", ".join(
            f"{w.key} {res['timings'][w.key][REFERENCE].get('hits', '?'):,}"
            for w in workloads.QUERY_WORKLOADS if REFERENCE in res["timings"].get(w.key, {}))
        lines += ["", f"Answer sizes (records; group_by: groups): {counts}."]
    for note in res.get("notes", []):
        lines.append(f"- {note}")
    return "\n".join(lines)


def _targets():
    """(description, function(res) -> (value text, passed or None))."""
    def faster(peer, workload, at_least):
        def check(res):
            r = ratio(res, workload, peer)
            if r is None:
                return None, None
            text = f"{fmt_ratio(r)} faster" if r >= 1 else f"{fmt_ratio(1 / r)} slower"
            return text, r >= at_least
        return check

    def within(peer, workload, at_most):
        def check(res):
            r = ratio(res, workload, peer)
            return (None, None) if r is None else (
                f"Veldrake = {fmt_ratio(1 / r)} dict-of-sets' time", 1 / r <= at_most)
        return check

    def cost_vs(peer, workload, at_most):
        def check(res):
            r = ratio(res, workload, peer)
            return (None, None) if r is None else (
                f"Veldrake = {fmt_ratio(1 / r)} the plain write", 1 / r <= at_most)
        return check

    def own_cost(workload, baseline, at_most, what):
        """Veldrake's time for ``workload`` over ``baseline`` = (system, workload)."""
        def check(res):
            row = res["timings"]
            a = row.get(workload, {}).get(REFERENCE, {}).get("median_s")
            b = row.get(baseline[1], {}).get(baseline[0], {}).get("median_s")
            if not a or not b:
                return None, None
            return f"Veldrake = {fmt_ratio(a / b)} {what}", a / b <= at_most
        return check

    def memory_within(peer, at_most):
        def check(res):
            r = mem_ratio(res, peer)
            return (None, None) if r is None else (
                f"Veldrake = {fmt_ratio(1 / r)} dict-of-sets' bytes", 1 / r <= at_most)
        return check

    targets = [
        ("selective eq within 1.5× of dict-of-sets", within("dict_sets", "sel_eq", 1.5)),
        ("selective eq ≥ 20× faster than sqlite3", faster("sqlite", "sel_eq", 20)),
        ("selective eq ≥ 20× faster than pandas", faster("pandas", "sel_eq", 20)),
    ]
    for w, title in (("range_1", "range 1%"), ("range_30", "range 30%"),
                     ("and_not", "and_/not_"), ("in_", "in_")):
        targets += [
            (f"{title} ≥ 5× faster than ducks", faster("ducks", w, 5)),
            (f"{title} ≥ 5× faster than pandas", faster("pandas", w, 5)),
            (f"{title} ≥ 10× faster than list scan", faster("list_scan", w, 10)),
        ]
    targets += [
        ("dotted path ≥ 10× faster than list scan", faster("list_scan", "dotted", 10)),
        ("build faster than ducks", faster("ducks", "build", 1.0 + 1e-9)),
        ("build faster than sqlite3", faster("sqlite", "build", 1.0 + 1e-9)),
        ("live update ≤ 10× a plain __slots__ write", cost_vs("list_scan", "update", 10)),
        ("live update ≥ 10× cheaper than ducks remove+add", faster("ducks", "update", 10)),
        ("memory ≤ 2× dict-of-sets (RSS)", memory_within("dict_sets", 2)),
        ("count of range 30% ≤ 1/10 of len(collect)",
         own_cost("count_30", ("veldrake_lists", "count_30"), 0.1, "the len(collect) time")),
        ("first 10 by score ≥ 100× faster than sorted(collect)[:10]",
         faster("veldrake_lists", "top10", 100)),
        ("first 10 by score of a 30% view ≥ 100× faster than sorted(collect)[:10]",
         faster("veldrake_lists", "top10_view", 100)),
        ("first 10 by score faster than sqlite3 ORDER BY LIMIT", faster("sqlite", "top10", 1)),
        ("first 10 of a 30% view faster than sqlite3 ORDER BY LIMIT",
         faster("sqlite", "top10_view", 1)),
        ("remove ≤ 3× a live attribute write",
         own_cost("remove", ("veldrake", "update"), 3, "the write")),
        ("clear of all N ≤ the build", own_cost("clear", ("veldrake", "build"), 1, "the build")),
    ]
    return targets


def targets_report(results_by_n):
    """The targets, judged at N = 10^6 (or at the largest N run, said so)."""
    if not results_by_n:
        return "", []
    n = TARGET_N if TARGET_N in results_by_n else max(results_by_n)
    res = results_by_n[n]
    head = f"### Targets at N = {fmt_n(n)}"
    if n != TARGET_N:
        head += f" (N = {fmt_n(TARGET_N)} was not run: judged at the largest N instead)"
    lines = [head, "", "| target | measured | verdict |", "|---|---|---|"]
    verdicts = []
    for title, check in _targets():
        value, passed = check(res)
        verdict = "n/a (system not run)" if passed is None else ("PASS" if passed else "FAIL")
        lines.append(f"| {title} | {value or '-'} | {verdict} |")
        verdicts.append({"target": title, "measured": value, "verdict": verdict, "n": n})
    summary = {v: sum(1 for x in verdicts if x["verdict"] == v) for v in ("PASS", "FAIL")}
    lines += ["", f"{summary['PASS']} pass, {summary['FAIL']} fail."]
    return "\n".join(lines), verdicts


def write_json(res, out_dir):
    path = os.path.join(out_dir, f"results-{res['n']}.json")
    with open(path, "w") as f:
        json.dump(res, f, indent=1, sort_keys=False)
    return path


def write_markdown(text, out_dir):
    path = os.path.join(out_dir, "results.md")
    with open(path, "w") as f:
        f.write(text + "\n")
    return path


def write_chart(results_by_n, out_dir):
    """Log-log time vs N per workload, one line per system; None when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        return None
    ns = sorted(results_by_n)
    first = results_by_n[ns[0]]
    systems = list(first["systems"])
    labels = {k: first["systems"][k]["label"] for k in systems}
    panels = [(w.key, w.title) for w in workloads.TIMED_WORKLOADS] + [("mem_rss", "memory")]
    cols = 4
    rows = -(-len(panels) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.3 * rows))
    colours = plt.get_cmap("tab10")
    for ax, (key, title) in zip(axes.flat, panels):
        for i, s in enumerate(systems):
            xs, ys = [], []
            for n in ns:
                res = results_by_n[n]
                if key == "mem_rss":
                    v = res["memory"].get(s, {}).get("rss_per_record")
                else:
                    v = res["timings"].get(key, {}).get(s, {}).get("median_s")
                if v is not None and v > 0:
                    xs.append(n)
                    ys.append(v)
            if xs:
                ax.plot(xs, ys, marker="o", markersize=4, color=colours(i), label=labels[s],
                        linewidth=2.4 if s == REFERENCE else 1.3)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("N records", fontsize=8)
        ax.set_ylabel("bytes / record" if key == "mem_rss" else "seconds", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(True, which="major", alpha=0.3)
    for ax in list(axes.flat)[len(panels):]:
        ax.axis("off")
    handles, names = [], []
    for ax in axes.flat:
        for h, lab in zip(*ax.get_legend_handles_labels()):
            if lab not in names:
                handles.append(h)
                names.append(lab)
    fig.legend(handles, names, loc="lower center", ncol=len(names), fontsize=9)
    fig.suptitle("Veldrake and its peers: median time per operation (log-log)", fontsize=12)
    fig.tight_layout(rect=(0, 0.04, 1, 0.97))
    path = os.path.join(out_dir, "chart.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
