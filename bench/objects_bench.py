"""What every object costs, queried or not: ``Indexable`` against plain classes.

The same records as the benchmark (datagen.py: four scalars, a list of 3 tags, a shared owner)
as ``Indexable``, as a plain class with ``__dict__`` and as a ``__slots__`` class:

* memory per object, each case in a fresh process: the scalar values are made first, then
  ``COUNT`` objects, and the resident-set growth is divided by their number. Cases: the
  benchmark's objects (their tag lists and owners made with them), objects with the 4 scalars
  only, empty objects.
* creating one object with keywords (and dropping it), reading a stored attribute, writing one
  on an object in no index, and (``Indexable`` only) on an object held by one index. These are
  also timed for the floor: ``FloorRecord`` (floor_types.cpp, built with the benchmarks), whose
  own ``tp_getattro``, ``tp_setattro`` and ``tp_init`` only compare the name's address and take
  one field, so that, as for ``Indexable``, the interpreter's specialised attribute access never
  applies.

    PYTHONPATH=build/dev .venv/bin/python bench/objects_bench.py
    PYTHONPATH=build/dev .venv/bin/python bench/objects_bench.py --instructions  # callgrind
"""

import gc
import json
import os
import re
import subprocess
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datagen  # noqa: E402
import timing  # noqa: E402

COUNT = 200_000
MEMORY_KINDS = ("indexable", "dict", "slots")
KINDS = MEMORY_KINDS + ("floor",)
LABELS = {"indexable": "Indexable", "dict": "__dict__ class", "slots": "__slots__ class",
          "floor": "own getattro/setattro (floor)"}
SHAPES = {
    "benchmark": "the benchmark's objects (4 scalars, a new list of 3 tags, an owner shared by 10)",
    "scalars": "4 scalar attributes",
    "empty": "no attributes",
}


class DictOwner:
    def __init__(self, country):
        self.country = country


class DictRecord:
    """A plain class: its attributes live in the instance ``__dict__``."""

    def __init__(self, age, score, city, active, tags=None, owner=None):
        self.age = age
        self.score = score
        self.city = city
        self.active = active
        if tags is not None:
            self.tags = tags
            self.owner = owner


class SlotsRecord:
    __slots__ = ("age", "score", "city", "active", "tags", "owner")
    __init__ = DictRecord.__init__


class DictEmpty:
    pass


class SlotsEmpty:
    __slots__ = ()


def classes(kind, shape="benchmark"):
    """(record class, owner class) of ``kind``."""
    if kind == "indexable":
        from Veldrake import Indexable

        return Indexable, Indexable
    if kind == "floor":
        from floor_types import FloorRecord

        return FloorRecord, datagen.Owner
    if kind == "dict":
        return (DictEmpty if shape == "empty" else DictRecord), DictOwner
    return (SlotsEmpty if shape == "empty" else SlotsRecord), datagen.Owner


def attribute_sets(cols, shape):
    """The keyword arguments of each object with scalars only, built before any object is made."""
    if shape == "empty":
        return [{} for _ in range(cols.n)]
    return [dict(age=a, score=s, city=c, active=act)
            for a, s, c, act in zip(cols.age, cols.score, cols.city, cols.active)]


def make_objects(cols, shape, record_cls, owner_cls, rows):
    """The objects; the benchmark's shape makes its tag lists and owners here, as a program
    making these records would, so that their memory counts."""
    if shape != "benchmark":
        return [record_cls(**row) for row in rows]
    owners = [owner_cls(country=c) for c in cols.owner_country]
    return [record_cls(**row, tags=list(tags), owner=owners[w])
            for row, tags, w in zip(rows, cols.tags, cols.owner)]


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _memory_child(kind, shape, n):
    record_cls, owner_cls = classes(kind, shape)
    cols = datagen.make_columns(n)
    rows = attribute_sets(cols, shape)
    gc.collect()
    gc.disable()
    before = _rss_bytes()
    objs = make_objects(cols, shape, record_cls, owner_cls, rows)
    after = _rss_bytes()
    # The list holding the objects is not the objects' cost.
    print(json.dumps({"bytes_per_object": (after - before - sys.getsizeof(objs)) / len(objs)}))


def memory_per_object(kind, shape, n=COUNT, timeout=300):
    """Bytes per object of ``kind`` and ``shape``, measured in a fresh interpreter."""
    cmd = [sys.executable, os.path.abspath(__file__), "--memory-child", kind, shape, str(n)]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    if done.returncode != 0:
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])["bytes_per_object"]


# The timed statements, with the operations each call makes.
STATEMENTS = {
    "create": ("Cls(age=1, score=2.0, city=A, active=True, tags=T, owner=W)", 1),
    "read": ("o.city", 1),
    "write": ("o.city = B\no.city = A", 2),
}


def statement_namespace(kind, cols):
    """The globals of the statements: the class, a record ``o`` and the values they use."""
    record_cls, owner_cls = classes(kind)
    ns = {"Cls": record_cls, "W": owner_cls(country=cols.owner_country[0]), "T": list(cols.tags[0]),
          "A": cols.city[0], "B": cols.city[1]}
    ns["o"] = record_cls(age=1, score=2.0, city=ns["A"], active=True, tags=ns["T"], owner=ns["W"])
    return ns


def time_costs(kind, budget):
    """Seconds per creation, read and write (in no index, and for ``Indexable`` in one index)."""
    cols = datagen.make_columns(1000)
    ns = statement_namespace(kind, cols)
    costs = {op: timing.time_statement(stmt, ns, budget, ops_per_call=ops)
             for op, (stmt, ops) in STATEMENTS.items()}
    o = ns["o"]
    if (o.age, o.score, o.city, o.active, o.tags, o.owner) != (1, 2.0, ns["A"], True, ns["T"],
                                                               ns["W"]):
        raise RuntimeError(f"{LABELS[kind]}: the timed object does not hold what it was given")
    if kind == "indexable":
        from Veldrake import Index

        index = Index()
        index.add_object_many(datagen.make_indexables(cols))
        index.add_object(ns["o"])
        stmt, ops = STATEMENTS["write"]
        costs["write_indexed"] = timing.time_statement(stmt, ns, budget, ops_per_call=ops)
        index.clear()
    return {k: t.median for k, t in costs.items()}


def _loop_child(kind, op, calls):
    """Runs ``op``'s statement ``calls`` times, as timeit runs it (``pass`` for the bare loop)."""
    ns = statement_namespace(kind, datagen.make_columns(10))
    stmt = STATEMENTS[op][0] if op in STATEMENTS else "pass"
    timer = timeit.Timer(stmt, globals=ns)
    timer.timeit(1000)  # past the interpreter's specialisation of the loop
    timer.timeit(calls)


def instructions(kind, op, calls=(20_000, 120_000)):
    """Instructions per call of ``op``'s statement under callgrind (the difference between two
    loop lengths, so start-up and warm-up cancel out), or None without valgrind."""
    counts = []
    for n in calls:
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
               os.path.abspath(__file__), "--loop-child", kind, op, str(n)]
        try:
            # A fixed hash seed: dict probes, and so the counts, repeat from run to run.
            done = subprocess.run(cmd, capture_output=True, text=True, timeout=600,
                                  env={**os.environ, "PYTHONHASHSEED": "0"})
        except (OSError, subprocess.TimeoutExpired):
            return None
        found = re.search(r"Collected : (\d+)", done.stderr)
        if done.returncode != 0 or not found:
            return None
        counts.append(int(found.group(1)))
    return (counts[1] - counts[0]) / (calls[1] - calls[0])


def instruction_table(say=print):
    """Instructions per operation of every kind, the bare timeit loop taken off. Not part of
    ``make bench``: it needs valgrind and a few minutes."""
    for kind in KINDS:
        loop = instructions(kind, "loop")
        counts = {op: instructions(kind, op) for op in STATEMENTS} if loop is not None else {}
        if loop is None or None in counts.values():
            say(f"{LABELS[kind]}: not measured (valgrind, or the class, missing)")
            continue
        say(f"{LABELS[kind]}: " + ", ".join(
            f"{op} {(counts[op] - loop) / STATEMENTS[op][1]:,.0f}" for op in STATEMENTS)
            + f" (the loop: {loop:,.0f} per call)")


def measure(budget=0.3, memory=True, say=print):
    """Every cost of every kind: {"memory": {shape: {kind: bytes}}, "time": {kind: {...}}}."""
    result = {"count": COUNT, "memory": {}, "time": {}}
    if memory:
        for shape in SHAPES:
            result["memory"][shape] = {k: memory_per_object(k, shape) for k in MEMORY_KINDS}
            say(f"    memory, {shape}: " + ", ".join(
                f"{LABELS[k]} {v:,.0f} B" if v is not None else f"{LABELS[k]} failed"
                for k, v in result["memory"][shape].items()))
    for kind in KINDS:
        try:
            result["time"][kind] = time_costs(kind, budget)
        except ModuleNotFoundError as e:
            if kind != "floor":  # the floor alone is built only with the benchmarks
                raise
            say(f"    {LABELS[kind]}: not measured ({e})")
            continue
        say(f"    {LABELS[kind]}: " + ", ".join(
            f"{k} {v * 1e9:,.0f} ns" for k, v in result["time"][kind].items()))
    return result


if __name__ == "__main__":
    if sys.argv[1:2] == ["--memory-child"]:
        _memory_child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif sys.argv[1:2] == ["--loop-child"]:
        _loop_child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif sys.argv[1:2] == ["--instructions"]:
        instruction_table()
    else:
        print(json.dumps(measure(), indent=1))
