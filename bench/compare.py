"""Veldrake against the ways Python users index objects otherwise, on the same data.

For each N, every system builds its structure from the same records and answers the same
workloads (see workloads.py); each answer is checked once against the list scan's, then
timed (median of repeated runs, see timing.py). Memory per record is measured in a fresh
process per system (memory.py). Once per run: per-object costs (objects_bench.py), dates, times
and None (values_bench.py), query threads beside a writer (concurrency.py). Results go to
bench/results/: results-<N>.json, results-extra.json (those sections), results.md (the targets,
a table per N, the scaling tables, the sections) and chart.png.

    make bench                                  # N = 10^4, 10^5, 10^6
    make bench BENCH_ARGS=--quick               # N = 10^4 only
    make bench BENCH_ARGS="--sizes 10000,100000 --systems veldrake,dict_sets"

Run directly with the module on the path: ``PYTHONPATH=build/dev .venv/bin/python
bench/compare.py --help``.
"""

import argparse
import datetime
import gc
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import concurrency  # noqa: E402
import datagen  # noqa: E402
import growth  # noqa: E402
import memory  # noqa: E402
import objects_bench  # noqa: E402
import report  # noqa: E402
import targets  # noqa: E402
import timing  # noqa: E402
import workloads  # noqa: E402
from systems import ALL_SYSTEMS, BY_KEY, REFERENCE  # noqa: E402

DEFAULT_SIZES = [10_000, 100_000, 1_000_000]
# The systems of the scaling runs beyond the default sizes (--scaling-with).
SCALING_SYSTEMS = ["veldrake", "list_scan", "dict_sets", "sqlite"]


def reraise_interrupt(exc):
    """Failures of a system are recorded (Veldrake's internal-error exception derives from
    BaseException, hence the broad catches), but Ctrl-C and exit still end the run."""
    if isinstance(exc, (KeyboardInterrupt, SystemExit)):
        raise exc


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default=None,
                   help="comma-separated record counts (default 10000,100000,1000000)")
    p.add_argument("--quick", action="store_true", help="N = 10,000 only")
    p.add_argument("--systems", default=None,
                   help="comma-separated systems (default all): " + ",".join(BY_KEY))
    p.add_argument("--budget", type=float, default=0.5,
                   help="seconds of timing per workload and system (default 0.5)")
    p.add_argument("--build-budget", type=float, default=2.0,
                   help="seconds of repeated builds per system (default 2; a longer build is "
                        "timed once)")
    p.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    p.add_argument("--no-objects", action="store_true", help="skip the per-object costs")
    p.add_argument("--no-values", action="store_true",
                   help="skip the dates, times and None queries")
    p.add_argument("--no-concurrency", action="store_true", help="skip the threads")
    p.add_argument("--concurrency-n", type=int, default=100_000,
                   help="records in the concurrency run (default 100000)")
    p.add_argument("--concurrency-seconds", type=float, default=2.0,
                   help="seconds per phase of the concurrency run (default 2)")
    p.add_argument("--scaling-with", default="",
                   help="comma-separated larger N (e.g. 10000000) run for the scaling table "
                        f"only, with {', '.join(SCALING_SYSTEMS)}, when memory allows")
    p.add_argument("--out", default=os.path.join(HERE, "results"), help="output directory")
    args = p.parse_args(argv)
    args.scaling_with = [int(float(x)) for x in args.scaling_with.split(",") if x.strip()]
    if args.quick:
        args.sizes = [10_000]
    elif args.sizes:
        args.sizes = [int(float(x)) for x in args.sizes.replace(" ", ",").split(",") if x]
    else:
        args.sizes = list(DEFAULT_SIZES)
    keys = [k.strip() for k in args.systems.split(",")] if args.systems else list(BY_KEY)
    unknown = [k for k in keys if k not in BY_KEY]
    if unknown:
        p.error(f"unknown systems {unknown}; known: {list(BY_KEY)}")
    if REFERENCE not in keys:
        keys.insert(0, REFERENCE)
    args.systems = [cls.key for cls in ALL_SYSTEMS if cls.key in keys]
    return args


def say(*parts):
    print(*parts, flush=True)


def metadata():
    versions = {"python": platform.python_version()}
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover
        version = None
    for pkg in ("ducks", "pandas", "polars", "duckdb", "numpy", "matplotlib"):
        try:
            versions[pkg] = version(pkg) if version else None
        except PackageNotFoundError:
            versions[pkg] = None
    versions["sqlite"] = __import__("sqlite3").sqlite_version
    try:
        commit = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
    except Exception:
        commit = ""
    return {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, {platform.system()}",
        "versions": versions,
        "git_commit": commit,
    }


def positions(answer, pos):
    """Record positions of the objects in ``answer``; raises on a foreign object or a repeat."""
    got = [pos.get(id(o)) for o in answer]
    if None in got:
        raise AssertionError("answer holds an object that is not one of the records")
    found = frozenset(got)
    if len(found) != len(got):
        raise AssertionError(f"answer repeats records ({len(got) - len(found)} repeats)")
    return found


def check_answer(workload, answer, expected, pos):
    """None when right, else what is wrong."""
    if isinstance(expected, int):
        return None if answer == expected else f"counted {answer}, not {expected}"
    if workload in workloads.ORDERED_WORKLOADS:
        got = tuple(pos.get(id(o)) for o in answer)
        return None if got == expected else "not the expected records in the expected order"
    try:
        if workload == "group_by":
            got = {key: positions(members, pos) for key, members in answer.items()}
            if got != expected:
                missing = set(expected) - set(got)
                extra = set(got) - set(expected)
                wrong = [k for k in set(got) & set(expected) if got[k] != expected[k]]
                return (f"groups missing {len(missing)}, extra {len(extra)}, "
                        f"with wrong members {len(wrong)}")
            return None
        got = positions(answer, pos)
    except AssertionError as exc:
        return str(exc)
    if got != expected:
        return f"{len(got - expected)} extra, {len(expected - got)} missing"
    return None


def run_system(system, objs, pos, params, ref, args, res):
    key = system.key
    label = system.label
    system.start(objs, params)
    t0 = time.perf_counter()
    try:
        build = timing.time_build(system.build, system.clear, args.build_budget)
    except BaseException as exc:
        reraise_interrupt(exc)
        res["timings"]["build"][key] = {"median_s": None, "error": f"{type(exc).__name__}: {exc}"}
        res["notes"].append(f"{label} could not build: {type(exc).__name__}: {exc}.")
        say(f"    build: error {type(exc).__name__}: {exc}")
        system.clear()
        system.ns = {}
        return
    res["timings"]["build"][key] = {**build.as_dict(), "hits": len(objs), "correct": True}
    say(f"    build {report.fmt_time(build.median)} ({len(build.samples)} run(s))")
    stmts = system.statements()
    ns = system.ns
    for w in workloads.QUERY_WORKLOADS:
        stmt = stmts.get(w.key)
        if stmt is None:  # a workload the system has no way to answer
            continue
        try:
            answer = eval(stmt, ns)
            problem = check_answer(w.key, answer, ref[w.key], pos)
            hits = answer if isinstance(answer, int) else len(answer)
            del answer
            t = timing.time_statement(stmt, ns, args.budget)
        except BaseException as exc:  # a system failing must not end the run
            reraise_interrupt(exc)
            res["timings"][w.key][key] = {"median_s": None, "error": f"{type(exc).__name__}: {exc}"}
            say(f"    {w.key}: error {type(exc).__name__}: {exc}")
            continue
        res["timings"][w.key][key] = {**t.as_dict(), "hits": hits, "correct": problem is None}
        if problem:
            res["notes"].append(f"{label} gave a wrong answer for {w.title}: {problem}.")
            say(f"    {w.key}: WRONG ANSWER: {problem}")
        say(f"    {w.key:<10} {report.fmt_time(t.median):>10}  hits {hits:,}")
    run_updates(system, stmts, ns, pos, params, ref, args, res)
    run_removals(system, len(objs), res)
    system.clear()
    system.ns = {}
    say(f"    ({time.perf_counter() - t0:.1f} s)")


def run_removals(system, n, res):
    """Removal of one record and clear of all, for the systems that remove records."""
    if getattr(system, "time_removals", None) is None:
        return
    try:
        timings = system.time_removals()
    except BaseException as exc:
        reraise_interrupt(exc)
        for wk in ("remove", "clear"):
            res["timings"][wk][system.key] = {"median_s": None,
                                              "error": f"{type(exc).__name__}: {exc}"}
        say(f"    removal: error {type(exc).__name__}: {exc}")
        return
    for wk, t in timings.items():
        res["timings"][wk][system.key] = {**t.as_dict(), "hits": 1 if wk == "remove" else n,
                                          "correct": True}
        say(f"    {wk:<10} {report.fmt_time(t.median):>10}")


def run_updates(system, stmts, ns, pos, params, ref, args, res):
    """Live update: the write must be seen by the very next query."""
    key = system.key
    if "write_b" not in stmts:
        return
    k = params["UPD_K"]
    try:
        exec(stmts["write_b"], ns)
        problems = [
            check_answer("q", eval(stmts["query_b"], ns), ref["city_b"] | {k}, pos),
            check_answer("q", eval(stmts["query_a"], ns), ref["city_a"] - {k}, pos),
        ]
        exec(stmts["write_a"], ns)
        problems += [
            check_answer("q", eval(stmts["query_a"], ns), ref["city_a"], pos),
            check_answer("q", eval(stmts["query_b"], ns), ref["city_b"], pos),
        ]
        problem = "; ".join(p for p in problems if p) or None
        upd = timing.time_statement(f"{stmts['write_b']}\n{stmts['write_a']}", ns, args.budget,
                                    ops_per_call=2)
        updq = timing.time_statement(
            f"{stmts['write_b']}\n{stmts['query_b']}\n{stmts['write_a']}\n{stmts['query_a']}",
            ns, args.budget, ops_per_call=2)
    except BaseException as exc:
        reraise_interrupt(exc)
        try:  # put the record back for the systems that come next
            exec(stmts["write_a"], ns)
        except Exception:
            pass
        for wk in ("update", "update_query"):
            res["timings"][wk][key] = {"median_s": None, "error": f"{type(exc).__name__}: {exc}"}
        say(f"    update: error {type(exc).__name__}: {exc}")
    else:
        for wk, t in (("update", upd), ("update_query", updq)):
            res["timings"][wk][key] = {**t.as_dict(), "hits": 1, "correct": problem is None}
        if problem:
            res["notes"].append(f"{system.label}: a query after a write was wrong: {problem}.")
            say(f"    update: WRONG ANSWER after a write: {problem}")
        say(f"    update     {report.fmt_time(upd.median):>10}  write+query "
            f"{report.fmt_time(updq.median)}")


def machine_load():
    """The 1-minute load average, or None where the system has none."""
    try:
        return os.getloadavg()[0]
    except (AttributeError, OSError):
        return None


def peak_rss():
    """The process's peak resident set so far, in bytes, or None."""
    try:
        import resource
    except ImportError:
        return None
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_needed(n, done, baseline):
    """Bytes a run at ``n`` records would need: the growth of the peak over ``baseline`` (the
    peak before the first run) in the runs so far, scaled to ``n``; None where unknown."""
    peak = peak_rss()
    if peak is None or baseline is None:
        return None
    return baseline + (peak - baseline) * n / max(done)


def memory_available():
    try:
        with open("/proc/meminfo") as f:
            fields = dict(line.split(":", 1) for line in f)
        return int(fields["MemAvailable"].split()[0]) * 1024
    except (OSError, KeyError, ValueError):
        return None


def run_sections(args):
    """The sections measured once per run: per-object costs, values, threads."""
    extra = {}
    if not args.no_objects:
        say("\n=== What every object costs ===")
        extra["objects"] = objects_bench.measure(budget=min(args.budget, 0.3), say=say)
        say("\n=== Names and memberships over a long run ===")
        extra["growth"] = growth.measure()
    if not args.no_values:
        import values_bench

        n = targets.TARGET_N if targets.TARGET_N in args.sizes else max(args.sizes)
        say(f"\n=== Dates, times and None (N = {n:,}) ===")
        extra["values"] = values_bench.measure(n)
        for name, row in extra["values"]["queries"].items():
            say(f"    {name:<20} {report.fmt_time(row['query_s'] + row['collect_s']):>10}")
    if not args.no_concurrency:
        say(f"\n=== Concurrency (N = {args.concurrency_n:,}) ===")
        extra["concurrency"] = concurrency.measure(args.concurrency_n, args.concurrency_seconds)
        say("    " + report.concurrency_table(extra["concurrency"]).replace("\n", "\n    "))
    return extra


def run_size(n, args, meta, systems=None):
    started = time.perf_counter()
    load_before = machine_load()
    say(f"\n=== N = {n:,} ===" + (f" (load average {load_before:.2f})" if load_before else ""))
    cols = datagen.make_columns(n)
    params = workloads.parameters(cols)
    plain = datagen.make_plain(cols)
    say(f"  made {n:,} plain records ({time.perf_counter() - started:.1f} s)")
    t = time.perf_counter()
    indexables = datagen.make_indexables(cols)
    say(f"  made {n:,} Indexable records ({time.perf_counter() - t:.1f} s)")
    gc.collect()
    if hasattr(gc, "freeze"):  # PyPy's collector has no such step
        gc.freeze()  # the records are long-lived: keep them out of the collector's way
    ref = workloads.reference_answers(plain, params)
    pos_of = {
        "plain": {id(o): k for k, o in enumerate(plain)},
        "indexable": {id(o): k for k, o in enumerate(indexables)},
    }
    objs_of = {"plain": plain, "indexable": indexables}
    res = {
        "n": n,
        "meta": meta,
        "systems": {},
        "timings": {w.key: {} for w in workloads.TIMED_WORKLOADS},
        "memory": {},
        "notes": [],
        "parameters": {k: (sorted(v) if isinstance(v, frozenset) else v)
                       for k, v in params.items()},
    }
    systems = systems or args.systems
    for key in systems:
        system = BY_KEY[key]()
        reason = system.unavailable()
        res["systems"][key] = {"label": system.label, "note": system.note, "kind": system.kind,
                               "skipped": reason}
        if reason:
            say(f"  {system.label}: skipped: {reason}")
            continue
        say(f"  {system.label}:")
        run_system(system, objs_of[system.kind], pos_of[system.kind], params, ref, args, res)
    once = [res["systems"][k]["label"] for k, c in res["timings"]["build"].items()
            if len(c.get("samples_s", [])) == 1]
    if once:
        res["notes"].append(
            f"Build timed once (one build takes longer than the {args.build_budget:g} s "
            f"build budget): {', '.join(once)}.")
    del plain, indexables, objs_of, pos_of, ref
    if hasattr(gc, "unfreeze"):
        gc.unfreeze()
    gc.collect()
    if not args.no_memory:
        say("  memory (a fresh process per system):")
        for key in systems:
            if res["systems"][key]["skipped"]:
                continue
            t = time.perf_counter()
            m = memory.measure_in_child(key, n)
            res["memory"][key] = m
            if "error" in m:
                say(f"    {key:<10} error: {m['error']}")
            else:
                say(f"    {key:<10} {m['rss_per_record']:>8,.0f} B/record RSS, "
                    f"{m['py_per_record']:>8,.0f} B/record traced ({time.perf_counter() - t:.1f} s)")
    res["elapsed_s"] = time.perf_counter() - started
    load_after = machine_load()
    res["load_average"] = {"before": load_before, "after": load_after}
    cores = os.cpu_count() or 1
    busy = [x for x in (load_before, load_after) if x is not None and x > cores - 0.5]
    if busy:
        res["notes"].append(
            f"The machine was busy with other work (load average {load_before:.1f} before, "
            f"{load_after:.1f} after, {cores} cores): absolute times are inflated and noisy; "
            "ratios within one N are more reliable.")
    say(f"  N = {n:,} took {res['elapsed_s']:.0f} s")
    return res


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    os.makedirs(args.out, exist_ok=True)
    meta = metadata()
    say(f"Veldrake benchmark: N = {', '.join(f'{n:,}' for n in args.sizes)}; "
        f"systems {', '.join(args.systems)}")
    say(f"  {meta['machine']}; " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items() if v))
    results = {}
    started = time.perf_counter()
    baseline = peak_rss()
    for n in args.sizes:
        results[n] = run_size(n, args, meta)
        report.write_json(results[n], args.out)
    scaling_notes = []
    for n in args.scaling_with:
        need, have = memory_needed(n, list(results), baseline), memory_available()
        if need and have and need > 0.9 * have:
            scaling_notes.append(f"N = {n:,} not run: it would need about {need / 2**30:.0f} GiB "
                                 f"(this run's peak, scaled), {have / 2**30:.0f} GiB available.")
            say(scaling_notes[-1])
            continue
        keys = [k for k in SCALING_SYSTEMS if k in args.systems]
        results[n] = run_size(n, argparse.Namespace(**{**vars(args), "no_memory": True}), meta,
                              systems=keys)
        report.write_json(results[n], args.out)
    extra = run_sections(args)
    report.write_json({"n": "extra", **extra}, args.out)
    sizes = sorted(results)
    verdicts = targets.judge({n: results[n] for n in args.sizes}, extra)
    target_n = targets.TARGET_N if targets.TARGET_N in args.sizes else max(args.sizes)
    first = results[args.sizes[0]]
    systems_text = ["### Systems", ""] + [
        f"- **{s['label']}**: " + (f"skipped ({s['skipped']})" if s["skipped"] else s["note"])
        for s in first["systems"].values()]
    header = (f"## Veldrake benchmark ({meta['date']}, {meta['machine']}, "
              f"commit {meta['git_commit'] or '?'})\n\n"
              "Versions: " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items() if v)
              + f". Total run time {time.perf_counter() - started:.0f} s.")
    scaling_text = report.scaling_tables({n: results[n] for n in sizes},
                                         SCALING_SYSTEMS + [k for k in args.systems
                                                            if k not in SCALING_SYSTEMS])
    if scaling_notes:
        scaling_text += "\n\n" + "\n".join(f"- {note}" for note in scaling_notes)
    parts = [header, targets.markdown(verdicts, target_n)]
    parts += [report.markdown_table(results[n]) for n in sizes]
    parts += [scaling_text, report.objects_table(extra.get("objects")),
              report.values_table(extra.get("values")),
              report.concurrency_table(extra.get("concurrency")), "\n".join(systems_text)]
    text = "\n\n".join(p for p in parts if p)
    for n in sizes:
        results[n]["targets"] = verdicts
        report.write_json(results[n], args.out)
    md = report.write_markdown(text, args.out)
    chart = report.write_chart(results, args.out)
    say("\n" + text)
    say(f"\nWrote {md}, results-<N>.json" + (f" and {chart}" if chart else
                                               " (no chart: matplotlib missing)"))


if __name__ == "__main__":
    main()
