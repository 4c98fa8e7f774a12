#!/usr/bin/env python3
"""Fuzzes Veldrake: input bytes become programs of operations, each answer checked by a model.

The decoding and the model live in fuzz_program.py (see its docstring). Three ways to run:

    fuzz_operations.py [libFuzzer flags] [corpus dirs]   coverage-guided, with atheris
    fuzz_operations.py --plain [--seconds N] [--seed S]  random inputs, no atheris needed
    fuzz_operations.py --replay FILE...                  prints the program each input decodes to

With atheris, the harness and the model are instrumented for Python coverage; a module built
with `-fsanitize=fuzzer-no-link` (clang) adds the coverage of the C++ code (`make fuzz` does).
A wrong answer raises an AssertionError whose message holds the program as Python source:
atheris saves the input (crash-*) and `--replay` prints the program again.
"""

import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def take_option(argv, name, default=None):
    """Removes `name VALUE` from argv and returns VALUE (or `default`)."""
    if name in argv:
        at = argv.index(name)
        value = argv[at + 1]
        del argv[at:at + 2]
        return value
    return default


def plain_loop(argv):
    """Random inputs for a bounded time: the harness without atheris."""
    import fuzz_program

    seconds = float(take_option(argv, "--seconds", os.environ.get("FUZZ_SECONDS", "60")))
    seed = int(take_option(argv, "--seed", "1"))
    rng = random.Random(seed)
    start = time.monotonic()
    runs = 0
    while time.monotonic() - start < seconds:
        data = rng.randbytes(rng.randrange(8, 400))
        try:
            fuzz_program.run(data)
        except AssertionError:
            path = f"crash-plain-{seed}-{runs}"
            with open(path, "wb") as out:
                out.write(data)
            print(f"wrong answer; input saved as {path}", file=sys.stderr)
            raise
        runs += 1
    elapsed = time.monotonic() - start
    print(f"Done {runs} runs in {elapsed:.0f} second(s) ({runs / max(elapsed, 1e-9):.0f}/s), "
          f"seed {seed}")


def replay(paths):
    import fuzz_program

    failed = 0
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        print(f"=== {path}")
        text = fuzz_program.describe(data)
        print(text)
        failed += "--- program ---" in text
    return 1 if failed else 0


def expose_libfuzzer():
    """Makes the symbols of the libFuzzer that atheris loaded visible to later libraries.

    A module built with -fsanitize=fuzzer-no-link calls coverage hooks that libFuzzer defines;
    atheris loads its libFuzzer core privately, so it is opened again with RTLD_GLOBAL.
    """
    import ctypes

    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "core_with_libfuzzer" in path:
                ctypes.CDLL(path, mode=os.RTLD_GLOBAL | os.RTLD_NOLOAD | os.RTLD_NOW)
                return


def main():
    argv = list(sys.argv)
    if "--replay" in argv:
        at = argv.index("--replay")
        sys.exit(replay(argv[at + 1:]))
    if "--plain" in argv:
        argv.remove("--plain")
        plain_loop(argv)
        return
    try:
        import atheris
    except ImportError:
        print("atheris is not installed: running random inputs instead", file=sys.stderr)
        plain_loop(argv)
        return
    program = {}

    def one_input(data):
        if not program:
            # libFuzzer is loaded by Fuzz(), with global symbols: a module built with
            # -fsanitize=fuzzer-no-link finds its coverage hooks there, so it is imported now.
            expose_libfuzzer()
            with atheris.instrument_imports(include=["fuzz_program", "reference_model"]):
                import fuzz_program
            program["run"] = fuzz_program.run
        program["run"](data)

    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
