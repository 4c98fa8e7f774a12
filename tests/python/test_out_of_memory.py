"""Running out of memory: the call that ran out raises MemoryError, every index answers correctly
afterwards, and the collector keeps working. A fresh interpreter runs it under an address-space
limit, so that a crash fails the test."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    sys.platform != "linux" or sys.implementation.name != "cpython"
    or "VELDRAKE_SANITIZER" in os.environ,
    reason="needs RLIMIT_AS and /proc/self/status; PyPy's collector and the sanitizers' "
    "allocators reserve memory up front",
)


CHILD = textwrap.dedent("""
        import gc, resource, sys
        from Veldrake import Index, Indexable

        def mapped():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

        def names(objs):
            return sorted(o.k for o in objs)

        n = 2_000_000
        big = Indexable(v=list(range(n)), k="big")
        small = Indexable(v=[n + 1], k="small")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = set()
        for margin in map(int, sys.argv[2:]):
            gc.collect()
            index = Index()
            index.add_object(small)
            resource.setrlimit(resource.RLIMIT_AS, (mapped() + margin * 2**20, hard))
            try:
                index.add_object(big)
                outcomes.add("added")
            except MemoryError:
                outcomes.add("MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            gc.collect()
            if sys.argv[1] == "survive":
                continue
            # The index holds `big` wholly or not at all, and answers either way.
            held = names(index.collect())
            assert held in (["small"], ["big", "small"]), held
            with_big = ["big"] if "big" in held else []
            assert names(index.get_by_attribute(v=n - 1)) == with_big
            assert names(index.get_by_attribute(v=[3, n + 1])) == sorted(with_big + ["small"])
            assert names(index.get_by_attribute(k="big")) == with_big
            index.add_object(big)
            assert names(index.get_by_attribute(v=n // 2)) == ["big"]
            big.k = "big"
            del index
        print(sorted(outcomes))
    """)


MARGINS_MIB = [1, 3, 10, 25, 40]


def run_child(check, margins):
    done = subprocess.run([sys.executable, "-c", CHILD, check, *map(str, margins)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    return done.stdout


def test_add_under_an_address_space_limit_raises_memory_error_and_the_collector_survives():
    outcomes = "".join(run_child("survive", [margin]) for margin in MARGINS_MIB)
    assert "MemoryError" in outcomes


def test_the_index_answers_after_an_add_ran_out_of_memory():
    assert "MemoryError" in run_child("answers", MARGINS_MIB)
