"""Faults found by fuzzing and by the PyPy and 32-bit runs, kept as plain tests (the subclass
descriptor fault is covered in test_indexable.py).

The last test replays programs of tests/fuzz/fuzz_program.py (the fuzz harness) from fixed
seeds, so the harness and its model keep working with the module.
"""

import os
import random
import sys

import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import same

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz"))
import fuzz_program  # noqa: E402


class Node(Indexable):
    pass


def test_new_refuses_a_class_that_is_not_its_own():
    # PyPy's __new__ wrapper does not check the class: Indexable.__new__(Index) built an Index-
    # sized object as an Indexable and corrupted the heap, Index.__new__(Indexable) made an Index.
    for call in (lambda: Indexable.__new__(Index), lambda: Index.__new__(Indexable),
                 lambda: Indexable.__new__(int), lambda: Index.__new__(Node)):
        with pytest.raises(TypeError):
            call()
    made = Indexable.__new__(Node)
    made.x = 1
    objs = [Node(x=i, s="v" * 50) for i in range(2000)]
    index = Index()
    index.add_object_many(objs + [made])
    assert type(made) is Node and same(index.get_by_attribute(x=1), [objs[1], made])
    # A bytearray is a value of no known kind: grouped by identity, but no dict key.
    objs[0].v, objs[1].v = bytearray(b"z"), "a"
    with pytest.raises(TypeError, match="unhashable"):
        index.group_by("v")
    assert same(index.reduced_query(Q.eq("v", "a")).collect(), [objs[1]])


@pytest.mark.parametrize("seed", range(3))
def test_fuzz_programs_from_fixed_seeds(seed):
    rng = random.Random(seed)
    for _ in range(40):
        fuzz_program.run(rng.randbytes(rng.randrange(8, 600)))
