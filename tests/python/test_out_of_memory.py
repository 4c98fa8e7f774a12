"""Running out of memory: the call that ran out raises MemoryError, every index answers correctly
afterwards, and the collector keeps working. A fresh interpreter runs it under an address-space
limit, so that a crash fails the test."""

import os
import sys

import pytest

from fresh_interpreter import run_fresh

pytestmark = pytest.mark.skipif(
    sys.platform != "linux" or sys.implementation.name != "cpython"
    or "VELDRAKE_SANITIZER" in os.environ,
    reason="needs RLIMIT_AS and /proc/self/status; PyPy's collector and the sanitizers' "
    "allocators reserve memory up front",
)


CHILD = """
        import gc, resource, sys
        from Veldrake import Index, Indexable

        def mapped():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

        def names(objs):
            return sorted(o.k for o in objs)

        check, operation = sys.argv[1:3]
        n = 2_000_000
        values = list(range(n))
        big = Indexable(v=values, k="big")
        small = Indexable(v=[n + 1], k="small")
        # Enough objects for a batch to be indexed by two threads.
        batch = [Indexable(k="filler") for _ in range(9000)] + [big]
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = set()
        for margin in map(int, sys.argv[3:]):
            gc.collect()
            index, other = Index(), Index()
            index.add_object(small)
            other.add_object(small)
            resource.setrlimit(resource.RLIMIT_AS, (mapped() + margin * 2**20, hard))
            try:
                if operation == "add":
                    index.add_object(big)
                elif operation == "add_many":
                    index.add_object_many(batch)
                else:
                    small.v = values
                outcomes.add("done")
            except MemoryError:
                outcomes.add("MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            gc.collect()
            if check == "survive":
                continue
            if operation == "write":
                # Both indexes and the object agree on one value, old or new.
                written = small.v is values
                assert written or small.v == [n + 1]
                for held in (index, other):
                    assert [names(held.get_by_attribute(v=v)) for v in (n + 1, n - 1)] == (
                        [[], ["small"]] if written else [["small"], []])
                small.v = [n + 1]
                assert [names(h.get_by_attribute(v=[5, n + 1])) for h in (index, other)] == [["small"]] * 2
                continue
            # The index holds `big` wholly or not at all, and answers either way.
            held = [k for k in names(index.collect()) if k != "filler"]
            assert held in (["small"], ["big", "small"]), held
            with_big = ["big"] if "big" in held else []
            assert [names(index.get_by_attribute(**kw)) for kw in (
                {"v": n - 1}, {"k": "big"}, {"v": [3, n + 1]})] == [with_big, with_big, sorted(with_big + ["small"])]
            big.k = "moved"  # indexed as a member's value only if the failed add left it one
            assert names(index.get_by_attribute(k="moved")) == ["moved"] * len(with_big)
            big.k = "big"
            index.add_object(big)
            assert names(index.get_by_attribute(v=n // 2)) == ["big"]
            big.k = "big"
            small.k = "small"
            del index
        print(sorted(outcomes))
    """


MARGINS_MIB = [1, 3, 10, 25, 40]
# Converting the new value of a write takes a few hundred MiB before any index sees it.
WRITE_MARGINS_MIB = [1, 250, 330, 400, 450]


def run_child(check, operation, margins):
    return " ".join(run_fresh(CHILD, timeout=300, args=[check, operation, *map(str, margins)]))


def test_add_under_an_address_space_limit_raises_memory_error_and_the_collector_survives():
    # One margin per process: only a fresh process runs out where the bitmaps' reserve is freed.
    outcomes = "".join(run_child("survive", "add", [margin]) for margin in MARGINS_MIB)
    assert "MemoryError" in outcomes


@pytest.mark.parametrize("operation", ["add", "add_many", "write"])
def test_the_indexes_answer_after_a_change_ran_out_of_memory(operation):
    margins = WRITE_MARGINS_MIB if operation == "write" else MARGINS_MIB
    assert "MemoryError" in run_child("answers", operation, margins)


def test_objects_collected_and_dropped_with_no_memory_left_leave_the_process_running():
    # Out of memory, the collector's visit of a large index used to need a list of its members,
    # and each object dropped hands its id and its memory to lists that grow as they go: each of
    # these failures ended the process from where no exception may leave.
    outcome = run_fresh("""
        import gc, resource
        from Veldrake import Index, Indexable

        def mapped():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

        index = Index()
        index.add_object_many([Indexable(k=i) for i in range(300_000)])
        loose = [Indexable(k=i) for i in range(300_000)]
        held = loose[::2]  # every other object stays, so its memory stays mapped
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + 8 * 2**20, hard))
        hog = []
        for size in (2**20, 2**16, 2**12):
            try:
                while True:
                    hog.append(bytearray(size))
            except MemoryError:
                pass
        gc.collect()
        del loose
        hog.clear()
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        fresh = [Indexable(k=i) for i in range(200_000)]
        assert len({o.k for o in fresh}) == 200_000 and all(o.k % 2 == 0 for o in held[:1000])
        assert len(index.get_by_attribute(k=5)) == 1
        print("survived")
        """, timeout=120)
    assert outcome == ["survived"]
