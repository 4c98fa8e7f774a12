"""Running out of memory: the call that ran out raises MemoryError, every index answers correctly
afterwards, and the collector keeps working. A fresh interpreter runs it under an address-space
limit, so that a crash fails the test."""

import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    sys.platform != "linux" or sys.implementation.name != "cpython",
    reason="needs RLIMIT_AS and /proc/self/status; PyPy's collector reserves memory up front",
)


def test_add_under_an_address_space_limit():
    code = textwrap.dedent("""
        import gc, resource
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
        for margin in [1, 3, 10, 25, 40]:
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
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-3000:]}"
    assert "MemoryError" in done.stdout
