"""Many threads run the random driver's operations (tests/model/driver.py) on shared objects,
indexes and views; between phases every index and view is checked exactly against the model.
A watchdog dumps every thread's stack and fails a phase that hangs. Forks and interpreter exits
under threads are tests/python/test_threads.py's.

    PYTHONPATH=build/dev python tests/stress/stress.py --threads 6 --seconds 90
"""

import argparse
import faulthandler
import os
import random
import resource
import sys
import threading
import time
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "model"))
import driver  # noqa: E402


def worker(agent, deadline, counts, errors):
    try:
        while time.monotonic() < deadline and not errors:
            counts[agent.step()] += 1
    except BaseException as error:  # noqa: BLE001 - reported by the main thread
        errors.append(error)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name, kind, default in [("threads", int, 6), ("seconds", float, 90), ("phase", float, 15),
                                ("objects", int, 300), ("owners", int, 4), ("seed", int, None)]:
        parser.add_argument(f"--{name}", type=kind, default=default)
    args = parser.parse_args()  # phase: seconds between full checks; owners: indexes kept at once
    seed = random.randrange(2**32) if args.seed is None else args.seed
    rng = random.Random(seed)
    print(f"stress: seed {seed}, {args.threads} threads, {args.seconds:g} s, "
          f"{args.objects} objects", flush=True)
    # union_with writes a line per merged attribute to fd 2: those are dropped, while the watchdog
    # and errors reach the real standard error.
    real_stderr = os.fdopen(os.dup(2), "w", buffering=1)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)

    program = driver.Program(driver.RandomChoices(rng))
    program.max_objects, program.max_indexes, program.max_views = args.objects, args.owners, 40
    program.cyclic, program.order = True, None  # orders: too many pairs
    for _ in range(args.objects // 2):
        program.new_object()
    for _ in range(3):
        program.new_index()
    counts, errors, started = Counter(), [], time.monotonic()
    try:
        while (elapsed := time.monotonic() - started) < args.seconds:
            length = min(args.phase, args.seconds - elapsed)
            faulthandler.dump_traceback_later(length + 300, exit=True, file=real_stderr)
            deadline = time.monotonic() + length
            threads = [threading.Thread(target=worker, args=(
                program.agent(driver.RandomChoices(random.Random(rng.randrange(2**32)))),
                deadline, counts, errors)) for _ in range(args.threads)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            if errors:
                raise errors[0]
            program.sync()
            program.check_all()
            faulthandler.cancel_dump_traceback_later()
    except BaseException as error:
        print(f"stress: FAILED after {time.monotonic() - started:.0f} s (seed {seed}): "
              f"{type(error).__name__}: {error}", file=real_stderr)
        raise
    finally:
        faulthandler.cancel_dump_traceback_later()
        os.dup2(real_stderr.fileno(), 2)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"stress: passed, {sum(counts.values())} operations in {elapsed / 60:.2f} min "
          f"({', '.join(f'{k} {v}' for k, v in sorted(counts.items()))}); peak RSS {peak:.0f} MiB")


if __name__ == "__main__":
    main()
