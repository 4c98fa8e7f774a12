"""Running code in a new interpreter, so that a crash or a hang fails a test instead of the run."""

import faulthandler
import os
import subprocess
import sys
import textwrap
import threading

HANG_DEADLINE = 120  # seconds before a hang in run_threads is reported with every thread's stack


def run_fresh(code, timeout=120, env=None, args=()):
    """Runs `code` in a new interpreter (given `args` as sys.argv[1:], with `env` added to the
    environment); returns its printed words."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True,
                          text=True, timeout=timeout, env=env and {**os.environ, **env})
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout.split()


def run_threads(targets):
    """Runs the targets together; fails with whatever any of them raised."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    faulthandler.dump_traceback_later(HANG_DEADLINE, exit=True, file=sys.stderr)
    try:
        threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert errors == []
