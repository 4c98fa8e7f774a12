#!/usr/bin/env python3
"""Fuzzes Veldrake: input bytes choose the operations of tests/model/driver.py, each answer
checked by its model.

    fuzz_operations.py [libFuzzer flags] [corpus dirs]   coverage-guided, with atheris
    fuzz_operations.py --plain [--seconds N] [--seed S]  random inputs, no atheris needed
    fuzz_operations.py --replay FILE...                  runs saved inputs, printing each failure

With atheris, the driver and the model are instrumented for Python coverage; a module built
with `-fsanitize=fuzzer-no-link` (clang) adds the coverage of the C++ code (`make fuzz` does).
A wrong answer raises an AssertionError naming the operation that went wrong; the input is
saved (crash-*) and `--replay` runs it again.
"""

import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "model"))


def option(argv, name, default):
    return argv[argv.index(name) + 1] if name in argv else default


def plain_loop(argv):
    """Random inputs for a bounded time: the harness without atheris."""
    import driver

    seconds = float(option(argv, "--seconds", os.environ.get("FUZZ_SECONDS", "60")))
    seed = int(option(argv, "--seed", "1"))
    rng, start, runs = random.Random(seed), time.monotonic(), 0
    while time.monotonic() - start < seconds:
        data = rng.randbytes(rng.randrange(8, 400))
        try:
            driver.run_bytes(data)
        except AssertionError:
            with open(f"crash-plain-{seed}-{runs}", "wb") as out:
                out.write(data)
            print(f"wrong answer; input saved as crash-plain-{seed}-{runs}", file=sys.stderr)
            raise
        runs += 1
    elapsed = time.monotonic() - start
    print(f"Done {runs} runs in {elapsed:.0f} second(s), seed {seed}")


def replay(paths):
    import driver

    failed = 0
    for path in paths:
        with open(path, "rb") as f:
            try:
                driver.run_bytes(f.read())
                print(f"=== {path}: passes")
            except driver.Mismatch as error:
                print(f"=== {path}: {error}")
                failed += 1
    return 1 if failed else 0


def expose_libfuzzer():
    """Makes the symbols of the libFuzzer that atheris loaded visible to later libraries: a module
    built with -fsanitize=fuzzer-no-link calls coverage hooks defined there."""
    import ctypes

    with open("/proc/self/maps") as maps:
        for line in maps:
            if "core_with_libfuzzer" in line.split()[-1]:
                ctypes.CDLL(line.split()[-1], mode=os.RTLD_GLOBAL | os.RTLD_NOLOAD | os.RTLD_NOW)
                return


def main():
    argv = list(sys.argv)
    if "--replay" in argv:
        sys.exit(replay(argv[argv.index("--replay") + 1:]))
    try:
        if "--plain" in argv:
            raise ImportError
        import atheris
    except ImportError:
        return plain_loop(argv)
    run = []

    def one_input(data):
        if not run:  # libFuzzer is loaded by Fuzz(): the module may be imported only now
            expose_libfuzzer()
            with atheris.instrument_imports(include=["driver", "reference_model"]):
                import driver
            run.append(driver.run_bytes)
        run[0](data)

    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
