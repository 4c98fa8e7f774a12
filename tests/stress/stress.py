"""Many threads run the random driver's operations (tests/model/driver.py) on shared objects,
indexes and views; between phases every index and view is checked exactly against the model.

While the threads run, the main thread also forks (the child uses the inherited indexes and
objects, then exits), and adds batches of 8,192 objects again while the collector runs (no
reference count may move); at the end an interpreter exits while daemon threads write, add and
query (it must exit cleanly). A watchdog dumps every thread's stack and fails a phase that hangs.

    PYTHONPATH=build/dev python tests/stress/stress.py --threads 6 --seconds 90
"""

import argparse
import faulthandler
import gc
import os
import random
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "model"))
import driver  # noqa: E402
from Veldrake import Index, Indexable  # noqa: E402

BULK = 8192  # from this size on, add_object_many indexes on a helper thread
CHILD_SECONDS = 30

DAEMONS = """
import sys, threading, time
from Veldrake import Index, Indexable, PyQueryExpr as Q
index, objs = Index(), [Indexable(v=i, owner=None) for i in range(300)]
index.add_object_many(objs)
def work(k):
    i = k
    while True:
        i += 1
        objs[i % 300].v, objs[i * 7 % 300].owner = i, objs[i % 100]
        if i % 40 == 0:
            Index().add_object_many(objs * 30)
        index.reduced_query(Q.gt("owner.v", i % 300)).collect()
        index.get_by_attribute(v=i % 300)
for k in range(4):
    threading.Thread(target=work, args=(k,), daemon=True).start()
time.sleep(float(sys.argv[1]))
"""


def worker(agent, deadline, counts, errors):
    try:
        while time.monotonic() < deadline and not errors:
            counts[agent.step()] += 1
    except BaseException as error:  # noqa: BLE001 - reported by the main thread
        errors.append(error)


def fork_and_use(program):
    """Forks while the workers are inside the module; the child must use what it inherited."""
    pid = os.fork()
    if pid == 0:
        status = 0
        try:
            for state in list(program.indexes):
                state.index.add_object_many(program.objects[:4])
                for obj in state.index.collect()[:10]:
                    obj.x = "child"
                assert state.index.get_by_attribute(x="child") or not state.index.collect()
        except BaseException:  # noqa: BLE001 - the status says it
            status = 1
        os._exit(status)
    deadline = time.monotonic() + CHILD_SECONDS
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            code = os.waitstatus_to_exitcode(status)
            return None if code == 0 else f"fork: the child failed (exit status {code})"
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return f"fork: the child hung for {CHILD_SECONDS} s on the module's locks (killed)"


def bulk_add_while_collecting(rng):
    """Adds 8,192 objects an index already holds, and merges them, while the collector runs and
    another thread reads them: no object may gain or lose a reference."""
    batch = [Indexable(n=i, v=rng.choice(["a", 1, None])) for i in range(BULK)]
    index = Index()
    index.add_object_many(batch)
    before = [sys.getrefcount(o) for o in batch]
    stop = threading.Event()

    def collect():
        while not stop.is_set():
            gc.collect()

    def read():
        while not stop.is_set():
            sum(o.n for o in batch)

    helpers = [threading.Thread(target=collect), threading.Thread(target=read)]
    for thread in helpers:
        thread.start()
    index.add_object_many(batch)
    copy = Index()
    copy.union_with(index)
    copy.union_with(index)
    stop.set()
    for thread in helpers:
        thread.join()
    held = len(copy.collect()), len(index.collect())
    del copy
    gc.collect()
    drift = sum(b != a for b, a in zip(before, (sys.getrefcount(o) for o in batch)))
    if held != (BULK, BULK) or drift:
        return f"bulk add: {drift} of {BULK} reference counts moved; indexes hold {held}"
    return None


def exit_with_daemon_threads():
    """Interpreters that exit while daemon threads write, add and query must exit with status 0."""
    for wait in (0.05, 0.2, 0.5, 1.0):
        try:
            done = subprocess.run([sys.executable, "-c", DAEMONS, str(wait)], capture_output=True,
                                  timeout=60, text=True)
        except subprocess.TimeoutExpired:
            return f"exit with daemon threads: no exit within 60 s (after {wait} s of work)"
        if done.returncode != 0:
            return (f"exit with daemon threads: exit status {done.returncode} after {wait} s: "
                    f"{done.stderr.strip()[-300:]}")
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", type=int, default=6)
    parser.add_argument("--seconds", type=float, default=90, help="total time of the phases")
    parser.add_argument("--phase", type=float, default=15, help="seconds between full checks")
    parser.add_argument("--objects", type=int, default=300)
    parser.add_argument("--owners", type=int, default=4, help="indexes kept at once")
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

    program = driver.Program(driver.RandomChoices(rng), transcript=False)
    program.max_objects, program.max_indexes, program.max_views = args.objects, args.owners, 40
    program.cyclic, program.order = driver.EXACT_THROUGH_CYCLES, None  # orders: too many pairs
    for _ in range(args.objects // 2):
        program.new_object()
    for _ in range(3):
        program.new_index()
    counts, errors, faults = Counter(), [], []
    started = time.monotonic()
    phases = 0
    try:
        while time.monotonic() - started < args.seconds:
            length = min(args.phase, args.seconds - (time.monotonic() - started))
            faulthandler.dump_traceback_later(length + 300, exit=True, file=real_stderr)
            deadline = time.monotonic() + length
            threads = [threading.Thread(target=worker, args=(
                program.agent(driver.RandomChoices(random.Random(rng.randrange(2**32)))),
                deadline, counts, errors)) for _ in range(args.threads)]
            for thread in threads:
                thread.start()
            faults += [fork_and_use(program), bulk_add_while_collecting(rng)]
            for thread in threads:
                thread.join()
            if errors:
                raise errors[0]
            program.sync()
            program.check_all()
            faulthandler.cancel_dump_traceback_later()
            phases += 1
        faults.append(exit_with_daemon_threads())
    except BaseException as error:
        os.dup2(real_stderr.fileno(), 2)
        print(f"stress: FAILED after {time.monotonic() - started:.0f} s (seed {seed}): "
              f"{type(error).__name__}: {error}", file=real_stderr)
        raise
    finally:
        faulthandler.cancel_dump_traceback_later()
        os.dup2(real_stderr.fileno(), 2)
    merge_log.seek(0)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"stress: {sum(counts.values())} operations in "
          f"{(time.monotonic() - started) / 60:.2f} min over {phases} phases "
          f"({', '.join(f'{k} {v}' for k, v in sorted(counts.items()))}); "
          f"{merge_log.read().count(b'Merging attribute')} merge lines; peak RSS {peak:.0f} MiB")
    faults = [fault for fault in faults if fault]
    for fault in dict.fromkeys(faults):
        print(f"stress: FAILED: {fault}")
    if faults:
        sys.exit(1)
    print("stress: passed")


if __name__ == "__main__":
    main()
