"""Expression queries answered through Index.reduced_query(...).collect()."""

import enum
import math

import pytest
from Veldrake import Index, Indexable, PyQueryExpr as Q

from reference_model import between, equals, evaluate, ordered, same, select, to_query

INF = float("inf")
NAN = float("nan")
ORDER_OPS = ("gt", "ge", "lt", "le")


def make(label, **attrs):
    """A member with a unique label, so that results can be compared as readable sets."""
    return Indexable(label=label, **attrs)


def indexed(*objs):
    index = Index()
    index.add_object_many(list(objs))
    return index


def found(index, expr):
    """The labels of what `expr` selects; a result holds each object once."""
    result = index.reduced_query(expr).collect()
    labels = [getattr(obj, "label", "<unlabelled>") for obj in result]
    assert len(labels) == len(set(labels)), labels
    return set(labels)


def labels(objs):
    return {obj.label for obj in objs}


def panics(call):
    """Runs `call`, which must raise the module's internal-error exception; returns its class."""
    with pytest.raises(BaseException) as info:
        call()
    kind = type(info.value)
    assert kind.__name__ == "PanicException"
    assert kind.__module__ == "ext_runtime"
    assert not isinstance(info.value, Exception)
    return kind


def test_numeric_equality_spans_ints_and_floats():
    objs = [
        make("i30", x=30), make("f30", x=30.0), make("list30", x=["a", 30.0]),
        make("i31", x=31), make("f30.5", x=30.5), make("s30", x="30"), make("bare"),
        make("i0", x=0), make("f0", x=0.0), make("negzero", x=-0.0), make("i-1", x=-1),
    ]
    index = indexed(*objs)
    for value in (30, 30.0):
        assert found(index, Q.eq("x", value)) == {"i30", "f30", "list30"}
    assert found(index, Q.eq("x", 30.5)) == {"f30.5"}
    assert found(index, Q.eq("x", 30.25)) == set()
    for zero in (0, 0.0, -0.0):
        assert found(index, Q.eq("x", zero)) == {"i0", "f0", "negzero"}
    assert found(index, Q.eq("x", -1.0)) == {"i-1"}
    assert found(index, Q.eq("x", "30")) == {"s30"}
    assert found(index, Q.in_("x", [30.0, 31])) == {"i30", "f30", "list30", "i31"}


def test_order_operators_respect_inclusive_and_exclusive_ends():
    objs = [
        make("m5", x=-5), make("zero", x=0), make("one", x=1), make("1.5", x=1.5),
        make("two", x=2), make("two.0", x=2.0), make("three", x=3), make("ten", x=10),
        make("str2", x="2"), make("none", x=None), make("bare"), make("list", x=[0, 10]),
    ]
    index = indexed(*objs)
    assert found(index, Q.gt("x", 1)) == {"1.5", "two", "two.0", "three", "ten", "list"}
    assert found(index, Q.ge("x", 1)) == {"one", "1.5", "two", "two.0", "three", "ten", "list"}
    assert found(index, Q.lt("x", 2)) == {"m5", "zero", "one", "1.5", "list"}
    assert found(index, Q.le("x", 2)) == {"m5", "zero", "one", "1.5", "two", "two.0", "list"}
    assert found(index, Q.gt("x", 1.5)) == {"two", "two.0", "three", "ten", "list"}
    assert found(index, Q.lt("x", -5)) == set()
    assert found(index, Q.le("x", -5.0)) == {"m5"}
    assert found(index, Q.gt("x", 10)) == set()
    for bounds in [(1, 2), (1.0, 2.0), (0.5, 2)]:
        assert found(index, Q.bt("x", *bounds)) == {"one", "1.5", "two", "two.0"}
    assert found(index, Q.bt("x", 1.5, 1.5)) == {"1.5"}
    assert found(index, Q.bt("x", 2, 2)) == {"two", "two.0"}
    assert found(index, Q.bt("x", -5, -5)) == {"m5"}
    assert found(index, Q.bt("x", 2, 1)) == set()
    assert found(index, Q.bt("x", 10, 3)) == set()
    assert found(index, Q.bt("x", 11, 20)) == set()
    bounds = [-6, -5, -0.5, 0, 0.5, 1, 1.5, 2, 2.0, 2.5, 3, 9.99, 10, 11]
    for bound in bounds:
        for op in ORDER_OPS:
            expected = select(objs, "x", ordered(op, bound))
            assert found(index, getattr(Q, op)("x", bound)) == labels(expected), (op, bound)
        for upper in bounds:
            expected = select(objs, "x", between(bound, upper))
            assert found(index, Q.bt("x", bound, upper)) == labels(expected), (bound, upper)


def test_ints_beyond_float_precision_stay_exact():
    big = 2**53
    objs = [make("int", x=big), make("int+1", x=big + 1), make("float", x=float(big)),
            make("int-1", x=big - 1), make("int+2", x=big + 2)]
    index = indexed(*objs)
    assert found(index, Q.eq("x", big + 1)) == {"int+1"}
    assert found(index, Q.eq("x", float(big))) == {"int", "float"}
    assert found(index, Q.eq("x", big)) == {"int", "float"}
    assert found(index, Q.in_("x", [big + 1])) == {"int+1"}
    assert found(index, Q.gt("x", float(big))) == {"int+1", "int+2"}
    assert found(index, Q.ge("x", big + 1)) == {"int+1", "int+2"}
    assert found(index, Q.lt("x", big + 1)) == {"int", "float", "int-1"}
    assert found(index, Q.le("x", float(big))) == {"int", "float", "int-1"}
    assert found(index, Q.bt("x", big + 1, big + 1)) == {"int+1"}
    assert found(index, Q.bt("x", float(big), float(big))) == {"int", "float"}
    assert found(index, Q.ne("x", big + 1)) == {"int", "float", "int-1", "int+2"}


def test_ints_near_the_64_bit_limits_order_exactly_against_floats():
    top, bottom = 2**63 - 1, -(2**63)
    objs = [
        make("max", x=top), make("max-1", x=top - 1), make("min", x=bottom),
        make("min+1", x=bottom + 1), make("f2^63", x=2.0**63), make("-f2^63", x=-(2.0**63)),
        make("below2^63", x=2.0**63 - 1024), make("huge", x=1e300), make("-huge", x=-1e300),
    ]
    index = indexed(*objs)
    assert found(index, Q.eq("x", top)) == {"max"}
    assert found(index, Q.eq("x", 2.0**63)) == {"f2^63"}
    assert found(index, Q.eq("x", bottom)) == {"min", "-f2^63"}
    assert found(index, Q.eq("x", -(2.0**63))) == {"min", "-f2^63"}
    assert found(index, Q.eq("x", 2**63 - 1024)) == {"below2^63"}
    assert found(index, Q.gt("x", top - 1)) == {"max", "f2^63", "huge"}
    assert found(index, Q.ge("x", 2.0**63)) == {"f2^63", "huge"}
    assert found(index, Q.lt("x", bottom + 1)) == {"min", "-f2^63", "-huge"}
    assert found(index, Q.bt("x", top, 2.0**63)) == {"max", "f2^63"}
    bounds = [top, top - 1, bottom, bottom + 1, 2.0**63, -(2.0**63), 2.0**63 - 1024,
              2**63 - 1024, 2**63 - 1025, 1e300, -1e300, 0]
    for bound in bounds:
        for op in ORDER_OPS:
            expected = select(objs, "x", ordered(op, bound))
            assert found(index, getattr(Q, op)("x", bound)) == labels(expected), (op, bound)
        assert found(index, Q.eq("x", bound)) == labels(select(objs, "x", equals(bound))), bound


def test_infinities_order_as_numbers():
    objs = [make("-inf", x=-INF), make("-max", x=-1.7e308), make("zero", x=0),
            make("int", x=2**63 - 1), make("max", x=1.7e308), make("inf", x=INF)]
    index = indexed(*objs)
    assert found(index, Q.eq("x", INF)) == {"inf"}
    assert found(index, Q.eq("x", -INF)) == {"-inf"}
    assert found(index, Q.gt("x", 1.7e308)) == {"inf"}
    assert found(index, Q.lt("x", -1.7e308)) == {"-inf"}
    assert found(index, Q.ge("x", INF)) == {"inf"}
    assert found(index, Q.gt("x", INF)) == set()
    assert found(index, Q.lt("x", -INF)) == set()
    assert found(index, Q.le("x", -INF)) == {"-inf"}
    assert found(index, Q.bt("x", -INF, INF)) == labels(objs)
    assert found(index, Q.bt("x", 0, INF)) == {"zero", "int", "max", "inf"}
    assert found(index, Q.bt("x", INF, -INF)) == set()
    assert found(index, Q.gt("x", 2**63 - 1)) == {"max", "inf"}


def test_nan_matches_no_comparison_and_complements_include_it():
    objs = [
        make("nan", x=NAN), make("nan2", x=float("nan")), make("-nan", x=-NAN),
        make("one", x=1), make("2.5", x=2.5), make("mixed", x=[NAN, 3]),
        make("bare"), make("str", x="nan"),
    ]
    index = indexed(*objs)
    everyone = labels(objs)
    nan_holders = {"nan", "nan2", "-nan"}
    for bound in (NAN, 0, 1, 3, INF, -INF):
        for op in ORDER_OPS:
            result = found(index, getattr(Q, op)("x", bound))
            assert result == labels(select(objs, "x", ordered(op, bound))), (op, bound)
            assert not result & nan_holders
    assert found(index, Q.eq("x", NAN)) == set()
    assert found(index, Q.eq("x", 3)) == {"mixed"}
    assert found(index, Q.in_("x", [NAN])) == set()
    assert found(index, Q.in_("x", [NAN, 1])) == {"one"}
    assert found(index, Q.bt("x", NAN, 10)) == set()
    assert found(index, Q.bt("x", 0, NAN)) == set()
    assert found(index, Q.bt("x", -INF, INF)) == {"one", "2.5", "mixed"}
    assert found(index, Q.ne("x", NAN)) == everyone
    assert found(index, Q.not_(Q.eq("x", NAN))) == everyone
    assert found(index, Q.ne("x", 1)) == everyone - {"one"}
    assert found(index, Q.not_(Q.gt("x", 0))) == nan_holders | {"bare", "str"}
    assert found(index, Q.not_(Q.bt("x", -INF, INF))) == nan_holders | {"bare", "str"}


def test_strings_match_by_equality_and_never_by_order():
    long_text = "x" * 100
    objs = [
        make("a", x="a"), make("b", x="b"), make("B", x="B"), make("empty", x=""),
        make("abc", x="abc"), make("five", x=5), make("str5", x="5"), make("long", x=long_text),
        make("long2", x=long_text[:-1] + "y"), make("composed", x="\u00e9"),
        make("decomposed", x="e\u0301"), make("list", x=["b", "c"]),
    ]
    index = indexed(*objs)
    assert found(index, Q.eq("x", "b")) == {"b", "list"}
    assert found(index, Q.eq("x", "")) == {"empty"}
    assert found(index, Q.eq("x", "5")) == {"str5"}
    assert found(index, Q.eq("x", 5)) == {"five"}
    assert found(index, Q.eq("x", "ab")) == set()
    assert found(index, Q.eq("x", long_text)) == {"long"}
    assert found(index, Q.eq("x", "\u00e9")) == {"composed"}
    assert found(index, Q.eq("x", "e\u0301")) == {"decomposed"}
    for op in ORDER_OPS:
        for bound in ("a", "", "zzz"):
            assert found(index, getattr(Q, op)("x", bound)) == set(), (op, bound)
    assert found(index, Q.ne("x", "a")) == labels(objs) - {"a"}
    assert found(index, Q.in_("x", ["a", "c", "zzz"])) == {"a", "list"}


def test_bad_order_operands_raise_and_leave_the_index_usable():
    owner = Indexable(country="fr")
    objs = [make("one", x=1), make("five", x=5.0), make("text", x="m"),
            make("held", x=owner), make("bare")]
    index = indexed(*objs)
    view = index.reduced_query(Q.ge("x", 0))
    first = panics(lambda: index.reduced_query(Q.gt("x", owner)).collect())
    assert panics(lambda: index.reduced_query(Q.gt("x", Indexable())).collect()) is first
    assert panics(lambda: index.reduced_query(Q.bt("x", "a", "z")).collect()) is first
    assert panics(lambda: index.reduced_query(Q.bt("x", 1, "z")).collect()) is first
    assert panics(lambda: index.reduced_query(Q.bt("x", "a", 9)).collect()) is first
    panics(lambda: index.reduced_query(Q.or_(Q.eq("x", 1), Q.gt("x", owner))).collect())
    panics(lambda: view.reduced_query(Q.gt("x", owner)).collect())

    assert found(index, Q.gt("x", 0)) == {"one", "five"}
    assert found(index, Q.bt("x", 1, 5)) == {"one", "five"}
    assert found(index, Q.eq("x", owner)) == {"held"}
    assert found(index, Q.eq("x", "m")) == {"text"}
    assert found(view, Q.lt("x", 2)) == {"one"}
    assert labels(index.get_by_attribute(x=5)) == {"five"}

    objs[0].x = 50
    objs[2].x = 7
    assert found(index, Q.gt("x", 6)) == {"one", "text"}
    assert found(index, Q.eq("x", "m")) == set()
    late = make("late", x=6)
    index.add_object(late)
    assert found(index, Q.bt("x", 5, 7)) == {"five", "text", "late"}
    assert found(view, Q.gt("x", 6)) == {"one"}
    assert labels(index.collect()) == labels(objs) | {"late"}


def test_ne_and_not_are_complements_within_the_members():
    objs = [
        make("int1", x=1), make("float1", x=1.0), make("two", x=2), make("list", x=[1, 2]),
        make("str1", x="1"), make("none", x=None), make("bare"), make("nan", x=NAN),
        make("true", x=True), make("other", y=1),
    ]
    outsider = make("outsider", x=5)  # never added
    index = indexed(*objs)
    everyone = labels(objs)
    ones = {"int1", "float1", "list"}
    assert found(index, Q.ne("x", 1)) == everyone - ones
    assert found(index, Q.not_(Q.eq("x", 1))) == everyone - ones
    assert found(index, Q.not_(Q.gt("x", 1))) == everyone - {"two", "list"}
    assert found(index, Q.ne("x", "1")) == everyone - {"str1"}
    assert found(index, Q.ne("x", True)) == everyone - {"true"}
    assert found(index, Q.ne("x", 5)) == everyone
    assert found(index, Q.ne("x", None)) == everyone
    assert found(index, Q.ne("x", [1])) == everyone
    assert found(index, Q.ne("never_used", 1)) == everyone
    assert found(index, Q.not_(Q.not_(Q.eq("x", 1)))) == ones
    assert "outsider" not in found(index, Q.not_(Q.eq("x", 1)))
    outsider.x = 1  # a non-member's write changes nothing
    assert found(index, Q.ne("x", 1)) == everyone - ones


def test_and_or_not_combine_as_set_operations():
    objs = [make(f"o{i}", x=i % 4, y="ab"[i % 2], z=float(i)) for i in range(12)]
    objs += [make("bare"), make("only_y", y="a")]
    index = indexed(*objs)
    everyone = labels(objs)
    pieces = [("gt", "x", 1), ("eq", "y", "a"), ("lt", "z", 6), ("ne", "x", 0),
              ("in", "x", [0, 3]), ("bt", "z", 2, 9)]


    trees = [
        ("and", []), ("or", []), ("not", ("and", [])), ("not", ("or", [])),
        ("and", [pieces[0]]), ("or", [pieces[1]]),
        ("and", [pieces[0], pieces[1]]), ("or", [pieces[0], pieces[1]]),
        ("and", [pieces[0], pieces[1], pieces[2]]),
        ("not", ("and", [pieces[0], pieces[1]])),
        ("or", [("not", pieces[0]), ("not", pieces[1])]),
        ("and", [("or", [pieces[3], pieces[1]]), ("not", pieces[4])]),
        ("or", [("and", []), pieces[5]]),
        ("and", [("not", ("and", [])), pieces[5]]),
        ("and", [pieces[2], ("not", pieces[2])]),
        ("or", [pieces[2], ("not", pieces[2])]),
        ("not", ("not", ("not", pieces[4]))),
    ]
    for tree in trees:
        assert found(index, to_query(tree)) == labels(evaluate(tree, objs)), tree
    assert found(index, Q.and_()) == set()
    assert found(index, Q.or_()) == set()
    assert found(index, Q.not_(Q.and_())) == everyone
    assert found(index, Q.and_(Q.eq("y", "a"), Q.eq("y", "a"))) == found(index, Q.eq("y", "a"))
    assert found(Index(), Q.not_(Q.and_())) == set()


def test_in_matches_any_of_several_values():
    objs = [make("one", x=1), make("onef", x=1.0), make("a", x="a"), make("true", x=True),
            make("two", x=2), make("list", x=["q", 7]), make("none", x=None), make("bare")]
    index = indexed(*objs)
    assert found(index, Q.in_("x", [1, "a", 7])) == {"one", "onef", "a", "list"}
    assert found(index, Q.in_("x", (2, "q"))) == {"two", "list"}
    assert found(index, Q.in_("x", range(1, 3))) == {"one", "onef", "two"}
    assert found(index, Q.in_("x", [])) == set()
    assert found(index, Q.in_("x", ())) == set()
    assert found(index, Q.in_("x", [None])) == set()
    assert found(index, Q.in_("x", [True])) == {"true"}
    assert found(index, Q.in_("x", [1, 1, 1.0])) == {"one", "onef"}
    assert found(index, Q.in_("x", [[1], ("a",)])) == set()
    assert found(index, Q.in_("nowhere", [1, "a"])) == set()


def test_dotted_paths_reach_nested_objects():
    lyon = Indexable(city="Lyon", zip=69000)
    paris = Indexable(city="Paris", zip=75000)
    fr = Indexable(country="fr", address=lyon, rank=1)
    de = Indexable(country="de", address=[paris, "none"], rank=2.5)
    nameless = Indexable(rank=3)
    objs = [
        make("fr", owner=fr, country="de"), make("de", owner=de), make("both", owner=[fr, (de,)]),
        make("nameless", owner=nameless), make("none", owner=None), make("text", owner="fr"),
        make("bare"), make("self_country", country="fr"),
    ]
    index = indexed(*objs)
    everyone = labels(objs)
    assert found(index, Q.eq("owner.country", "fr")) == {"fr", "both"}
    assert found(index, Q.eq("owner.country", "de")) == {"de", "both"}
    assert found(index, Q.eq("country", "de")) == {"fr"}
    assert found(index, Q.eq("owner.address.city", "Paris")) == {"de", "both"}
    assert found(index, Q.eq("owner.address.city", "Lyon")) == {"fr", "both"}
    assert found(index, Q.gt("owner.address.zip", 70000)) == {"de", "both"}
    assert found(index, Q.bt("owner.rank", 1, 2.5)) == {"fr", "de", "both"}
    assert found(index, Q.in_("owner.rank", [3, 1.0])) == {"nameless", "fr", "both"}
    assert found(index, Q.ne("owner.country", "fr")) == everyone - {"fr", "both"}
    assert found(index, Q.not_(Q.eq("owner.address.city", "Lyon"))) == everyone - {"fr", "both"}
    assert found(index, Q.eq("owner", fr)) == {"fr", "both"}
    assert found(index, Q.and_(Q.eq("owner.country", "fr"), Q.eq("country", "de"))) == {"fr"}
    assert found(index, Q.eq("owner.country.x", "fr")) == set()
    assert found(index, Q.eq("owner.missing", "fr")) == set()
    # nested objects are reached through their holders but are never results themselves
    for result in (index.reduced_query(Q.not_(Q.and_())).collect(),
                   index.reduced_query(Q.ne("city", "x")).collect()):
        assert same(result, objs)
    assert found(index, Q.eq("city", "Lyon")) == set()

    fr.country = "es"
    lyon.city = "Nice"
    assert found(index, Q.eq("owner.country", "es")) == {"fr", "both"}
    assert found(index, Q.eq("owner.country", "fr")) == set()
    assert found(index, Q.eq("owner.address.city", "Nice")) == {"fr", "both"}
    objs[2].owner = [de]
    assert found(index, Q.eq("owner.country", "es")) == {"fr"}
    assert found(index, Q.ne("owner.country", "es")) == everyone - {"fr"}


def test_bools_are_not_numbers():
    objs = [make("true", x=True), make("false", x=False), make("one", x=1), make("zero", x=0),
            make("onef", x=1.0), make("zerof", x=0.0), make("bools", x=[True, False])]
    index = indexed(*objs)
    assert found(index, Q.eq("x", True)) == {"true", "bools"}
    assert found(index, Q.eq("x", False)) == {"false", "bools"}
    assert found(index, Q.eq("x", 1)) == {"one", "onef"}
    assert found(index, Q.eq("x", 0.0)) == {"zero", "zerof"}
    assert found(index, Q.gt("x", 0)) == {"one", "onef"}
    assert found(index, Q.lt("x", 1)) == {"zero", "zerof"}
    assert found(index, Q.bt("x", 0, 1)) == {"one", "zero", "onef", "zerof"}
    assert found(index, Q.in_("x", [1])) == {"one", "onef"}
    assert found(index, Q.in_("x", [True, 0])) == {"true", "bools", "zero", "zerof"}
    assert found(index, Q.ne("x", 1)) == {"true", "false", "zero", "zerof", "bools"}
    assert found(index, Q.ne("x", True)) == {"false", "one", "zero", "onef", "zerof"}


class Colour(enum.IntEnum):
    RED = 1


class MyInt(int):
    pass


def test_unknown_and_container_operands_find_nothing():
    token = object()
    objs = [make("none", x=None), make("bytes", x=b"b"), make("frozen", x=frozenset({1})),
            make("list", x=[1]), make("tuple", x=(1,)), make("one", x=1), make("token", x=token),
            make("enum", x=Colour.RED), make("myint", x=MyInt(1)), make("dict", x={1: 1})]
    index = indexed(*objs)
    for operand in (None, b"b", frozenset({1}), [1], (1,), {1}, token, Colour.RED, MyInt(1),
                    {1: 1}, Indexable()):
        assert found(index, Q.eq("x", operand)) == set(), operand
        assert found(index, Q.in_("x", [operand])) == set(), operand
        assert found(index, Q.ne("x", operand)) == labels(objs), operand
    for op in ORDER_OPS:
        assert found(index, getattr(Q, op)("x", None)) == set(), op
    # the unknown holders are stored but found by nothing numeric
    assert found(index, Q.eq("x", 1)) == {"list", "tuple", "one"}


def test_queries_on_attributes_never_used_find_nothing():
    objs = [make("a", x=1), make("b", x="s")]
    index = indexed(*objs)
    for expr in (Q.eq("nope", 1), Q.gt("nope", 0), Q.bt("nope", 0, 9), Q.in_("nope", [1, "s"]),
                 Q.eq("nope.deeper", 1), Q.eq("x.deeper", 1)):
        assert found(index, expr) == set()
        assert found(index, Q.not_(expr)) == {"a", "b"}
        assert found(Index(), expr) == set()
