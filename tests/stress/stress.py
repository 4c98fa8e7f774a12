"""Many threads on shared indexes at once, then every index checked against a recomputation.

Threads mix adds, attribute writes of every value kind (numbers with NaN and infinities, text,
bools, None, bytes, nested lists, tuples and sets, Indexable values, objects holding each other),
expression and keyword queries, views, group_by, rebase, reduce and union_with, and leave cycles
through objects, indexes and views to the collector, which some of them run. The run is split
into phases; between phases every thread has stopped, and each index, kept view and rebased copy
is compared with what tests/python/reference_model.py computes from the objects' current
attributes. A watchdog dumps every thread's stack and fails the run if a phase hangs.

    PYTHONPATH=build/dev python tests/stress/stress.py --threads 6 --seconds 90
"""

import argparse
import faulthandler
import gc
import math
import os
import random
import resource
import sys
import tempfile
import threading
import time
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from Veldrake import Index, Indexable, PyQueryExpr as Q  # noqa: E402

from reference_model import evaluate, grouped, keyword_select, path_leaves, to_query  # noqa: E402

NAN = float("nan")
INF = float("inf")
SCALARS = [0, 1, 2, -1, 7, 0.0, 1.0, 2.5, -0.0, 1e300, INF, -INF, NAN, 2**53, 2**53 + 1,
           2.0**53, 2**63 - 1, -(2**63), "a", "b", "", "é", "long text " * 4, True, False, None,
           b"x", frozenset({1})]
NUMBERS = [0, 1, 2.5, -1, 7, 2**53, 2.0**53, 1e300, INF, -INF, NAN, -(2**63)]
HOLDER_ATTRS = ["name", "size", "tags", "flag", "misc"]
PATHS = HOLDER_ATTRS + ["owner", "owner.country", "owner.rank", "owner.boss.country", "peer",
                        "peer.name", "missing"]
GROUP_PATHS = ["name", "size", "tags", "owner.country", "owner.boss.country", "peer", "peer.name"]
PANIC = "PanicException"


class Failure(Exception):
    pass


def ids(objs):
    return sorted(map(id, objs))


class World:
    def __init__(self, rng, objects, owners):
        self.lock = threading.Lock()
        self.owners = []
        for i in range(owners):
            owner = Indexable(country=rng.choice(["fr", "de", "es"]), rank=i % 4)
            owner.boss = self.owners[rng.randrange(i)] if i else None  # bosses come earlier
            self.owners.append(owner)
        self.holders = [self.new_holder(rng, i) for i in range(objects)]
        for i, holder in enumerate(self.holders):
            holder.peer = self.holders[i ^ 1] if i ^ 1 < objects else None
        # Indexes all threads add to: members are known exactly (adds are recorded).
        self.shared = [Index() for _ in range(3)]
        self.members = [dict() for _ in self.shared]  # id -> object, after the add returned
        self.adding = [dict() for _ in self.shared]  # id -> object, before the add started
        # Ids a union with another shared index may or may not have brought in: objects being
        # added to that index while the union ran.
        self.uncertain = [set() for _ in self.shared]
        # Reduced by threads at any time: only its members and the subset rule are checked.
        self.reduced = Index()
        self.reduced_members = {}
        # Fixed from the start; merged into the shared indexes with union_with.
        self.fixed = Index()
        self.fixed_members = rng.sample(self.holders, objects // 5)
        self.fixed.add_object_many(self.fixed_members)
        for holder in self.holders[: objects // 2]:
            self.shared[0].add_object(holder)
            self.members[0][id(holder)] = self.adding[0][id(holder)] = holder
        self.kept = []  # (view or rebased copy, its objects) to check at the end of the phase

    def new_holder(self, rng, i):
        return Indexable(name=rng.choice(["a", "b", "c"]), size=i % 9, tags=["t", i % 4],
                         flag=i % 2 == 0, owner=rng.choice(self.owners))

    def value(self, rng, attr, target):
        """A random value for `attr` of `target`."""
        if attr == "peer":
            # Within a group of four: objects hold each other in short cycles (long chains of
            # holders make each registration walk the whole chain).
            group = next(i for i, o in enumerate(self.holders) if o is target) // 4 * 4
            choice = rng.choice(self.holders[group:group + 4])
            return None if choice is target or rng.random() < 0.1 else choice
        if attr == "boss":
            position = next(i for i, o in enumerate(self.owners) if o is target)
            return self.owners[rng.randrange(position)] if position and rng.random() < 0.8 else None
        if attr == "owner":
            kind = rng.randrange(5)
            if kind == 0:
                return [rng.choice(self.owners), [rng.choice(self.owners)]]
            if kind == 1:
                return rng.choice(SCALARS)
            return rng.choice(self.owners)
        kind = rng.randrange(10)
        if kind < 5:
            return rng.choice(SCALARS)
        if kind == 5:
            return [rng.choice(SCALARS), [rng.choice(SCALARS), (rng.choice(SCALARS),)]]
        if kind == 6:
            return {rng.choice(["a", "b", 1, 2.5, None]), rng.choice(["a", 3])}
        if kind == 7:
            return (rng.choice(SCALARS), {"k": rng.choice(SCALARS)}, [])
        if kind == 8 and attr == "misc":
            return [rng.choice(self.owners), "m"]
        return rng.choice(SCALARS)

    def operand(self, rng):
        kind = rng.randrange(10)
        if kind == 0:
            return rng.choice(self.owners)
        if kind == 1:
            return rng.choice(self.holders)
        if kind == 2:
            return [1]
        return rng.choice(SCALARS)

    def tree(self, rng, depth=0):
        """A random expression tree in reference_model's form, with operands that never fail."""
        kind = rng.randrange(10 if depth < 2 else 7)
        path = rng.choice(PATHS)
        if kind < 3:
            return (rng.choice(["eq", "ne"]), path, self.operand(rng))
        if kind < 5:
            return (rng.choice(["gt", "ge", "lt", "le"]), path,
                    rng.choice(NUMBERS + ["a", None, True]))
        if kind == 5:
            return ("bt", path, rng.choice(NUMBERS), rng.choice(NUMBERS))
        if kind == 6:
            return ("in", path, [self.operand(rng) for _ in range(rng.randrange(4))])
        if kind == 7:
            return ("not", self.tree(rng, depth + 1))
        return (rng.choice(["and", "or"]), [self.tree(rng, depth + 1)
                                            for _ in range(rng.randrange(4))])

    def keywords(self, rng):
        kw = {}
        for _ in range(rng.randrange(1, 3)):
            attr = rng.choice(HOLDER_ATTRS + ["owner", "peer", "missing"])
            if rng.random() < 0.3:
                kw[attr] = [self.operand(rng) for _ in range(rng.randrange(4))]
            else:
                kw[attr] = self.operand(rng)
        return kw


def check_subset(found, allowed, what):
    seen = set()
    for obj in found:
        if id(obj) in seen:
            raise Failure(f"{what}: an object appears twice")
        seen.add(id(obj))
        if id(obj) not in allowed:
            raise Failure(f"{what}: answered an object that is not a member")


class Worker:
    def __init__(self, world, seed, deadline, counts, errors):
        self.world = world
        self.rng = random.Random(seed)
        self.deadline = deadline
        self.counts = counts
        self.errors = errors

    def run(self):
        ops = [(self.write, 30), (self.add, 6), (self.query, 20), (self.keyword, 10),
               (self.view, 8), (self.group, 6), (self.rebase, 3), (self.reduce, 2),
               (self.union, 2), (self.bad_query, 1), (self.scratch, 2), (self.cycles, 2)]
        names = [op for op, _ in ops]
        weights = [w for _, w in ops]
        try:
            while time.monotonic() < self.deadline and not self.errors:
                op = self.rng.choices(names, weights)[0]
                op()
                self.counts[op.__name__] += 1
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            self.errors.append(error)

    def index(self):
        i = self.rng.randrange(len(self.world.shared))
        return i, self.world.shared[i]

    def allowed(self, i):
        return self.world.adding[i]

    def write(self):
        w, rng = self.world, self.rng
        if rng.random() < 0.2:
            target = rng.choice(w.owners)
            attr = rng.choice(["country", "rank", "country", "boss"])
        else:
            target = rng.choice(w.holders)
            attr = rng.choice(HOLDER_ATTRS + ["owner", "peer"])
        setattr(target, attr, w.value(rng, attr, target))

    def add(self):
        w, rng = self.world, self.rng
        if rng.random() < 0.2:
            objs = rng.sample(w.holders, rng.randrange(1, 8))
            with w.lock:
                for obj in objs:
                    w.reduced_members[id(obj)] = obj
            w.reduced.add_object_many(objs)
            return
        i, index = self.index()
        objs = rng.sample(w.holders, rng.randrange(1, 6))
        with w.lock:
            for obj in objs:
                w.adding[i][id(obj)] = obj
        if len(objs) == 1:
            index.add_object(objs[0])
        else:
            index.add_object_many(objs)
        with w.lock:
            for obj in objs:
                w.members[i][id(obj)] = obj

    def query(self):
        i, index = self.index()
        tree = self.world.tree(self.rng)
        check_subset(index.reduced_query(to_query(tree)).collect(), self.allowed(i), "query")

    def keyword(self):
        i, index = self.index()
        check_subset(index.get_by_attribute(**self.world.keywords(self.rng)), self.allowed(i),
                     "get_by_attribute")

    def view(self):
        i, index = self.index()
        rng = self.rng
        view = (index.reduced(**self.world.keywords(rng)) if rng.random() < 0.4
                else index.reduced_query(to_query(self.world.tree(rng))))
        inside = view.collect()
        check_subset(inside, self.allowed(i), "view")
        narrowed = view.reduced_query(to_query(self.world.tree(rng))).collect()
        check_subset(narrowed, {id(o): o for o in inside}, "view of a view")
        if rng.random() < 0.1:
            with self.world.lock:
                self.world.kept.append((view, inside))

    def group(self):
        i, index = self.index()
        path = self.rng.choice(GROUP_PATHS)
        for key, view in index.group_by(path).items():
            check_subset(view.collect(), self.allowed(i), f"group_by({path!r})")

    def rebase(self):
        i, index = self.index()
        view = index.reduced_query(to_query(self.world.tree(self.rng)))
        inside = view.collect()
        copy = view.rebase()
        check_subset(copy.collect(), {id(o): o for o in inside}, "rebase")
        if self.rng.random() < 0.3:
            with self.world.lock:
                self.world.kept.append((copy, inside))

    def reduce(self):
        w, rng = self.world, self.rng
        if rng.random() < 0.5:
            w.reduced.reduce(**w.keywords(rng))
        else:
            i, index = self.index()
            copy = index.reduced(**w.keywords(rng)).rebase()
            copy.reduce(**w.keywords(rng))
            check_subset(copy.get_by_attribute(**w.keywords(rng)), self.allowed(i), "reduce")
        check_subset(w.reduced.get_by_attribute(**w.keywords(rng)), w.reduced_members, "reduced")

    def union(self):
        w, rng = self.world, self.rng
        i, index = self.index()
        with w.lock:
            for obj in w.fixed_members:
                w.adding[i][id(obj)] = obj
        source = w.fixed if rng.random() < 0.7 else w.shared[(i + 1) % len(w.shared)]
        if source is w.fixed:
            index.union_with(source)
            with w.lock:
                for obj in w.fixed_members:
                    w.members[i][id(obj)] = obj
        else:
            # Members of another shared index: only those added before the call are known.
            j = (i + 1) % len(w.shared)
            with w.lock:
                known = dict(w.members[j])
                w.adding[i].update(w.adding[j])
            index.union_with(source)
            with w.lock:
                w.members[i].update(known)
                # Objects added to the source meanwhile may or may not have come along.
                w.adding[i].update(w.adding[j])
                w.uncertain[i].update(set(w.adding[j]) - set(known))

    def bad_query(self):
        i, index = self.index()
        rng = self.rng
        expr = (Q.gt("size", rng.choice(self.world.owners)) if rng.random() < 0.5
                else Q.bt("size", rng.choice(["a", None, True]), 3))
        try:
            index.reduced_query(expr).collect()
        except BaseException as error:
            if type(error).__name__ != PANIC:
                raise

    def scratch(self):
        """Short-lived objects and indexes: ids and memory come and go under the other threads."""
        rng = self.rng
        temp = [Indexable(v=rng.choice(SCALARS), h=rng.choice(self.world.holders))
                for _ in range(rng.randrange(1, 20))]
        index = Index()
        index.add_object_many(temp)
        index.add_object(rng.choice(self.world.holders))
        for obj in temp:
            obj.v = self.world.value(rng, "misc", obj)
        index.group_by("h.name")
        index.reduced_query(Q.eq("h.size", rng.randrange(9))).rebase().collect()


    def cycles(self):
        """Cycles through attributes, indexes and views, left to the collector, which some threads
        run while others work."""
        rng = self.rng
        index = Index()
        first, second = Indexable(n=1, peer=None), Indexable(n=2)
        first.peer, second.peer = second, first
        first.home = index  # an index held by its own member
        index.add_object_many([first, second, rng.choice(self.world.holders)])
        second.view = index.reduced(n=[1, 2])
        second.items = [first, (second, [index])]
        index.group_by("peer.n")
        if rng.random() < 0.2:
            gc.collect()


def check_groups(index, members, path):
    groups = index.group_by(path)
    expected = grouped(members, path)
    classes = {}  # Python dict keys merge equal values (True and 1): one group per class
    for key, holders in expected.values():
        classes.setdefault(key, []).append(ids(holders))
    member_ids = {id(m) for m in members}
    for key, view in groups.items():
        if type(key) is float and math.isnan(key):
            for obj in view.collect():
                if id(obj) not in member_ids or not any(
                        type(v) is float and math.isnan(v) for v in path_leaves(obj, path)):
                    raise Failure(f"group_by({path!r}): a NaN group holds a wrong object")
            continue
        if key not in classes or ids(view.collect()) not in classes[key]:
            raise Failure(f"group_by({path!r}): group {key!r} differs")
    plain = [k for k in groups if not (type(k) is float and math.isnan(k))]
    if len(plain) != len(classes):
        raise Failure(f"group_by({path!r}): {len(plain)} groups, expected {len(classes)}")


def check_index(world, rng, index, members, what, sweep):
    """Compares one index (or view) with the reference model over its objects."""
    members = list(members)
    if ids(index.collect()) != ids(members):
        raise Failure(f"{what}: collect() differs from its members")
    trees = [world.tree(rng) for _ in range(30)]
    if sweep:
        values = SCALARS + [world.owners[0], world.holders[0], [1]]
        trees += [(op, path, v) for path in PATHS for op in ("eq", "ne") for v in values]
        trees += [(op, path, b) for path in PATHS for op in ("gt", "ge", "lt", "le")
                  for b in (0, 2.5, 2**53, -INF, NAN)]
        trees += [("bt", path, -1, 7) for path in PATHS]
    for tree in trees:
        found = index.reduced_query(to_query(tree)).collect()
        if ids(found) != ids(evaluate(tree, members)):
            raise Failure(f"{what}: {tree!r} differs from the recomputation")
    if hasattr(index, "get_by_attribute"):
        for _ in range(20):
            kw = world.keywords(rng)
            if ids(index.get_by_attribute(**kw)) != ids(keyword_select(members, kw)):
                raise Failure(f"{what}: get_by_attribute({kw!r}) differs")
        for path in GROUP_PATHS:
            check_groups(index, members, path)
    return len(trees)


def check_world(world, rng):
    checked = 0
    for i, index in enumerate(world.shared):
        actual = {id(o): o for o in index.collect()}
        extra = set(actual) - set(world.members[i])
        if not set(world.members[i]) <= set(actual) or not extra <= world.uncertain[i]:
            raise Failure(f"shared[{i}]: collect() differs from its members")
        world.members[i] = actual
        world.uncertain[i].clear()
        checked += check_index(world, rng, index, actual.values(), f"shared[{i}]", sweep=i == 0)
    if ids(world.reduced.collect()) != ids(world.reduced_members.values()):
        raise Failure("reduced index: collect() differs from its members")
    for thing, objs in world.kept:
        checked += check_index(world, rng, thing, objs, type(thing).__name__, sweep=False)
    # reduce, on a quiet copy: keyword retrieval keeps to what matched.
    members = list(world.members[0].values())
    copy = world.shared[0].reduced_query(Q.not_(Q.and_())).rebase()
    kw = world.keywords(rng)
    copy.reduce(**kw)
    kept = {id(o) for o in keyword_select(members, kw)}
    for _ in range(10):
        other = world.keywords(rng)
        expected = [o for o in keyword_select(members, other) if id(o) in kept]
        if ids(copy.get_by_attribute(**other)) != ids(expected):
            raise Failure(f"reduce({kw!r}) then get_by_attribute({other!r}) differs")
    world.kept = []
    return checked


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", type=int, default=6)
    parser.add_argument("--seconds", type=float, default=90, help="total time of the phases")
    parser.add_argument("--phase", type=float, default=15, help="seconds between full checks")
    parser.add_argument("--objects", type=int, default=300)
    parser.add_argument("--owners", type=int, default=12)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rng = random.Random(seed)
    print(f"stress: seed {seed}, {args.threads} threads, {args.seconds:g} s, "
          f"{args.objects} objects", flush=True)

    # union_with writes a line per merged attribute to fd 2: keep those out of the way, but let
    # the watchdog and errors reach the real standard error.
    real_stderr = os.fdopen(os.dup(2), "w", buffering=1)
    merge_log = tempfile.TemporaryFile()
    os.dup2(merge_log.fileno(), 2)

    world = World(rng, args.objects, args.owners)
    counts = Counter()
    errors = []
    started = time.monotonic()
    checked = phases = 0
    try:
        while time.monotonic() - started < args.seconds:
            length = min(args.phase, args.seconds - (time.monotonic() - started))
            faulthandler.dump_traceback_later(length + 300, exit=True, file=real_stderr)
            deadline = time.monotonic() + length
            workers = [Worker(world, rng.randrange(2**32), deadline, Counter(), errors)
                       for _ in range(args.threads)]
            threads = [threading.Thread(target=w.run) for w in workers]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            for worker in workers:
                counts.update(worker.counts)
            if errors:
                raise errors[0]
            checked += check_world(world, rng)
            faulthandler.cancel_dump_traceback_later()
            phases += 1
    except BaseException as error:
        os.dup2(real_stderr.fileno(), 2)
        print(f"stress: FAILED after {time.monotonic() - started:.0f} s (seed {seed}): "
              f"{type(error).__name__}: {error}", file=real_stderr)
        raise
    finally:
        faulthandler.cancel_dump_traceback_later()
        os.dup2(real_stderr.fileno(), 2)
    merge_log.seek(0)
    merges = merge_log.read().count(b"Merging attribute with 0x")
    minutes = (time.monotonic() - started) / 60
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    total = sum(counts.values())
    print(f"stress: {total} operations in {minutes:.2f} min over {phases} phases "
          f"({', '.join(f'{k} {v}' for k, v in sorted(counts.items()))}); "
          f"{merges} merge lines; {checked} answers checked against the recomputation; "
          f"peak RSS {peak:.0f} MiB")
    print("stress: passed")


if __name__ == "__main__":
    main()
