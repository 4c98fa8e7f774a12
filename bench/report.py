"""Tables, targets, JSON and the chart from the benchmark's results.

A result set (one per N) is a dict:
``{"n", "meta", "systems": {key: {"label", "note", "skipped"}}, "timings": {workload:
{system: {"median_s", "samples_s", "calls_per_sample", "hits", "correct", "error"}}},
"memory": {system: {"rss_per_record", "py_per_record"} or {"error"}}, "notes": [...]}``.
"""

import json
import os

import objects_bench
import targets
import workloads
from systems import REFERENCE


def fmt_time(seconds):
    return "-" if seconds is None else targets.fmt_t(seconds)


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


def scaling_tables(results_by_n, systems):
    """Per system, time per answered object of each workload at each N, and its growth."""
    ns = sorted(results_by_n)
    if len(ns) < 2:
        return ""
    first = results_by_n[ns[0]]
    out = ["### Scaling: time per answered object",
           "",
           "Median time divided by the answer's size (records handed out; for build, group_by and "
           "clear: N; for count: the count). Flat rows scale with their answer; `growth` is the "
           f"largest N's figure over the smallest N's (above {targets.FLAT_GROWTH:g}×: the cost "
           "grows faster than the answer). Absolute times are in the tables above."]
    for system in systems:
        if first["systems"].get(system, {}).get("skipped"):
            continue
        rows = []
        for w in workloads.TIMED_WORKLOADS:
            if w.key in ("empty_eq", "copy_30", "update", "update_query", "remove"):
                continue
            cells = [targets.per_answer(results_by_n[n], w.key, system)
                     for n in ns]
            if not any(cells):
                continue
            growth = cells[-1] / cells[0] if cells[0] and cells[-1] else None
            rows.append(f"| {w.title} | " + " | ".join(fmt_time(c) for c in cells)
                        + f" | {fmt_ratio(growth) if growth else '-'} |")
        if rows:
            label = first["systems"][system]["label"]
            out += ["", f"**{label}**", "",
                    "| workload | " + " | ".join(targets.fmt_n(n) for n in ns) + " | growth |",
                    "|---|" + "---:|" * (len(ns) + 1)] + rows
    return "\n".join(out)


def objects_table(objects):
    """The per-object section: memory and times of Indexable against plain classes."""
    if not objects:
        return ""
    kinds = objects_bench.KINDS
    lines = ["### What every object costs",
             "",
             f"Memory: resident-set growth per object over {objects['count']:,} objects, each case "
             "in a fresh process (scalar values made first). Times: median per operation. "
             "Brackets: over the __dict__ class.",
             "",
             "| | " + " | ".join(objects_bench.LABELS[k] for k in kinds) + " |",
             "|---|" + "---:|" * len(kinds)]

    def row(title, values, show):
        base = values.get("dict")
        cells = []
        for k in kinds:
            v = values.get(k)
            text = "-" if v is None else show(v)
            if v is not None and base and k != "dict":
                text += f" ({fmt_ratio(v / base)})"
            cells.append(text)
        lines.append(f"| {title} | " + " | ".join(cells) + " |")

    for shape, what in objects_bench.SHAPES.items():
        row(f"memory: {what}", objects["memory"].get(shape, {}), lambda v: f"{v:,.0f} B")
    for key, title in (("create", "create with keywords"), ("read", "read an attribute"),
                       ("write", "write, in no index"), ("write_indexed", "write, in one index")):
        row(title, {k: objects["time"].get(k, {}).get(key) for k in kinds}, fmt_time)
    return "\n".join(lines)


def values_table(values):
    if not values:
        return ""
    lines = ["### Dates, times and None against numbers and strings (Veldrake)",
             "",
             f"N = {values['n']:,}; best of several rounds; the view, then collecting its objects.",
             "",
             "| query | hits | view | collect | total |", "|---|---:|---:|---:|---:|"]
    for name, r in values["queries"].items():
        lines.append(f"| {name} | {r['hits']:,} | {fmt_time(r['query_s'])} | "
                     f"{fmt_time(r['collect_s'])} | {fmt_time(r['query_s'] + r['collect_s'])} |")
    w = values["write_ns"]
    lines += ["", f"Write into an object in no index: float {w['float']:.0f} ns, datetime "
              f"{w['datetime']:.0f} ns."]
    return "\n".join(lines)


def concurrency_table(c):
    if not c:
        return ""
    if "error" in c:
        return f"### Concurrency\n\nNot measured: {c['error']}."
    lines = ["### Concurrency: two query threads and a writer (Veldrake)",
             "",
             f"N = {c['n']:,}, {c['seconds']:g} s per phase. Query: in_ of 5 cities (collected); "
             "write: one record's city. Ratios: against the same thread alone.",
             "",
             "| thread | alone | two query threads, no writer | with the writer | ratio | "
             "write p99 |", "|---|---:|---:|---:|---:|---:|"]

    def rate(t, alone):
        if not t:
            return "-"
        if t.get("stuck"):
            return "stuck"
        return f"{t['per_s']:,.0f}/s ({fmt_ratio(t['per_s'] / alone['per_s'])})"

    for name, t in c["together"].items():
        alone = c["alone"]["writer" if name == "writer" else "query"]
        pair = (c.get("queries_only") or {}).get(name)
        p99 = (f"{fmt_time(t['p99_s'])} (alone {fmt_time(alone['p99_s'])})"
               if name == "writer" and not t.get("stuck") else "")
        ratio = "" if t.get("stuck") else fmt_ratio(t["per_s"] / alone["per_s"])
        lines.append(f"| {name} | {alone['per_s']:,.0f}/s | {rate(pair, alone)} | "
                     f"{rate(t, alone).split(' (')[0]} | {ratio} | {p99} |")
    return "\n".join(lines)


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
