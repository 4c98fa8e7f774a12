"""Faults found by fuzzing and by the PyPy and 32-bit runs, kept as plain tests (the subclass
descriptor fault is covered in test_indexable.py; test_properties.py runs the fuzz driver)."""

import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import indexed, same


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
    index = indexed(objs + [made])
    assert type(made) is Node and same(index.get_by_attribute(x=1), [objs[1], made])
    # A bytearray is a value of no known kind: grouped by identity, but no dict key.
    objs[0].v, objs[1].v = bytearray(b"z"), "a"
    with pytest.raises(TypeError, match="unhashable"):
        index.group_by("v")
    assert same(index.reduced_query(Q.eq("v", "a")).collect(), [objs[1]])
