"""The targets the module is held to, each judged from one run of the benchmark.

A target measures one figure (a ratio of two times, or of two sizes), at every N of the run or
only at ``TARGET_N`` (or the largest N run), and compares it with its limit: ``met`` when every
measured figure is within it, ``missed`` when one is not, ``reported`` for figures without a
limit, ``not measured`` when a system or section was not run.
"""

from dataclasses import dataclass
from typing import Callable, Optional

import workloads
from systems import REFERENCE

TARGET_N = 1_000_000
# A workload "scales flat" when its time per answered object at the largest N is at most this
# many times its time per answered object at the smallest N.
FLAT_GROWTH = 2.0
# Steps late in a long run (names known, indexes joined) may cost this many times the first ones:
# caches alone double a step, while a cost proportional to the count would be 10-100 times.
STEADY_GROWTH = 4.0


@dataclass(frozen=True)
class Target:
    group: str
    title: str
    # (results of one N, extra sections) -> (figure compared with the limit, text) or None
    measure: Callable
    limit: Optional[float] = None  # None: reported only
    at_most: bool = True  # the figure passes when <= limit (else when >= limit)
    every_n: bool = False  # judged at every N of the run, not only at the target N


def median(res, workload, system=REFERENCE):
    cell = res["timings"].get(workload, {}).get(system) or {}
    return cell.get("median_s") if cell.get("correct", True) else None


def fmt_x(r):
    return f"{r:.3g}×" if r < 100 else f"{r:,.0f}×"


def fmt_t(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.3g} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds:.3g} s"


def fmt_n(n):
    """10^k for a power of ten, else the number."""
    k = len(str(n)) - 1
    return f"10^{k}" if n == 10**k else f"{n:,}"


def own_over(workload, peer, peer_workload=None, label=None):
    """Veldrake's time over ``peer``'s (at most: Veldrake may cost that many times the peer)."""
    def measure(res, extra):
        a, b = median(res, workload), median(res, peer_workload or workload, peer)
        if not a or not b:
            return None
        name = label or res["systems"].get(peer, {}).get("label", peer)
        return a / b, f"{fmt_t(a)} vs {fmt_t(b)} = {fmt_x(a / b)} {name}"
    return measure


def faster_than(workload, peer, peer_workload=None):
    """How many times faster Veldrake is than ``peer``."""
    def measure(res, extra):
        a, b = median(res, workload), median(res, peer_workload or workload, peer)
        if not a or not b:
            return None
        speed = f"{fmt_x(b / a)} faster" if b >= a else f"{fmt_x(a / b)} slower"
        return b / a, f"{fmt_t(a)} vs {fmt_t(b)}: {speed}"
    return measure


def object_ratio(section, key, unit="time", baseline="dict"):
    """Indexable's figure over ``baseline``'s (a kind of objects_bench.py), from the per-object
    section; against the floor, the ``__dict__`` class's figure is given too."""
    def measure(res, extra):
        table = (extra.get("objects") or {}).get(section, {})
        row = table.get(key, {}) if section == "memory" else {k: v.get(key) for k, v in
                                                              table.items()}
        a, b = row.get("indexable"), row.get(baseline)
        if not a or not b:
            return None
        show = (lambda v: f"{v:,.0f} B") if unit == "bytes" else fmt_t
        text = f"{show(a)} vs {show(b)} = {fmt_x(a / b)}"
        if baseline != "dict" and row.get("dict"):
            text += f" (__dict__ {show(row['dict'])})"
        return a / b, text
    return measure


def absolute(workload, system=REFERENCE):
    def measure(res, extra):
        t = median(res, workload, system)
        return None if not t else (t * 1e9, fmt_t(t))
    return measure


def reported(workload, peers):
    def measure(res, extra):
        t = median(res, workload)
        if not t:
            return None
        others = [f"{res['systems'][p]['label']} {fmt_t(median(res, workload, p))}"
                  for p in peers if median(res, workload, p)]
        return t, fmt_t(t) + (f" ({', '.join(others)})" if others else "")
    return measure


def values_ratio(name, baseline):
    """The values section: time (view + collect) of ``name`` over ``baseline``'s."""
    def measure(res, extra):
        rows = (extra.get("values") or {}).get("queries", {})
        if name not in rows or baseline not in rows:
            return None
        a = rows[name]["query_s"] + rows[name]["collect_s"]
        b = rows[baseline]["query_s"] + rows[baseline]["collect_s"]
        return a / b, f"{fmt_t(a)} vs {fmt_t(b)} = {fmt_x(a / b)}"
    return measure


def datetime_write_extra(res, extra):
    costs = (extra.get("values") or {}).get("write_ns")
    if not costs:
        return None
    more = costs["datetime"] - costs["float"]
    return more, f"{costs['datetime']:.0f} ns vs {costs['float']:.0f} ns: +{more:.0f} ns"


def per_answer_growth(results_by_n, workload, system=REFERENCE):
    """Time per answered object at the largest N over the smallest N's."""
    ns = sorted(results_by_n)
    costs = [per_answer(results_by_n[n], workload, system) for n in (ns[0], ns[-1])]
    if len(ns) < 2 or None in costs:
        return None
    return costs[1] / costs[0]


def answer_size(res, workload, system=REFERENCE):
    """Objects in the answer: group_by hands out every record, build takes every record."""
    if workload in ("group_by", "build", "clear"):
        return res["n"]
    cell = res["timings"].get(workload, {}).get(system) or {}
    return cell.get("hits")


def per_answer(res, workload, system=REFERENCE):
    t, size = median(res, workload, system), answer_size(res, workload, system)
    return t / size if t and size else None


def scaling(results_by_n):
    def measure(res, extra):
        growth = {w.title: per_answer_growth(results_by_n, w.key) for w in
                  workloads.QUERY_WORKLOADS + [workloads.BUILD] if w.key not in ("empty_eq",
                                                                                  "copy_30")}
        growth = {k: g for k, g in growth.items() if g is not None}
        if not growth:
            return None
        worst = max(growth, key=growth.get)
        steep = [f"{k} {fmt_x(g)}" for k, g in growth.items() if g > FLAT_GROWTH]
        return growth[worst], (f"worst {worst} {fmt_x(growth[worst])}"
                               + (f"; above {FLAT_GROWTH:g}×: {', '.join(steep)}" if steep
                                  else ""))
    return measure


def growth(figure):
    """The growth section: time per step at the end of a long run over that at its start."""
    def measure(res, extra):
        steps = (extra.get("growth") or {}).get(figure)
        if not steps:
            return None
        first, last = steps
        return last / first, f"{fmt_t(first)} -> {fmt_t(last)} = {fmt_x(last / first)}"
    return measure


def concurrency(thread, key):
    def measure(res, extra):
        c = extra.get("concurrency") or {}
        alone = c.get("alone", {}).get(thread, {})
        together = [v for k, v in c.get("together", {}).items() if k.startswith(thread)]
        if not alone.get("per_s") or not together or any(v.get("stuck") for v in together):
            return None
        if key == "p99":
            a, b = alone["p99_s"], together[0]["p99_s"]
            return b, f"{fmt_t(b)} with two query threads, {fmt_t(a)} alone"
        shares = [v["per_s"] / alone["per_s"] for v in together]
        return min(shares), ", ".join(f"{v['per_s']:,.0f}/s" for v in together) + (
            f" vs {alone['per_s']:,.0f}/s alone: " + ", ".join(fmt_x(s) for s in shares))
    return measure


def all_targets(results_by_n):
    T = Target
    query_workloads = [("empty_eq", "empty eq"), ("sel_eq", "selective eq"),
                       ("broad_eq", "broad eq"), ("range_1", "range 1%"),
                       ("range_30", "range 30%"), ("and_not", "and_/range/not_"),
                       ("in_", "in_"), ("dotted", "dotted path"), ("group_by", "group_by")]
    return [
        T("objects", "memory of the benchmark's objects ≤ 1.2× a __dict__ object",
          object_ratio("memory", "benchmark", unit="bytes"), 1.2),
        T("objects", "object with 4 scalars ≤ the __dict__ object",
          object_ratio("memory", "scalars", unit="bytes"), 1.0),
        T("objects", "empty object (the fixed part), against an empty __dict__ object",
          object_ratio("memory", "empty", unit="bytes")),
        T("objects", "creation with keywords ≤ 1.2× a __dict__ object's",
          object_ratio("time", "create"), 1.2),
        T("objects", "read of a stored attribute ≤ 1.2× a __dict__ read",
          object_ratio("time", "read"), 1.2),
        T("objects", "write, object in no index ≤ 2× a __dict__ write",
          object_ratio("time", "write"), 2.0),
        *[T("objects", f"{what} against a type with its own getattro/setattro (the floor)",
            object_ratio("time", key, baseline="floor"))
          for key, what in (("read", "read"), ("write", "write in no index"),
                            ("create", "creation"))],
        T("objects", "write, object in one index ≤ 250 ns", absolute("update"), 250,
          every_n=True),
        T("objects", "write, object in one index ≤ 0.25× the dict-of-sets' update",
          own_over("update", "dict_sets"), 0.25, every_n=True),
        T("answers", "selective eq ≤ 1.5× dict-of-sets", own_over("sel_eq", "dict_sets"), 1.5,
          every_n=True),
        T("answers", "broad eq ≤ 1.0× dict-of-sets", own_over("broad_eq", "dict_sets"), 1.0,
          every_n=True),
        T("answers", "range 1% ≤ 1.0× dict-of-sets", own_over("range_1", "dict_sets"), 1.0,
          every_n=True),
        T("answers", "range 30% ≥ 10× faster than the list scan",
          faster_than("range_30", "list_scan"), 10, at_most=False, every_n=True),
        T("answers", "range 30% against copying its answer (the floor)",
          own_over("range_30", REFERENCE, "copy_30", "the copy"), every_n=True),
        T("answers", "dotted path ≤ 2× dict-of-sets", own_over("dotted", "dict_sets"), 2.0,
          every_n=True),
        T("answers", "group_by ≤ 0.5× dict-of-sets", own_over("group_by", "dict_sets"), 0.5,
          every_n=True),
        T("answers", "fixed cost of an empty answer", reported("empty_eq", ["dict_sets"]),
          every_n=True),
        T("answers", "build ≥ 2× faster than dict-of-sets", faster_than("build", "dict_sets"), 2,
          at_most=False),
        T("answers", "build ≥ 3× faster than sqlite3", faster_than("build", "sqlite"), 3,
          at_most=False),
        T("answers", "write + next query ≤ 1.0× dict-of-sets",
          own_over("update_query", "dict_sets"), 1.0, every_n=True),
        T("answers", "count of range 30% ≤ 0.1× len(collect)",
          own_over("count_30", "veldrake_lists", label="the len(collect)"), 0.1),
        T("answers", "top 10 by order_by ≥ 100× faster than sorted(collect)[:10]",
          faster_than("top10", "veldrake_lists"), 100, at_most=False),
        T("answers", "top 10 of a 30% view ≥ 100× faster than sorted(collect)[:10]",
          faster_than("top10_view", "veldrake_lists"), 100, at_most=False),
        T("answers", "top 10 faster than sqlite3 ORDER BY LIMIT", faster_than("top10", "sqlite"),
          1, at_most=False),
        T("answers", "top 10 of a view faster than sqlite3 ORDER BY LIMIT",
          faster_than("top10_view", "sqlite"), 1, at_most=False),
        T("answers", "remove 1 record ≤ 3× a live write",
          own_over("remove", REFERENCE, "update", "the write"), 3),
        T("answers", "clear of all N ≤ the build",
          own_over("clear", REFERENCE, "build", "the build"), 1),
        *[T("answers", f"{kind} range {share} ≤ 1.2× the number range",
            values_ratio(f"range {share} {kind}", f"range {share} number"), 1.2)
          for kind in ("date", "datetime") for share in ("1%", "30%")],
        T("answers", "eq None (1%) ≤ 1.2× eq of a string (1%)",
          values_ratio("eq None (1%)", "eq string (1%)"), 1.2),
        T("answers", "datetime write ≤ a float write + 150 ns", datetime_write_extra, 150),
        *[T("peers", f"{title} ≥ 5× faster than Polars", faster_than(key, "polars"), 5,
            at_most=False) for key, title in query_workloads],
        T("peers", "count of range 30% ≥ 10× faster than Polars' count",
          faster_than("count_30", "polars"), 10, at_most=False),
        T("peers", "top 10 ≥ 100× faster than Polars' bottom_k", faster_than("top10", "polars"),
          100, at_most=False),
        T("peers", "top 10 of a 30% view ≥ 100× faster than Polars' bottom_k",
          faster_than("top10_view", "polars"), 100, at_most=False),
        T("peers", "build against Polars' frame build", faster_than("build", "polars")),
        T("scaling", f"time per answered object flat (≤ {FLAT_GROWTH:g}× from the smallest "
          "to the largest N)", scaling(results_by_n), FLAT_GROWTH),
        *[T("scaling", f"{what} ≤ {STEADY_GROWTH:g}× the first's ({count})",
            growth(figure), STEADY_GROWTH)
          for figure, what, count in (
              ("new name", "a new attribute name, the last", "200,000 names"),
              ("join the k-th index", "one object joining an index, the last",
               "20,000 indexes"),
              ("write after memberships dropped", "a write after 20,000 memberships dropped",
               "the write before"))],
        T("concurrency", "query thread beside another and a writer, against alone",
          concurrency("query", "rate")),
        T("concurrency", "writer beside two query threads ≥ 0.25× alone",
          concurrency("writer", "rate"), 0.25, at_most=False),
        T("concurrency", "write latency beside two query threads, 99th percentile ≤ 1 ms",
          concurrency("writer", "p99"), 1e-3),
    ]


def judge(results_by_n, extra):
    """[{group, target, measured, verdict}] for every target, from the results of each N."""
    ns = sorted(results_by_n)
    target_n = TARGET_N if TARGET_N in results_by_n else ns[-1]
    rows = []
    for t in all_targets(results_by_n):
        at = ns if t.every_n else [target_n]
        figures = []
        for n in at:
            got = t.measure(results_by_n[n], extra)
            if got is not None:
                figures.append((n, *got))
        if not figures:
            verdict = "not measured"
        elif t.limit is None:
            verdict = "reported"
        else:
            ok = all((f <= t.limit) if t.at_most else (f >= t.limit) for _, f, _ in figures)
            verdict = "met" if ok else "missed"
        if len(figures) > 1:
            text = "; ".join(f"N={fmt_n(n)}: {txt}" for n, _, txt in figures)
        else:
            text = figures[0][2] if figures else "-"
        rows.append({"group": t.group, "target": t.title, "measured": text, "verdict": verdict,
                     "n": at if t.every_n else target_n})
    return rows


def markdown(rows, target_n):
    lines = [f"### Targets (one run; figures at N = {target_n:,} unless the N is given)", "",
             "| | target | measured | verdict |", "|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['group']} | {r['target']} | {r['measured']} | {r['verdict']} |")
    count = {v: sum(1 for r in rows if r["verdict"] == v) for v in ("met", "missed")}
    lines += ["", f"{count['met']} met, {count['missed']} missed, "
              f"{len(rows) - count['met'] - count['missed']} reported or not measured."]
    return "\n".join(lines)
