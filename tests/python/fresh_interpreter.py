"""Running code in a new interpreter, so that a crash or a hang fails a test instead of the run."""

import os
import subprocess
import sys
import textwrap


def run_fresh(code, timeout=120, env=None):
    """Runs `code` in a new interpreter (with `env` added to the environment); returns its
    printed words."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env and {**os.environ, **env})
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout.split()
