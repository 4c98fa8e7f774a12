"""Indexable objects on their own: storing, reading, listing and refusing attributes."""

import gc
import inspect

import pytest

from Veldrake import Indexable


class Person(Indexable):
    species = "human"

    def greet(self):
        return "hello"


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
    o.v = items
    assert o.v is items
    o.v = other
    assert o.v is other


def test_an_int_beyond_64_bits_is_refused_and_the_old_value_kept():
    o = Indexable(x=1)
    for bad in [2**63, -(2**63) - 1, [1, 2**64], "\ud800"]:
        with pytest.raises(BaseException, match="^type checked") as caught:
            o.x = bad
        assert not isinstance(caught.value, Exception)
        assert o.x == 1
    with pytest.raises(BaseException, match="^type checked"):
        Indexable(x=2**64)


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
    with pytest.raises(AttributeError) as caught:
        o.name
    assert caught.value.args == ("name",)
    assert getattr(o, "name", 7) == 7
    with pytest.raises(AttributeError) as caught:
        getattr(o, "\ud800")
    assert caught.value.args == ("\ud800",)


def test_attribute_names_must_be_text():
    o = Indexable()
    # The builtins setattr and getattr check names themselves; the slots are reached directly.
    with pytest.raises(TypeError, match="^argument 'name': "):
        o.__setattr__(1, 2)
    with pytest.raises(TypeError, match="^argument 'name': "):
        o.__getattribute__(1)


def test_dir_lists_stored_names_first_in_insertion_order():
    o = Indexable(b=1, a=2)
    o.c = 3
    names = o.__dir__()
    assert names[:3] == ["b", "a", "c"]
    assert "__repr__" in names[3:]
    assert {"a", "b", "c", "__repr__"} <= set(dir(o))


def test_subclasses_keep_methods_and_class_attributes_but_stored_ones_win():
    p = Person(name="ann")
    assert (p.name, p.greet(), p.species) == ("ann", "hello", "human")
    p.species = "robot"
    assert p.species == "robot" and Person.species == "human"
    p.greet = 5
    assert p.greet == 5
    assert repr(p) == "<Indexable with 3 attributes>"
    assert "name" in dir(p)


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
