"""Indexable objects on their own: storing, reading, listing and refusing attributes."""

import gc
import inspect

import pytest

from Veldrake import Index, Indexable


class Person(Indexable):
    """A subclass, whose instances are freed by another path."""


def test_constructor_keywords_become_attributes():
    o = Indexable(1, 2, a=1, b="x")
    assert (o.a, o.b) == (1, "x")
    assert repr(o) == "<Indexable with 2 attributes>"
    assert repr(Indexable()) == "<Indexable with 0 attributes>"


def test_values_read_back_as_what_was_stored():
    other = Indexable()
    items = [1, [2]]
    o = Indexable()
    for value in [True, False, 1, -(2**63), 1.5, float("inf"), "", "é" * 30, None, other, items, (1,), {"k": 1}, {2}]:
        o.v = value
        back = o.v
        assert back == value and type(back) is type(value)
    for held in (items, other):
        o.v = held
        assert o.v is held


def test_numpy_scalars_are_taken_as_python_values():
    numpy = pytest.importorskip("numpy")
    o = Indexable(i=numpy.int64(5), f=numpy.float64(2.5), s=numpy.str_("t"), b=numpy.bool_(True))
    assert (o.i, o.f, o.s, o.b) == (5, 2.5, "t", True)
    assert (type(o.i), type(o.f), type(o.s), type(o.b)) == (int, float, str, bool)


def test_attributes_cannot_be_deleted():
    o = Indexable(a=1)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del o.a
    assert o.a == 1


def test_missing_attribute_error_carries_only_the_name():
    o = Indexable()
    for name in ("name", "\ud800"):
        with pytest.raises(AttributeError) as caught:
            getattr(o, name)
        assert caught.value.args == (name,)
    assert getattr(o, "name", 7) == 7


def test_dir_lists_stored_names_first_in_insertion_order():
    o = Indexable(b=1, a=2)
    o.c = 3
    names = o.__dir__()
    assert names[:3] == ["b", "a", "c"]
    assert "__repr__" in names[3:]
    assert {"a", "b", "c", "__repr__"} <= set(dir(o))


def test_subclasses_descriptors_setattr_init_and_slots_are_honoured_and_indexed():
    # The module once asked PyType_GetSlot for the __set__ of `property` (a static type): PyPy,
    # like CPython before 3.10, refuses that, so a property's setter was bypassed.
    class Stored:
        def __get__(self, obj, owner=None):
            return "from the descriptor"

        def __set__(self, obj, value):
            obj.seen = value

    class Rich(Indexable):
        species = "human"
        custom = Stored()

        def greet(self):
            return "hello"

        @property
        def label(self):
            return "label:" + self.name

        @label.setter
        def label(self, value):
            self.name = value.removeprefix("label:")

        @property
        def broken(self):
            raise ValueError("getter")

    class WithSlots(Indexable):
        __slots__ = ("slot",)

    class WithInit(Indexable):
        def __init__(self, name, *, size=0):
            self.name = name
            self.size = size

        def __setattr__(self, name, value):
            super().__setattr__(name, value.upper() if isinstance(value, str) else value)

    rich, slotted, made = Rich(name="a"), WithSlots(), WithInit("w", size=3)
    index = Index()
    index.add_object_many([rich, slotted, made])
    assert (rich.greet(), rich.species, made.name, made.size) == ("hello", "human", "W", 3)
    with pytest.raises(ValueError, match="getter"):
        rich.broken
    rich.label = "label:b"
    rich.custom = 5
    slotted.slot = 7
    made.name = "x"
    rich.species = "robot"  # stored values win over class attributes and methods
    rich.greet = 5
    assert (rich.name, rich.label, rich.seen, rich.custom, slotted.slot) == (
        "b", "label:b", 5, "from the descriptor", 7)
    assert (rich.species, Rich.species, rich.greet) == ("robot", "human", 5)
    assert repr(rich) == "<Indexable with 4 attributes>" and "seen" in dir(rich)
    for kw, expected in [({"name": "b"}, [rich]), ({"label": "b"}, []), ({"seen": 5}, [rich]),
                         ({"species": "robot"}, [rich]), ({"name": "X"}, [made])]:
        assert index.get_by_attribute(**kw) == expected, kw
    # Constructor keywords mean the same as writes: the setter runs and the slot is filled.
    assert Rich(name="p", label="label:z").name == "z"
    filled = WithSlots(slot=3)
    filled.slot = 4
    assert filled.slot == 4


def test_class_signature_and_docstring():
    assert Indexable.__module__ == "Veldrake"
    assert Indexable.__text_signature__ == "(*_args, **kwargs)"
    assert str(inspect.signature(Indexable)) == "(*_args, **kwargs)"


def test_many_objects_come_and_go():
    # Exercises the reuse of freed objects' memory, beyond what it keeps.
    for _ in range(3):
        objects = [Indexable(i=i) for i in range(2000)] + [Person(i=i) for i in range(100)]
        assert [o.i for o in objects] == list(range(2000)) + list(range(100))
        del objects
        gc.collect()
    assert Indexable(i=1).i == 1
