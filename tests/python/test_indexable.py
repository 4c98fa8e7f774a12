"""Indexable objects on their own: storing, reading, listing and refusing attributes."""

import inspect

import pytest

from Veldrake import Indexable

from reference_model import indexed


def test_constructor_keywords_become_attributes_and_read_back_as_stored():
    o = Indexable(1, 2, a=1, b="x")
    assert (o.a, o.b, repr(o)) == (1, "x", "<Indexable with 2 attributes>")
    assert repr(Indexable()) == "<Indexable with 0 attributes>"
    # Texts with one non-ASCII character before, at and after each 8-byte boundary (values of
    # every other kind read back in the driver's programs).
    for text in ["", "é" * 30, "a" * 23, *("a" * k + "é" + "b" * (k % 3) for k in (0, 6, 7, 8, 15, 21))]:
        o.v = text
        assert o.v == text and type(o.v) is str


def test_attribute_errors_and_listing():
    o = Indexable(b=1, a=2)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del o.a
    for name in ("name", "\ud800"):  # a missing attribute's error carries only the name
        with pytest.raises(AttributeError) as caught:
            getattr(o, name)
        assert caught.value.args == (name,)
    assert getattr(o, "name", 7) == 7
    o.c = 3
    names = o.__dir__()  # stored names first, in insertion order
    assert names[:3] == ["b", "a", "c"] and "__repr__" in names[3:]
    assert {"a", "b", "c", "__repr__"} <= set(dir(o))


def test_names_are_found_whichever_str_object_spells_them():
    # Ids are remembered per str object: a name missing when first read, then stored through
    # another object spelling it, must be found through the first one too.
    o, spelled = Indexable(), "".join(["late", "comer"])
    with pytest.raises(AttributeError):
        getattr(o, spelled)
    setattr(o, "latecomer", 1)
    assert getattr(o, spelled) == 1 and getattr(o, "".join(["late", "comer"])) == 1
    assert Indexable(**{spelled: 2}).latecomer == 2
    with pytest.raises(TypeError, match="attribute name must be string|not an instance of 'str'"):
        setattr(o, 5, 1)


def test_subclasses_descriptors_setattr_init_and_slots_are_honoured_and_indexed():
    # The module once asked PyType_GetSlot for the __set__ of `property` (a static type): PyPy,
    # like CPython before 3.10, refuses that, so a property's setter was bypassed.
    class Stored:
        __get__ = lambda self, obj, owner=None: "from the descriptor"  # noqa: E731
        __set__ = lambda self, obj, value: setattr(obj, "seen", value)  # noqa: E731

    class Rich(Indexable):
        species, custom, greet = "human", Stored(), lambda self: "hello"

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
    index = indexed([rich, slotted, made])
    assert (rich.greet(), rich.species, made.name, made.size) == ("hello", "human", "W", 3)
    with pytest.raises(ValueError, match="getter"):
        rich.broken
    rich.label, rich.custom, slotted.slot, made.name = "label:b", 5, 7, "x"
    rich.species, rich.greet = "robot", 5  # stored values win over class attributes and methods
    assert (rich.name, rich.label, rich.seen, rich.custom, slotted.slot) == (
        "b", "label:b", 5, "from the descriptor", 7)
    assert (rich.species, Rich.species, rich.greet) == ("robot", "human", 5)
    assert repr(rich) == "<Indexable with 4 attributes>" and "seen" in dir(rich)
    for kw, expected in [({"name": "b"}, [rich]), ({"label": "b"}, []), ({"seen": 5}, [rich]),
                         ({"species": "robot"}, [rich]), ({"name": "X"}, [made])]:
        assert index.get_by_attribute(**kw) == expected, kw
    # Constructor keywords mean the same as writes: the setter runs and the slot is filled.
    assert Rich(name="p", label="label:z").name == "z" and WithSlots(slot=3).slot == 3


def test_class_signature():
    assert Indexable.__module__ == "Veldrake"
    assert Indexable.__text_signature__ == str(inspect.signature(Indexable)) == "(*_args, **kwargs)"
