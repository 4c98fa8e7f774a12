"""The module object: its names, its function, and how failures reach Python."""

import pytest

import Veldrake


def test_module_lists_its_function_and_classes():
    names = {"sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"}
    assert names <= set(dir(Veldrake)) and Veldrake.__doc__
    assert Veldrake.sum_as_string.__text_signature__ == "(a, b)"
    assert Veldrake.sum_as_string.__doc__ == "Formats the sum of two numbers as string."


@pytest.mark.parametrize(("a", "b", "expected"), [
    (2, 3, "5"), (0, 0, "0"), (4294967295, 0, "4294967295"), (4294967295, 1, "0"),
    (4294967295, 4294967295, "4294967294"),
])
def test_sum_as_string_wraps_at_32_bits(a, b, expected):
    assert Veldrake.sum_as_string(a, b) == Veldrake.sum_as_string(b=b, a=a) == expected


@pytest.mark.parametrize(("args", "kwargs", "error", "message"), [
    ((-1, 0), {}, OverflowError, None), ((0, 4294967296), {}, OverflowError, None),
    ((2**70, 0), {}, OverflowError, None),
    (("x", 1), {}, TypeError, r"^argument 'a': "), ((1, 2.0), {}, TypeError, r"^argument 'b': "),
    ((1,), {}, TypeError, "missing required argument 'b'"),
    ((1, 2, 3), {}, TypeError, "at most 2 arguments"),
    ((), {"a": 1, "b": 2, "c": 3}, TypeError, "at most 2 keyword arguments"),
])
def test_sum_as_string_refuses_bad_arguments_in_the_interpreters_wording(args, kwargs, error,
                                                                         message):
    with pytest.raises(error, match=message):
        Veldrake.sum_as_string(*args, **kwargs)


def test_internal_errors_raise_a_base_exception_that_except_exception_misses():
    with pytest.raises(BaseException) as caught:
        try:
            Veldrake.Indexable().x = 2**63
        except Exception:  # must not catch it
            pytest.fail("caught as Exception")
    panic = type(caught.value)
    assert (panic.__name__, panic.__module__) == ("PanicException", "ext_runtime")
    assert not issubclass(panic, Exception)
    assert caught.value.args[0].startswith("type checked")


@pytest.mark.parametrize("name", ["Index", "FilteredIndex", "PyQueryExpr"])
def test_only_indexable_can_be_subclassed_and_only_the_module_makes_views_and_queries(name):
    cls = getattr(Veldrake, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name != "Index":
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            cls()
